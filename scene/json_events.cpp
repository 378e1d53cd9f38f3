#include "scene/json_events.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

// The bytes of the source a block at a time; `p` walks the current block.
struct byte_cursor {
  uint64_t                                                  size;
  const std::function<bool(uint64_t, void*, size_t)>&       read;
  size_t                                                    block_size;
  std::vector<char>                                         block = {};
  uint64_t                                                  block_offset = 0, next_offset = 0;
  const char*                                               p = nullptr;
  const char*                                               end = nullptr;
  bool                                                      failed = false;

  uint64_t offset() const { return block_offset + (uint64_t)(p - block.data()); }
  bool refill() {
    if (failed || next_offset >= size) return false;
    auto count = (size_t)std::min<uint64_t>(block_size, size - next_offset);
    block.resize(count);
    if (!read(next_offset, block.data(), count)) return failed = true, false;
    block_offset = next_offset;
    next_offset += count;
    p = block.data();
    end = p + count;
    return true;
  }
  // The next byte (0 ... 255) without taking it, or -1 at the end.
  int peek() {
    if (p == end && !refill()) return -1;
    return (unsigned char)*p;
  }
  int get() {
    auto c = peek();
    if (c >= 0) p++;
    return c;
  }
  void skip_space() {
    for (;;) {
      if (p == end && !refill()) return;
      auto c = *p;
      if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return;
      p++;
    }
  }
};

// Where the run of plain string bytes from `p` ends: at a quote, a
// backslash, a control byte, a byte of a multi-byte character or `end`.
// Eight bytes are looked at together: each test below sets the high bit of
// the first byte it finds (bytes after that one may be marked wrongly), so
// the lowest bit set is the first byte that is not plain.
const char* plain_run(const char* p, const char* end) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
  auto has_zero = [](uint64_t v) { return (v - ones) & ~v & highs; };
  while (end - p >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    auto special = has_zero(v ^ (ones * '"')) | has_zero(v ^ (ones * '\\')) |
                   ((v - ones * 0x20) & ~v & highs) | (v & highs);
    if (special) return p + __builtin_ctzll(special) / 8;
    p += 8;
  }
#endif
  for (; p != end; p++) {
    auto c = (unsigned char)*p;
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
  }
  return p;
}

struct json_reader {
  byte_cursor  in;
  json_events& events;
  std::string& error;
  std::string  text = {}, number = {};
  // A skipped value is being read, with no events: from the start of the
  // value at `mute_depth` open containers until the reading is back at as
  // many.
  bool   muted      = false;
  size_t mute_depth = 0;

  bool fail() {
    if (!in.failed) error = "at byte " + std::to_string(in.offset());
    return false;
  }

