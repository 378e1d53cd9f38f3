#pragma once
// JSON text read as a stream of events (a value, a key, the start and end
// of an object or array), from a source of bytes read a block at a time, so
// that a document of gigabytes (the JSON chunk of a city's binary glTF
// file) is never held whole. The text must be JSON (RFC 8259): strict
// numbers, escapes and UTF-8, and no number beyond the range of a double
// (one below it is zero); a byte order mark before it is passed over; one
// value is read, and what follows it is not looked at.

#include <cstdint>
#include <functional>
#include <string>

// What the reader reports; each returns false to stop the reading.
struct json_events {
  virtual ~json_events() = default;
  virtual bool null() = 0;
  virtual bool boolean(bool value) = 0;
  // `whole`: written without a fraction or an exponent ("12", "-3").
  virtual bool number(double value, bool whole) = 0;
  // The text unescaped (UTF-8); the events may take it over.
  virtual bool string(std::string& value) = 0;
  virtual bool key(std::string& value) = 0;
  virtual bool start_object() = 0;
  virtual bool end_object() = 0;
  virtual bool start_array() = 0;
  virtual bool end_array() = 0;
};

// Reads one JSON value from the `size` bytes that `read(offset, out,
// count)` gives, `block` bytes at a time. False when the text is not JSON
// (`error` says where: "at byte N", counted from 0), when `read` fails
// (`read_failed` set) or when an event returns false (`error` empty).
bool read_json_events(uint64_t size, const std::function<bool(uint64_t, void*, size_t)>& read,
                      json_events& events, std::string& error, bool& read_failed,
                      size_t block = size_t{1} << 20);
