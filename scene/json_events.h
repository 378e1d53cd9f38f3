#pragma once
// JSON text read as a stream of events (a value, a key, the start and end
// of an object or array), from a source of bytes read a block at a time, so
// that a document of gigabytes (the JSON chunk of a city's binary glTF
// file) is never held whole. The text must be JSON (RFC 8259): strict
// numbers, escapes and UTF-8, and no number beyond the range of a double
// (one below it is zero); a byte order mark before it is passed over; one
// value is read, and what follows it is not looked at.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// What the reader reports; each returns false to stop the reading.
struct json_events {
  virtual ~json_events() = default;
  // Set by `key` to have that key's value read but not reported (a member
  // the events have no use for): its text is checked as JSON all the same.
  // The reader clears it.
  bool skip_value = false;
  // A value inside more open objects and arrays than this, reported or
  // skipped, ends the reading ("nested too deeply at byte N").
  size_t depth_limit = SIZE_MAX;
  virtual bool null() = 0;
  virtual bool boolean(bool value) = 0;
  // `whole`: written without a fraction or an exponent ("12", "-3").
  virtual bool number(double value, bool whole) = 0;
  // The text unescaped (UTF-8); the events may take it over.
  virtual bool string(std::string& value) = 0;
  // A key's text, unescaped; valid only during the call.
  virtual bool key(std::string_view value) = 0;
  virtual bool start_object() = 0;
  virtual bool end_object() = 0;
  virtual bool start_array() = 0;
  virtual bool end_array() = 0;
};

// Reads one JSON value from the `size` bytes that `read(offset, out,
// count)` gives, `block` bytes at a time. False when the text is not JSON
// (`error` says where: "at byte N", counted from 0), when it is nested
// beyond the events' `depth_limit` (`error` "nested too deeply at byte N"),
// when `read` fails
// (`read_failed` set) or when an event returns false (`error` empty).
bool read_json_events(uint64_t size, const std::function<bool(uint64_t, void*, size_t)>& read,
                      json_events& events, std::string& error, bool& read_failed,
                      size_t block = size_t{1} << 20);
