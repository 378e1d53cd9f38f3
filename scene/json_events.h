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
  // The first value that starts at byte `landing` or after it, outside a
  // skipped one, is told to `land` first with its byte. True ends the
  // reading there as if the text had been read to its end (its rest was
  // read elsewhere); false reads on.
  uint64_t     landing = UINT64_MAX;
  virtual bool land(uint64_t /*offset*/) { return false; }
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
// Reads on from byte `start` of such a text, at the start of a value of
// the innermost of the containers `open` ('{' or '[' each, the outermost
// first; the innermost an array): what a reader that came to `start`
// inside them reports from there, to the end of the outermost. Errors
// count bytes from the text's start.
bool read_json_events_from(uint64_t size, const std::function<bool(uint64_t, void*, size_t)>& read,
                           uint64_t start, std::string_view open, json_events& events, std::string& error,
                           bool& read_failed, size_t block = size_t{1} << 20);
