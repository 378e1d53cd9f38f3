#include "support/format.h"

#include <charconv>

std::string format_float(float value) {
  auto text = std::string{};
  append_float(text, value);
  return text;
}

void append_float(std::string& out, float value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out.append(buffer, result.ptr);
}

void append_int(std::string& out, long long value) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out.append(buffer, result.ptr);
}
