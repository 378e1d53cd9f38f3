#include "scene/json_text.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>

#include "support/format.h"

void append_json_number(std::string& out, float value) {
  auto wide = (double)value;
  if (!std::isfinite(wide)) {
    out += "null";
    return;
  }
  char buffer[64];
  auto end = nlohmann::detail::to_chars(buffer, buffer + sizeof(buffer), wide);
  out.append(buffer, end);
}

void append_json_integer(std::string& out, int value) {
  char buffer[16];
  auto end = std::to_chars(buffer, buffer + sizeof(buffer), value).ptr;
  out.append(buffer, end);
}

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  auto start = size_t{0};
  for (size_t i = 0; i < text.size(); i++) {
    auto c = (unsigned char)text[i];
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + start, i - start);
    start = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        char escape[8];
        std::snprintf(escape, sizeof(escape), "\\u%04x", (unsigned)c);
        out += escape;
      }
    }
  }
  out.append(text.data() + start, text.size() - start);
  out += '"';
}

void append_json_key(std::string& out, int indent, const char* key) {
  out.append((size_t)indent, ' ');
  out += '"';
  out += key;
  out += "\": ";
}

void append_json_numbers(std::string& out, int indent, std::initializer_list<float> values) {
  out += "[\n";
  auto first = true;
  for (auto value : values) {
    if (!first) out += ",\n";
    first = false;
    out.append((size_t)indent + 2, ' ');
    append_json_number(out, value);
  }
  out += '\n';
  out.append((size_t)indent, ' ');
  out += ']';
}

void append_json_float(std::string& out, float value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  append_float(out, value);
}
