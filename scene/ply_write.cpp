// PLY files written: the header, then the rows, binary in place or ascii
// as the shortest text that reads back to the same value.

#include <charconv>

#include "scene/ply_storage.h"
#include "support/files.h"

using namespace ply_storage;

namespace {

template <typename T>
void write_binary(char*& at, T value, bool swap) {
  if (swap) value = swap_bytes(value);
  std::memcpy(at, &value, sizeof(T));
  at += sizeof(T);
}

// The shortest text that reads back to the same value.
template <typename T>
void append_ascii(std::string& out, T value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out.append(buffer, result.ptr);
  out += ' ';
}

}  // namespace

const char* ply_type_keyword(ply_type type) { return type_table[(int)type].keyword; }
size_t      ply_type_size(ply_type type) { return type_table[(int)type].size; }

size_t ply_value_count(const ply_property& property) {
  return visit_values(property, [](auto& values) { return values.size(); });
}

bool save_ply(const std::string& filename, const ply_model& model, std::string& error) {
  auto out = std::string{};
  return encode_ply(filename, model, out, error) && save_file(filename, out, error);
}

bool encode_ply(const std::string& filename, const ply_model& model, std::string& out,
                std::string& error) {
  // A property shorter than its rows would be read past its end.
  for (auto& element : model.elements) {
    for (auto& property : element.properties) {
      auto consistent = property.is_list ? list_matches(property, element.count)
                                         : ply_value_count(property) == element.count;
      if (!consistent) return error = filename + ": write error", false;
    }
  }

  out.clear();
  out += "ply\n";
  out += "format " + std::string{format_keywords[(int)model.format]} + " 1.0\n";
  out += "comment written by blockgen\n";
  out += "comment city scene shape\n";
  for (auto& comment : model.comments) out += "comment " + comment + "\n";
  for (auto& element : model.elements) {
    out += "element " + element.name + " " + std::to_string(element.count) + "\n";
    for (auto& property : element.properties) {
      out += property.is_list ? "property list uchar " : "property ";
      out += ply_type_keyword(property.type) + std::string{" "} + property.name + "\n";
    }
  }
  out += "end_header\n";

  auto ascii = model.format == ply_format::ascii;
  auto swap = !ascii && (model.format == ply_format::binary_big_endian) != host_is_big_endian();
  // Binary data is sized up front and written in place.
  auto at = (char*)nullptr;
  if (!ascii) {
    auto data_size = size_t{0};
    for (auto& element : model.elements) {
      for (auto& property : element.properties) {
        data_size += ply_value_count(property) * ply_type_size(property.type);
        if (property.is_list) data_size += property.list_sizes.size();
      }
    }
    auto header_size = out.size();
    out.resize(header_size + data_size);
    at = out.data() + header_size;
  }
  for (auto& element : model.elements) {
    // Where each list row starts, advanced as rows are written.
    auto starts = std::vector<size_t>(element.properties.size(), 0);
    for (auto row = size_t{0}; row < element.count; row++) {
      for (auto p = size_t{0}; p < element.properties.size(); p++) {
        auto& property = element.properties[p];
        visit_values(property, [&](auto& values) {
          auto first = row, n = size_t{1};
          if (property.is_list) {
            n = property.list_sizes[row];
            first = starts[p];
            starts[p] += n;
            if (ascii) {
              append_ascii(out, (uint8_t)n);
            } else {
              *at++ = (char)(uint8_t)n;
            }
          }
          for (auto k = first; k < first + n; k++) {
            if (ascii) {
              append_ascii(out, values[k]);
            } else {
              write_binary(at, values[k], swap);
            }
          }
        });
      }
      if (ascii) out += '\n';
    }
  }
  return true;
}
