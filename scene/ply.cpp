#include "scene/ply.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "support/files.h"

// ---------------------------------------------------------------------------
// Types and typed storage
// ---------------------------------------------------------------------------

namespace {

struct type_info {
  const char* keyword;
  const char* alias;
  size_t      size;
};

const type_info type_table[] = {
    {"char", "int8", 1},   {"short", "int16", 2},   {"int", "int32", 4},
    {"long", "int64", 8},  {"uchar", "uint8", 1},   {"ushort", "uint16", 2},
    {"uint", "uint32", 4}, {"ulong", "uint64", 8},  {"float", "float32", 4},
    {"double", "float64", 8},
};

const char* format_keywords[] = {"ascii", "binary_little_endian", "binary_big_endian"};

// Calls f with the property's own value array.
template <typename Property, typename Func>
decltype(auto) visit_values(Property& property, Func&& f) {
  switch (property.type) {
    case ply_type::i8: return f(property.data_i8);
    case ply_type::i16: return f(property.data_i16);
    case ply_type::i32: return f(property.data_i32);
    case ply_type::i64: return f(property.data_i64);
    case ply_type::u8: return f(property.data_u8);
    case ply_type::u16: return f(property.data_u16);
    case ply_type::u32: return f(property.data_u32);
    case ply_type::u64: return f(property.data_u64);
    case ply_type::f32: return f(property.data_f32);
    case ply_type::f64: return f(property.data_f64);
  }
  return f(property.data_f32);
}

void clear_values(ply_property& property) {
  property.data_i8.clear();
  property.data_i16.clear();
  property.data_i32.clear();
  property.data_i64.clear();
  property.data_u8.clear();
  property.data_u16.clear();
  property.data_u32.clear();
  property.data_u64.clear();
  property.data_f32.clear();
  property.data_f64.clear();
  property.list_sizes.clear();
}

bool host_is_big_endian() {
  const uint16_t probe = 1;
  auto first = uint8_t{};
  std::memcpy(&first, &probe, 1);
  return first == 0;
}

template <typename T>
T swap_bytes(T value) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  std::reverse(bytes, bytes + sizeof(T));
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Splits a line into white-space separated words without copying.
struct word_reader {
  const char* at  = nullptr;
  const char* end = nullptr;

