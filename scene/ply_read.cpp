// PLY files read: the header into elements and properties, then the rows,
// binary (either byte order) or ascii, into each property's own array.

#include <charconv>
#include <utility>

#include "scene/ply_storage.h"
#include "support/files.h"

using namespace ply_storage;

namespace {

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

}  // namespace

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