  void append_utf8(uint32_t code) {
    if (code < 0x80) {
      text += (char)code;
    } else if (code < 0x800) {
      text += (char)(0xC0 | (code >> 6));
      text += (char)(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      text += (char)(0xE0 | (code >> 12));
      text += (char)(0x80 | ((code >> 6) & 0x3F));
      text += (char)(0x80 | (code & 0x3F));
    } else {
      text += (char)(0xF0 | (code >> 18));
      text += (char)(0x80 | ((code >> 12) & 0x3F));
      text += (char)(0x80 | ((code >> 6) & 0x3F));
      text += (char)(0x80 | (code & 0x3F));
    }
  }
  // Four hex digits of a \u escape, or -1.
  long hex4() {
    long value = 0;
    for (int k = 0; k < 4; k++) {
      auto c = in.get();
      auto digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return -1;
      value = value * 16 + digit;
    }
    return value;
  }
  // A multi-byte UTF-8 sequence whose first byte `lead` is taken (RFC 3629:
  // no overlong forms, no surrogates, nothing past U+10FFFF).
  bool utf8_sequence(int lead) {
    int count = 0, low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) count = 1;
    else if (lead == 0xE0) count = 2, low = 0xA0;
    else if (lead >= 0xE1 && lead <= 0xEC) count = 2;
    else if (lead == 0xED) count = 2, high = 0x9F;
    else if (lead >= 0xEE && lead <= 0xEF) count = 2;
    else if (lead == 0xF0) count = 3, low = 0x90;
    else if (lead >= 0xF1 && lead <= 0xF3) count = 3;
    else if (lead == 0xF4) count = 3, high = 0x8F;
    else return false;
    text += (char)lead;
    for (int k = 0; k < count; k++) {
      auto c = in.peek();
      if (c < low || c > high) return false;
      in.p++;
      text += (char)c;
      low = 0x80, high = 0xBF;
    }
    return true;
  }
  // A string whose opening quote is next, into `text`.
  bool read_string() {
    in.p++;  // the quote
    text.clear();
    for (;;) {
      if (in.p == in.end && !in.refill()) return fail();
      // The plain run in this block, taken at once.
      auto run = plain_run(in.p, in.end);
      if (!muted) text.append(in.p, (size_t)(run - in.p));
      in.p = run;
      if (run == in.end) continue;
      auto c = (unsigned char)*in.p;
      if (c == '"') {
        in.p++;
        return true;
      }
      if (c < 0x20) return fail();
      in.p++;
      if (c >= 0x80) {
        if (!utf8_sequence(c)) return fail();
        continue;
      }
      // An escape.
      auto e = in.get();
      switch (e) {
        case '"': text += '"'; break;
        case '\\': text += '\\'; break;
        case '/': text += '/'; break;
        case 'b': text += '\b'; break;
        case 'f': text += '\f'; break;
        case 'n': text += '\n'; break;
        case 'r': text += '\r'; break;
        case 't': text += '\t'; break;
        case 'u': {
          auto code = hex4();
          if (code < 0) return fail();
          if (code >= 0xD800 && code <= 0xDBFF) {
            // A high surrogate: its low one must follow.
            if (in.get() != '\\' || in.get() != 'u') return fail();
            auto second = hex4();
            if (second < 0xDC00 || second > 0xDFFF) return fail();
            code = 0x10000 + ((code - 0xD800) << 10) + (second - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return fail();
          }
          append_utf8((uint32_t)code);
          break;
        }
        default: return fail();
      }
    }
  }
  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
  // A number that ends before the block does (most of them) is read where
  // it lies, in one pass; one that reaches the block's end may go on in the
  // next block, and is gathered into `number` first. A failure is told at
  // the byte where the number breaks its form, either way.
  bool read_number() {
    auto begin = in.p, q = in.p, end = in.end;
    if (q != end && *q == '-') q++;
    auto integer = q;
    uint64_t n = 0;  // the integer part, when it has up to 19 digits
    if (q != end && *q == '0') {
      q++;
    } else {
      while (q != end && is_digit(*q)) n = n * 10 + (uint64_t)(*q++ - '0');
      if (q == integer) return q == end ? read_number_gathered() : (in.p = q, fail());
    }
    auto whole = true;
    auto run_of_digits = [&] {
      auto from = q;
      while (q != end && is_digit(*q)) q++;
      return q != from;
    };
    if (q != end && *q == '.') {
      q++;
      whole = false;
      if (!run_of_digits() && q != end) return in.p = q, fail();
    }
    if (q != end && (*q == 'e' || *q == 'E')) {
      q++;
      whole = false;
      if (q != end && (*q == '+' || *q == '-')) q++;
      if (!run_of_digits() && q != end) return in.p = q, fail();
    }
    if (q == end) return read_number_gathered();
    in.p = q;
    if (whole && q - integer <= 19) {
      // Up to 19 digits fit 64 bits exactly: one rounding to double.
      if (muted) return true;
      return events.number(*begin == '-' && n ? -(double)n : (double)n, true);
    }
    return number_value(begin, q, whole);
  }
  bool digits(bool at_least_one) {
    auto any = false;
    for (auto c = in.peek(); c >= '0' && c <= '9'; c = in.peek()) {
      number += (char)c;
      in.p++;
      any = true;
    }
    return any || !at_least_one;
  }
  bool read_number_gathered() {
    number.clear();
    if (in.peek() == '-') number += '-', in.p++;
    auto first = in.peek();
    if (first == '0') {
      number += '0', in.p++;
    } else if (first >= '1' && first <= '9') {
      digits(true);
    } else {
      return fail();
    }
    auto whole = true;
    if (in.peek() == '.') {
      number += '.', in.p++;
      whole = false;
      if (!digits(true)) return fail();
    }
    if (auto c = in.peek(); c == 'e' || c == 'E') {
      number += 'e', in.p++;
      whole = false;
      if (auto s = in.peek(); s == '+' || s == '-') number += (char)s, in.p++;
      if (!digits(true)) return fail();
    }
    return number_value(number.data(), number.data() + number.size(), whole);
  }
  // The value of a number's text [first, last), checked to have its form.
  bool number_value(const char* first, const char* last, bool whole) {
    // A skipped number needs only its range told: one without an exponent
    // and of fewer than 300 digits lies well inside a double's.
    if (muted && last - first < 300 && std::find_if(first, last, [](char c) { return c == 'e' || c == 'E'; }) == last)
      return true;
    auto value = 0.0;
    auto negative = *first == '-';
    auto begin = first + (negative ? 1 : 0);
    auto count = (size_t)(last - begin);
    if (whole && count <= 19) {
      // Up to 19 digits fit 64 bits exactly: one rounding to double.
      uint64_t n = 0;
      for (size_t k = 0; k < count; k++) n = n * 10 + (uint64_t)(begin[k] - '0');
      value = negative && n ? -(double)n : (double)n;
    } else {
      auto result = std::from_chars(first, last, value);
      if (result.ec == std::errc::result_out_of_range) {
        // Too small is zero; too large for a double is not a number here.
        auto text = std::string_view(first, (size_t)(last - first));
        auto e = text.find_first_of("eE");
        auto tiny = e != std::string_view::npos ? e + 1 < text.size() && text[e + 1] == '-' : begin[0] == '0';
        if (!tiny) return fail();
        value = negative ? -0.0 : 0.0;
      } else if (result.ec != std::errc{}) {
        return fail();
      }
    }
    return muted || events.number(value, whole);
  }
  bool literal(const char* word) {
    for (auto c = word; *c; c++)
      if (in.get() != (unsigned char)*c) return fail();
    return true;
  }
  // A key, its colon and the space after them; a key whose value the
  // events skip mutes them until that value has been read.
  bool read_key(const std::vector<char>& open) {
    in.skip_space();
    if (in.peek() != '"') return fail();
    // A key of plain bytes that ends in this block (most keys) is told to
    // the events where it lies.
    auto run = plain_run(in.p + 1, in.end);
    if (run != in.end && *run == '"') {
      auto key = std::string_view(in.p + 1, (size_t)(run - in.p - 1));
      in.p = run + 1;
      if (!muted && !events.key(key)) return false;
    } else if (!read_string() || (!muted && !events.key(text))) {
      return false;
    }
    if (events.skip_value && !muted) {
      events.skip_value = false;
      muted = true;
      mute_depth = open.size();
    }
    in.skip_space();
    if (in.get() != ':') return fail();
    return true;
  }

  bool read(std::string_view opened = {}) {
    // A byte order mark before the text is passed over, as JSON readers do.
    if (opened.empty() && in.peek() == 0xEF) {
      in.p++;
      if (in.get() != 0xBB || in.get() != 0xBF) return fail();
    }
    auto open = std::vector<char>(opened.begin(), opened.end());  // '{' or '[' of each open container
    for (;;) {
      // A value.
      in.skip_space();
      if (!muted && in.offset() >= events.landing) {
        auto at = in.offset();
        events.landing = UINT64_MAX;
        if (events.land(at)) return true;
      }
      if (open.size() > events.depth_limit) {
        error = "nested too deeply at byte " + std::to_string(in.offset());
        return false;
      }
      switch (in.peek()) {
        case '{':
          in.p++;
          if (!muted && !events.start_object()) return false;
          in.skip_space();
          if (in.peek() == '}') {
            in.p++;
            if (!muted && !events.end_object()) return false;
            break;
          }
          open.push_back('{');
          if (!read_key(open)) return false;
          continue;
        case '[':
          in.p++;
          if (!muted && !events.start_array()) return false;
          in.skip_space();
          if (in.peek() == ']') {
            in.p++;
            if (!muted && !events.end_array()) return false;
            break;
          }
          open.push_back('[');
          continue;
        case '"':
          if (!read_string() || (!muted && !events.string(text))) return false;
          break;
        case 't':
          if (!literal("true") || (!muted && !events.boolean(true))) return false;
          break;
        case 'f':
          if (!literal("false") || (!muted && !events.boolean(false))) return false;
          break;
        case 'n':
          if (!literal("null") || (!muted && !events.null())) return false;
          break;
        default:
          if (!read_number()) return false;
          break;
      }
      // After a value: the next one of its container, or the container's end.
      for (;;) {
        if (muted && open.size() == mute_depth) muted = false;  // the skipped value is read
        if (open.empty()) return true;
        in.skip_space();
        auto c = in.get();
        if (c == ',') {
          if (open.back() == '{' && !read_key(open)) return false;
          break;
        }
        if (c == (open.back() == '{' ? '}' : ']')) {
          auto object = open.back() == '{';
          open.pop_back();
          if (!muted && !(object ? events.end_object() : events.end_array())) return false;
          continue;
        }
        if (c >= 0) in.p--;  // the error is at this byte
        return fail();
      }
    }
  }
};

}  // namespace

bool read_json_events_from(uint64_t size, const std::function<bool(uint64_t, void*, size_t)>& read,
                           uint64_t start, std::string_view open, json_events& events, std::string& error,
                           bool& read_failed, size_t block) {
  error.clear();
  read_failed = false;
  events.skip_value = false;
  auto reader = json_reader{byte_cursor{size, read, std::max<size_t>(block, 1)}, events, error};
  reader.in.next_offset = reader.in.block_offset = std::min(start, size);
  auto ok = reader.read(open);
  read_failed = reader.in.failed;
  if (read_failed) error.clear();
  return ok && !read_failed;
}

bool read_json_events(uint64_t size, const std::function<bool(uint64_t, void*, size_t)>& read,
                      json_events& events, std::string& error, bool& read_failed, size_t block) {
  return read_json_events_from(size, read, 0, {}, events, error, read_failed, block);
}