  bool next(const char*& word, size_t& length) {
    while (at < end && is_space(*at)) at++;
    if (at == end) return false;
    word = at;
    while (at < end && !is_space(*at)) at++;
    length = (size_t)(at - word);
    return true;
  }
  bool next(std::string& word) {
    auto start = (const char*)nullptr;
    auto length = size_t{0};
    if (!next(start, length)) return false;
    word.assign(start, length);
    return true;
  }
};

bool parse_type(const std::string& word, ply_type& type) {
  for (auto k = 0; k < 10; k++) {
    if (word == type_table[k].keyword || word == type_table[k].alias) {
      type = (ply_type)k;
      return true;
    }
  }
  return false;
}

// A double beyond the float range becomes an infinity, as the hardware
// would make it; the plain conversion is undefined.
template <typename T>
float to_float(T value) {
  if constexpr (std::is_same_v<T, double>) {
    if (std::isfinite(value) && std::fabs(value) > FLT_MAX) return value > 0 ? INFINITY : -INFINITY;
  }
  return (float)value;
}

// One decimal value of an ascii row, narrowed to T. The whole word must parse.
template <typename T>
bool parse_value(const char* word, size_t length, T& value) {
  auto end = word + length;
  if (word < end && *word == '+') word++;
  if (word == end) return false;
  if constexpr (std::is_floating_point_v<T>) {
    // Parsed as double so that float files may hold values beyond float range.
    auto parsed = 0.0;
    auto result = std::from_chars(word, end, parsed);
    if (result.ec != std::errc{} || result.ptr != end) return false;
    if constexpr (std::is_same_v<T, float>) value = to_float(parsed);
    else value = parsed;
  } else if constexpr (std::is_signed_v<T>) {
    auto parsed = int64_t{0};
    auto result = std::from_chars(word, end, parsed);
    if (result.ec != std::errc{} || result.ptr != end) return false;
    value = (T)parsed;
  } else {
    auto parsed = uint64_t{0};
    auto result = std::from_chars(word, end, parsed);
    if (result.ec != std::errc{} || result.ptr != end) return false;
    value = (T)parsed;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

enum struct read_status { ok, parse_error, read_error };

// A refusal and what is wrong, named by the header line or the element.
struct read_result {
  read_status status = read_status::ok;
  std::string detail = "";
};

read_result refuse(read_status status, std::string detail) { return {status, std::move(detail)}; }

read_result line_error(size_t line, const std::string& what) {
  return refuse(read_status::parse_error, "line " + std::to_string(line) + ": " + what);
}

std::string quoted(const std::string& word) { return "\"" + word + "\""; }

// Header lines are short; a longer one cannot be a header line.
const size_t max_header_line = 4096;

// One header line after "ply": its first word and the words after it.
read_result parse_header_line(const std::string& command, word_reader& words, size_t line,
                              ply_model& model) {
  if (command == "format") {
    auto keyword = std::string{};
    if (!words.next(keyword)) return line_error(line, "format without a keyword");
    if (keyword == "ascii") {
      model.format = ply_format::ascii;
    } else if (keyword == "binary_little_endian") {
      model.format = ply_format::binary_little_endian;
    } else if (keyword == "binary_big_endian") {
      model.format = ply_format::binary_big_endian;
    } else {
      return line_error(line, "unknown format " + quoted(keyword));
    }
  } else if (command == "comment") {
    auto text = words.at;
    while (text < words.end && (*text == ' ' || *text == '\t')) text++;
    model.comments.emplace_back(text, words.end);
  } else if (command == "obj_info") {
    // carries nothing a shape needs
  } else if (command == "element") {
    auto element = ply_element{};
    auto count_word = std::string{};
    if (!words.next(element.name) || !words.next(count_word))
      return line_error(line, "element without a name and a row count");
    auto count_end = count_word.data() + count_word.size();
    auto result = std::from_chars(count_word.data(), count_end, element.count);
    if (result.ec != std::errc{} || result.ptr != count_end)
      return line_error(line, "element " + element.name + ": row count " + quoted(count_word) +
                                    " is not a whole number");
    model.elements.push_back(std::move(element));
  } else if (command == "property") {
    if (model.elements.empty()) return line_error(line, "property before any element");
    auto property = ply_property{};
    auto word = std::string{};
    if (!words.next(word)) return line_error(line, "property without a type");
    if (word == "list") {
      // Row counts are kept as one byte each.
      if (!words.next(word) || (word != "uchar" && word != "uint8"))
        return line_error(line, "list count type " + (word == "list" ? "missing" : quoted(word)) +
                                      ", only uchar or uint8");
      property.is_list = true;
      if (!words.next(word)) return line_error(line, "list property without a value type");
    }
    if (!parse_type(word, property.type)) return line_error(line, "unknown type " + quoted(word));
    if (!words.next(property.name)) return line_error(line, "property without a name");
    model.elements.back().properties.push_back(std::move(property));
  } else {
    return line_error(line, "unknown header keyword " + quoted(command));
  }
  return {};
}

// The header up to and including "end_header"; `line` ends as the number
// of header lines.
read_result parse_header(const std::string& data, size_t& pos, size_t& line, ply_model& model) {
  auto seen_magic = false;
  while (true) {
    if (pos >= data.size()) {
      if (!seen_magic) return refuse(read_status::parse_error, "the file is empty");
      return refuse(read_status::parse_error, "the header has no end_header");
    }
    auto newline = data.find('\n', pos);
    auto line_end = newline == std::string::npos ? data.size() : newline;
    line++;
    if (line_end - pos > max_header_line)
      return line_error(line, "a header line longer than 4096 bytes");
    auto begin = data.data() + pos, end = data.data() + line_end;
    pos = newline == std::string::npos ? data.size() : newline + 1;

    while (end > begin && (end[-1] == '\r' || end[-1] == '\n')) end--;
    end = std::find(begin, end, '#');
    while (begin < end && (*begin == ' ' || *begin == '\t' || *begin == '\r' || *begin == '\n'))
      begin++;
    if (begin == end) continue;

    auto words = word_reader{begin, end};
    auto command = std::string{};
    words.next(command);
    if (!seen_magic) {
      if (command != "ply")
        return line_error(line, "not a PLY file, it does not start with \"ply\"");
      seen_magic = true;
    } else if (command == "end_header") {
      return {};
    } else if (auto result = parse_header_line(command, words, line, model);
               result.status != read_status::ok) {
      return result;
    }
  }
}

// "element NAME: WHAT", for the messages of data that ends early.
std::string short_rows(const ply_element& element, const std::string& what) {
  return "element " + element.name + ": " + what;
}

read_result read_binary(const std::string& data, size_t pos, ply_model& model) {
  auto swap = (model.format == ply_format::binary_big_endian) != host_is_big_endian();
  auto bytes = data.data();
  for (auto& element : model.elements) {
    // The smallest row this element can have bounds its count by the bytes
    // left, before anything is allocated for it.
    auto min_row = size_t{0};
    for (auto& property : element.properties)
      min_row += property.is_list ? 1 : ply_type_size(property.type);
    if (min_row == 0) continue;
    if (element.count > (data.size() - pos) / min_row)
      return refuse(read_status::read_error,
                    short_rows(element, std::to_string(element.count) +
                                            " rows declared, the data holds at most " +
                                            std::to_string((data.size() - pos) / min_row)));
    auto count = (size_t)element.count;
    auto has_lists = false;
    for (auto& property : element.properties) has_lists = has_lists || property.is_list;
    if (!has_lists) {
      // Fixed-size rows (vertices): each property is one strided copy.
      auto offset = size_t{0};
      for (auto& property : element.properties) {
        visit_values(property, [&](auto& values) {
          using T = typename std::decay_t<decltype(values)>::value_type;
          values.resize(count);
          auto from = bytes + pos + offset;
          for (auto row = size_t{0}; row < count; row++, from += min_row) {
            std::memcpy(&values[row], from, sizeof(T));
            if (swap) values[row] = swap_bytes(values[row]);
          }
          offset += sizeof(T);
        });
      }
      pos += count * min_row;
      continue;
    }
    // Rows of lists: a few values per row is the usual, never more than the
    // bytes left can hold.
    for (auto& property : element.properties) {
      if (property.is_list) property.list_sizes.reserve(count);
      visit_values(property, [&](auto& values) {
        using T = typename std::decay_t<decltype(values)>::value_type;
        auto expected = property.is_list ? count * 4 : count;
        values.reserve(std::min(expected, (data.size() - pos) / sizeof(T)));
      });
    }
    for (auto row = size_t{0}; row < count; row++) {
      for (auto& property : element.properties) {
        auto ok = visit_values(property, [&](auto& values) {
          using T = typename std::decay_t<decltype(values)>::value_type;
          auto n = size_t{1};
          if (property.is_list) {
            if (pos >= data.size()) return false;
            n = (uint8_t)bytes[pos++];
            property.list_sizes.push_back((uint8_t)n);
          }
          if (n * sizeof(T) > data.size() - pos) return false;
          for (auto k = size_t{0}; k < n; k++) {
            auto value = T{};
            std::memcpy(&value, bytes + pos, sizeof(T));
            pos += sizeof(T);
            values.push_back(swap ? swap_bytes(value) : value);
          }
          return true;
        });
        if (!ok)
          return refuse(read_status::read_error,
                        short_rows(element, "the data ends in row " + std::to_string(row + 1) +
                                                " of " + std::to_string(count) + " (property " +
                                                property.name + ")"));
      }
    }
  }
  return {};
}

// Rows from the line after the header, `line` the number of header lines.
read_result read_ascii(const std::string& data, size_t pos, size_t line, ply_model& model) {
  // Rows are appended as they arrive: a declared count is not trusted.
  for (auto& element : model.elements) {
    for (auto row = uint64_t{0}; row < element.count; row++) {
      if (pos >= data.size())
        return refuse(read_status::read_error,
                      short_rows(element, "the file ends after row " + std::to_string(row) +
                                              " of " + std::to_string(element.count)));
      auto newline = data.find('\n', pos);
      auto line_end = newline == std::string::npos ? data.size() : newline;
      auto words = word_reader{data.data() + pos, data.data() + line_end};
      pos = newline == std::string::npos ? data.size() : newline + 1;
      line++;
      for (auto& property : element.properties) {
        // What is wrong with the row, when something is.
        auto what = std::string{};
        auto ok = visit_values(property, [&](auto& values) {
          using T = typename std::decay_t<decltype(values)>::value_type;
          auto word = (const char*)nullptr;
          auto length = size_t{0};
          auto n = size_t{1};
          if (property.is_list) {
            auto size = uint8_t{0};
            if (!words.next(word, length)) return what = "a value is missing", false;
            if (!parse_value(word, length, size))
              return what = quoted({word, length}) + " is not a list count from 0 to 255", false;
            property.list_sizes.push_back(size);
            n = size;
          }
          for (auto k = size_t{0}; k < n; k++) {
            auto value = T{};
            if (!words.next(word, length)) return what = "a value is missing", false;
            if (!parse_value(word, length, value))
              return what = quoted({word, length}) + " is not a value of type " +
                            ply_type_keyword(property.type),
                     false;
            values.push_back(value);
          }
          return true;
        });
        if (!ok)
          return line_error(line, "element " + element.name + ", property " + property.name +
                                      ": " + what);
      }
    }
  }
  return {};
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

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

bool is_consistent(const ply_element& element) {
  for (auto& property : element.properties) {
    auto values = ply_value_count(property);
    if (property.is_list) {
      if (property.list_sizes.size() != element.count) return false;
      auto total = uint64_t{0};
      for (auto size : property.list_sizes) total += size;
      if (total != values) return false;
    } else if (values != element.count) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Model access
// ---------------------------------------------------------------------------

const ply_element* find_element(const ply_model& model, const std::string& name) {
  for (auto& element : model.elements)
    if (element.name == name) return &element;
  return nullptr;
}

const ply_property* find_property(const ply_element& element, const std::string& name) {
  for (auto& property : element.properties)
    if (property.name == name) return &property;
  return nullptr;
}

// A scalar property whose values match its element's rows, or null.
const ply_property* find_scalar(const ply_model& model, const std::string& element_name,
                                const std::string& name) {
  auto element = find_element(model, element_name);
  if (!element) return nullptr;
  auto property = find_property(*element, name);
  if (!property || property->is_list || ply_value_count(*property) != element->count)
    return nullptr;
  return property;
}

// A list property whose counts match its element's rows and values, or null.
const ply_property* find_list(const ply_model& model, const std::string& element_name,
                              const std::string& name) {
  auto element = find_element(model, element_name);
  if (!element) return nullptr;
  auto property = find_property(*element, name);
  if (!property || !property->is_list || property->list_sizes.size() != element->count)
    return nullptr;
  auto total = uint64_t{0};
  for (auto size : property->list_sizes) total += size;
  if (total != ply_value_count(*property)) return nullptr;
  return property;
}

// List entries are vertex indices: one outside the int range, or not a
// number, becomes -1, which addresses no vertex.
template <typename T>
int to_index(T value) {
  if constexpr (std::is_floating_point_v<T>) {
    if (!((double)value >= -2147483648.0 && (double)value < 2147483648.0)) return -1;
  } else if constexpr (std::is_signed_v<T>) {
    if ((int64_t)value < INT_MIN || (int64_t)value > INT_MAX) return -1;
  } else {
    if ((uint64_t)value > (uint64_t)INT_MAX) return -1;
  }
  return (int)value;
}

std::vector<float> scalar_values(const ply_property& property) {
  return visit_values(property, [](auto& values) {
    auto result = std::vector<float>(values.size());
    for (auto k = size_t{0}; k < values.size(); k++) result[k] = to_float(values[k]);
    return result;
  });
}

std::vector<int> list_values(const ply_property& property) {
  return visit_values(property, [](auto& values) {
    auto result = std::vector<int>(values.size());
    for (auto k = size_t{0}; k < values.size(); k++) result[k] = to_index(values[k]);
    return result;
  });
}

// The element with this name and row count, appended when missing; null when
// it exists with another count.
ply_element* add_element(ply_model& model, const std::string& name, size_t count) {
  for (auto& element : model.elements) {
    if (element.name != name) continue;
    return element.count == count ? &element : nullptr;
  }
  model.elements.push_back(ply_element{name, count, {}});
  return &model.elements.back();
}

ply_property& add_property(ply_element& element, const std::string& name, ply_type type,
                           bool is_list) {
  auto found = (ply_property*)nullptr;
  for (auto& property : element.properties)
    if (property.name == name) found = &property;
  if (!found) {
    element.properties.push_back({});
    found = &element.properties.back();
    found->name = name;
  }
  clear_values(*found);
  found->type = type;
  found->is_list = is_list;
  return *found;
}

float component(const vec2f& v, size_t k) { return k == 0 ? v.x : v.y; }
float component(const vec3f& v, size_t k) { return k == 0 ? v.x : k == 1 ? v.y : v.z; }
float component(const vec4f& v, size_t k) {
  return k == 0 ? v.x : k == 1 ? v.y : k == 2 ? v.z : v.w;
}

// Component k of each value into its own float property of "vertex".
template <typename T, size_t N>
bool add_vertex_floats(ply_model& model, const std::vector<T>& values,
                       const char* const (&names)[N]) {
  if (values.empty()) return true;
  auto element = add_element(model, "vertex", values.size());
  if (!element) return false;
  for (auto k = size_t{0}; k < N; k++) {
    auto& data = add_property(*element, names[k], ply_type::f32, false).data_f32;
    data.resize(values.size());
    for (auto i = size_t{0}; i < values.size(); i++) data[i] = component(values[i], k);
  }
  return true;
}

// Rows of an index list; `sizes` holds the count of each row.
bool add_index_rows(ply_model& model, const std::string& element_name,
                    std::vector<uint8_t>&& sizes, std::vector<int32_t>&& indices) {
  if (sizes.empty()) return true;
  auto element = add_element(model, element_name, sizes.size());
  if (!element) return false;
  auto& property = add_property(*element, "vertex_indices", ply_type::i32, true);
  property.list_sizes = std::move(sizes);
  property.data_i32 = std::move(indices);
  return true;
}

// Calls f(row start, row size) for each row of a face, line or point list.
template <typename Func>
void for_each_row(const ply_property& property, Func&& f) {
  auto start = size_t{0};
  for (auto size : property.list_sizes) {
    f(start, (size_t)size);
    start += size;
  }
}

}  // namespace

const char* ply_type_keyword(ply_type type) { return type_table[(int)type].keyword; }
size_t      ply_type_size(ply_type type) { return type_table[(int)type].size; }

size_t ply_value_count(const ply_property& property) {
  return visit_values(property, [](auto& values) { return values.size(); });
}

bool load_ply(const std::string& filename, ply_model& model, std::string& error) {
  model = ply_model{};
  auto data = std::string{};
  if (!load_text(filename, data, error)) return false;
  return parse_ply(filename, data, model, error);
}

bool parse_ply(const std::string& filename, const std::string& data, ply_model& model,
               std::string& error) {
  model = ply_model{};
  auto pos = size_t{0}, line = size_t{0};
  auto result = parse_header(data, pos, line, model);
  if (result.status == read_status::ok) {
    result = model.format == ply_format::ascii ? read_ascii(data, pos, line, model)
                                               : read_binary(data, pos, model);
  }
  if (result.status == read_status::ok) return true;
  auto suffix = result.status == read_status::parse_error ? ": parse error" : ": read error";
  error = filename + suffix + (result.detail.empty() ? "" : " (" + result.detail + ")");
  return false;
}

bool save_ply(const std::string& filename, const ply_model& model, std::string& error) {
  auto out = std::string{};
  return encode_ply(filename, model, out, error) && save_file(filename, out, error);
}

bool encode_ply(const std::string& filename, const ply_model& model, std::string& out,
                std::string& error) {
  // A property shorter than its rows would be read past its end.
  for (auto& element : model.elements) {
    if (!is_consistent(element)) return error = filename + ": write error", false;
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

// ---------------------------------------------------------------------------
// Adding shape arrays
// ---------------------------------------------------------------------------

bool add_positions(ply_model& model, const std::vector<vec3f>& positions) {
  const char* const names[] = {"x", "y", "z"};
  return add_vertex_floats(model, positions, names);
}

bool add_normals(ply_model& model, const std::vector<vec3f>& normals) {
  const char* const names[] = {"nx", "ny", "nz"};
  return add_vertex_floats(model, normals, names);
}

bool add_texcoords(ply_model& model, const std::vector<vec2f>& texcoords, bool flip) {
  const char* const names[] = {"u", "v"};
  if (!flip) return add_vertex_floats(model, texcoords, names);
  auto flipped = texcoords;
  for (auto& uv : flipped) uv.y = 1 - uv.y;
  return add_vertex_floats(model, flipped, names);
}

bool add_colors(ply_model& model, const std::vector<vec4f>& colors) {
  const char* const names[] = {"red", "green", "blue", "alpha"};
  return add_vertex_floats(model, colors, names);
}

bool add_radius(ply_model& model, const std::vector<float>& radius) {
  if (radius.empty()) return true;
  auto element = add_element(model, "vertex", radius.size());
  if (!element) return false;
  add_property(*element, "radius", ply_type::f32, false).data_f32 = radius;
  return true;
}

bool add_faces(ply_model& model, const std::vector<vec3i>& triangles,
               const std::vector<vec4i>& quads) {
  // Triangles first, then quads; a quad that repeats its third index is a
  // triangle and is written as one.
  auto sizes = std::vector<uint8_t>{};
  auto indices = std::vector<int32_t>{};
  sizes.reserve(triangles.size() + quads.size());
  indices.reserve(triangles.size() * 3 + quads.size() * 4);
  for (auto& t : triangles) {
    sizes.push_back(3);
    indices.insert(indices.end(), {t.x, t.y, t.z});
  }
  for (auto& q : quads) {
    if (q.w == q.z) {
      sizes.push_back(3);
      indices.insert(indices.end(), {q.x, q.y, q.z});
    } else {
      sizes.push_back(4);
      indices.insert(indices.end(), {q.x, q.y, q.z, q.w});
    }
  }
  return add_index_rows(model, "face", std::move(sizes), std::move(indices));
}

bool add_lines(ply_model& model, const std::vector<vec2i>& lines) {
  auto sizes = std::vector<uint8_t>(lines.size(), 2);
  auto indices = std::vector<int32_t>{};
  indices.reserve(lines.size() * 2);
  for (auto& l : lines) indices.insert(indices.end(), {l.x, l.y});
  return add_index_rows(model, "line", std::move(sizes), std::move(indices));
}

bool add_points(ply_model& model, const std::vector<int>& points) {
  auto sizes = std::vector<uint8_t>(points.size(), 1);
  auto indices = std::vector<int32_t>(points.begin(), points.end());
  return add_index_rows(model, "point", std::move(sizes), std::move(indices));
}

// ---------------------------------------------------------------------------
// Reading shape arrays
// ---------------------------------------------------------------------------

namespace {

// The named scalar properties of "vertex" as floats, all or nothing.
template <size_t N>
bool get_vertex_floats(const ply_model& model, const char* const (&names)[N],
                       std::vector<float> (&columns)[N]) {
  for (auto k = size_t{0}; k < N; k++) {
    auto property = find_scalar(model, "vertex", names[k]);
    if (!property) return false;
    columns[k] = scalar_values(*property);
  }
  return true;
}

}  // namespace

bool get_positions(const ply_model& model, std::vector<vec3f>& positions) {
  positions.clear();
  const char* const names[] = {"x", "y", "z"};
  std::vector<float> columns[3];
  if (!get_vertex_floats(model, names, columns)) return false;
  positions.resize(columns[0].size());
  for (auto i = size_t{0}; i < positions.size(); i++)
    positions[i] = {columns[0][i], columns[1][i], columns[2][i]};
  return true;
}

bool get_normals(const ply_model& model, std::vector<vec3f>& normals) {
  normals.clear();
  const char* const names[] = {"nx", "ny", "nz"};
  std::vector<float> columns[3];
  if (!get_vertex_floats(model, names, columns)) return false;
  normals.resize(columns[0].size());
  for (auto i = size_t{0}; i < normals.size(); i++)
    normals[i] = {columns[0][i], columns[1][i], columns[2][i]};
  return true;
}

bool get_texcoords(const ply_model& model, std::vector<vec2f>& texcoords, bool flip) {
  texcoords.clear();
  const char* const uv_names[] = {"u", "v"};
  const char* const st_names[] = {"s", "t"};
  auto vertex = find_element(model, "vertex");
  auto has_u = vertex && find_property(*vertex, "u");
  std::vector<float> columns[2];
  if (!get_vertex_floats(model, has_u ? uv_names : st_names, columns)) return false;
  texcoords.resize(columns[0].size());
  for (auto i = size_t{0}; i < texcoords.size(); i++) {
    texcoords[i] = {columns[0][i], flip ? 1 - columns[1][i] : columns[1][i]};
  }
  return true;
}

bool get_colors(const ply_model& model, std::vector<vec4f>& colors) {
  colors.clear();
  auto vertex = find_element(model, "vertex");
  if (!vertex) return false;
  if (find_property(*vertex, "alpha")) {
    const char* const names[] = {"red", "green", "blue", "alpha"};
    std::vector<float> columns[4];
    if (!get_vertex_floats(model, names, columns)) return false;
    colors.resize(columns[0].size());
    for (auto i = size_t{0}; i < colors.size(); i++)
      colors[i] = {columns[0][i], columns[1][i], columns[2][i], columns[3][i]};
  } else {
    const char* const names[] = {"red", "green", "blue"};
    std::vector<float> columns[3];
    if (!get_vertex_floats(model, names, columns)) return false;
    colors.resize(columns[0].size());
    for (auto i = size_t{0}; i < colors.size(); i++)
      colors[i] = {columns[0][i], columns[1][i], columns[2][i], 1};
  }
  return true;
}

bool get_radius(const ply_model& model, std::vector<float>& radius) {
  radius.clear();
  auto property = find_scalar(model, "vertex", "radius");
  if (!property) return false;
  radius = scalar_values(*property);
  return true;
}

bool get_triangles(const ply_model& model, std::vector<vec3i>& triangles) {
  triangles.clear();
  auto property = find_list(model, "face", "vertex_indices");
  if (!property) return false;
  auto indices = list_values(*property);
  triangles.reserve(property->list_sizes.size());
  for_each_row(*property, [&](size_t start, size_t size) {
    for (auto k = size_t{2}; k < size; k++)
      triangles.push_back({indices[start], indices[start + k - 1], indices[start + k]});
  });
  return true;
}

bool get_quads(const ply_model& model, std::vector<vec4i>& quads) {
  quads.clear();
  auto property = find_list(model, "face", "vertex_indices");
  if (!property) return false;
  auto indices = list_values(*property);
  quads.reserve(property->list_sizes.size());
  for_each_row(*property, [&](size_t start, size_t size) {
    auto i = indices.data() + start;
    if (size == 4) {
      quads.push_back({i[0], i[1], i[2], i[3]});
    } else {
      for (auto k = size_t{2}; k < size; k++) quads.push_back({i[0], i[k - 1], i[k], i[k]});
    }
  });
  return true;
}

bool get_lines(const ply_model& model, std::vector<vec2i>& lines) {
  lines.clear();
  auto property = find_list(model, "line", "vertex_indices");
  if (!property) return false;
  auto indices = list_values(*property);
  for_each_row(*property, [&](size_t start, size_t size) {
    for (auto k = size_t{1}; k < size; k++)
      lines.push_back({indices[start + k - 1], indices[start + k]});
  });
  return true;
}

bool get_points(const ply_model& model, std::vector<int>& points) {
  points.clear();
  auto property = find_list(model, "point", "vertex_indices");
  if (!property) return false;
  points = list_values(*property);
  return true;
}

bool has_quads(const ply_model& model) {
  auto property = find_list(model, "face", "vertex_indices");
  if (!property) return false;
  for (auto size : property->list_sizes)
    if (size == 4) return true;
  return false;
}
