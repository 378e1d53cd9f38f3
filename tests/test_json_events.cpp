// The JSON event reader against an independent one (the JSON library's own
// event parser): the same events for valid text, read in blocks of any
// size, and the same verdict on damaged text.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>

#include "scene/json_events.h"

namespace {

std::string number_text(double value, bool whole) {
  char text[40];
  std::snprintf(text, sizeof(text), "%s%.17g", whole ? "i" : "f", value);
  return text;
}

// Our events as one line each.
struct event_log : json_events {
  std::string log;
  int         stop_after = -1;  // events before one returns false
  std::string skipped_key = "";  // the key whose values are skipped, if any
  bool add(const std::string& line) {
    log += line + "\n";
    return stop_after < 0 || --stop_after >= 0;
  }
  bool key(std::string_view value) override {
    skip_value = !skipped_key.empty() && value == skipped_key;
    return add("k" + std::string(value));
  }
  bool null() override { return add("null"); }
  bool boolean(bool value) override { return add(value ? "true" : "false"); }
  bool number(double value, bool whole) override { return add(number_text(value, whole)); }
  bool string(std::string& value) override { return add("s" + value); }
  bool start_object() override { return add("{"); }
  bool end_object() override { return add("}"); }
  bool start_array() override { return add("["); }
  bool end_array() override { return add("]"); }
};

// The library's events in the same lines.
struct library_log : nlohmann::json_sax<nlohmann::json> {
  std::string log;
  bool add(const std::string& line) { return log += line + "\n", true; }
  bool null() override { return add("null"); }
  bool boolean(bool value) override { return add(value ? "true" : "false"); }
  bool number_integer(number_integer_t value) override { return add(number_text((double)value, true)); }
  bool number_unsigned(number_unsigned_t value) override { return add(number_text((double)value, true)); }
  bool number_float(number_float_t value, const string_t& text) override {
    return add(number_text(value, text.find_first_of(".eE") == std::string::npos));
  }
  bool string(string_t& value) override { return add("s" + value); }
  bool binary(binary_t&) override { return add("binary"); }
  bool start_object(std::size_t) override { return add("{"); }
  bool key(string_t& value) override { return add("k" + value); }
  bool end_object() override { return add("}"); }
  bool start_array(std::size_t) override { return add("["); }
  bool end_array() override { return add("]"); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

// The library's events with the values of one key left out: what our
// reader reports when its events skip that key's values.
struct library_skipping_log : library_log {
  std::string skipped_key;
  bool        pending = false;  // the value after the key is to go
  int         depth   = 0;      // open containers of the value going
  bool value(const std::string& line, int opens) {
    if (pending || depth > 0) {
      pending = false;
      depth += opens;
      return true;
    }
    return add(line);
  }
  bool null() override { return value("null", 0); }
  bool boolean(bool v) override { return value(v ? "true" : "false", 0); }
  bool number_integer(number_integer_t v) override { return value(number_text((double)v, true), 0); }
  bool number_unsigned(number_unsigned_t v) override { return value(number_text((double)v, true), 0); }
  bool number_float(number_float_t v, const string_t& text) override {
    return value(number_text(v, text.find_first_of(".eE") == std::string::npos), 0);
  }
  bool string(string_t& v) override { return value("s" + v, 0); }
  bool start_object(std::size_t) override { return value("{", 1); }
  bool start_array(std::size_t) override { return value("[", 1); }
  bool end_object() override { return depth > 0 ? (--depth, true) : add("}"); }
  bool end_array() override { return depth > 0 ? (--depth, true) : add("]"); }
  bool key(string_t& v) override {
    if (depth > 0) return true;
    pending = v == skipped_key;
    return add("k" + v);
  }
};

bool read_text(const std::string& text, size_t block, event_log& log, std::string& error) {
  auto failed = false;
  auto read = [&](uint64_t offset, void* out, size_t count) {
    if (offset > text.size() || count > text.size() - offset) return false;
    std::memcpy(out, text.data() + offset, count);
    return true;
  };
  return read_json_events(text.size(), read, log, error, failed, block);
}

// Both readers on one text: the same verdict, and for valid text the same
// events on every block size.
void expect_same(const std::string& text) {
  auto library = library_log{};
  auto valid = nlohmann::json::sax_parse(text, &library, nlohmann::json::input_format_t::json, false);
  auto first_error = std::string{};
  for (size_t block : {1, 2, 7, 1 << 20}) {
    auto ours = event_log{};
    auto error = std::string{};
    auto ok = read_text(text, block, ours, error);
    ASSERT_EQ(ok, valid) << "block " << block << ": " << text;
    if (valid) {
      EXPECT_EQ(ours.log, library.log) << "block " << block << ": " << text;
    } else {
      // The same byte however the text was cut into blocks.
      EXPECT_EQ(error.rfind("at byte ", 0), 0u) << error;
      if (first_error.empty()) first_error = error;
      EXPECT_EQ(error, first_error) << "block " << block << ": " << text;
    }
  }
}

// With the values of `key` skipped: the library's events without them, and
// for damaged text the verdict and the byte of the reader that skips nothing.
void expect_same_skipping(const std::string& text, const std::string& key) {
  auto library = library_skipping_log{};
  library.skipped_key = key;
  auto valid = nlohmann::json::sax_parse(text, &library, nlohmann::json::input_format_t::json, false);
  auto plain = event_log{};
  auto plain_error = std::string{};
  read_text(text, 1 << 20, plain, plain_error);
  for (size_t block : {1, 7, 1 << 20}) {
    auto ours = event_log{};
    ours.skipped_key = key;
    auto error = std::string{};
    ASSERT_EQ(read_text(text, block, ours, error), valid) << "block " << block << ": " << text;
    if (valid) EXPECT_EQ(ours.log, library.log) << "block " << block << ": " << text;
    else EXPECT_EQ(error, plain_error) << "block " << block << ": " << text;
  }
}

// A random document: nested objects and arrays, numbers of every form,
// strings with escapes and characters of every UTF-8 length.
nlohmann::json random_value(std::mt19937& random, int depth) {
  auto pick = [&](int n) { return (int)(random() % (unsigned)n); };
  auto kind = depth > 4 ? pick(5) : pick(7);
  switch (kind) {
    case 0: return nullptr;
    case 1: return pick(2) == 0;
    case 2: return (int64_t)random() - (int64_t)(random() % 3 == 0 ? 1ll << 40 : 1000);
    case 3: return std::ldexp((double)random() / 4294967296.0 - 0.5, pick(200) - 100);
    case 4: {
      const char* pieces[] = {"a", "POSITION", "\"", "\\", "/", "\n", "\t", "\x01", "é", "€", "😀", " "};
      auto text = std::string{};
      for (int k = pick(8); k > 0; k--) text += pieces[pick(12)];
      return text;
    }
    case 5: {
      auto array = nlohmann::json::array();
      for (int k = pick(5); k > 0; k--) array.push_back(random_value(random, depth + 1));
      return array;
    }
    default: {
      auto object = nlohmann::json::object();
      for (int k = pick(5); k > 0; k--) object["key" + std::to_string(pick(20))] = random_value(random, depth + 1);
      return object;
    }
  }
}

}  // namespace

TEST(json_events, the_events_of_the_library_on_texts_of_every_kind) {
  const char* texts[] = {
      "{}", "[]", "null", "true", "false", "0", "-0", "12", "-12", "1.5", "-0.25e-3", "1E5", "2e+10",
      "18446744073709551615", "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
      "123456789012345678901234567890", "1e400", "-1e400", "1e-400", "0.1", "5e-324",
      "2.2250738585072014e-308", "1.7976931348623157e308", "  {\"a\" : [1, 2 ,{\"b\":null}] }  ",
      "{\"a\":1}trailing", "\"\\u0041\\u00e9\\u20ac\\ud83d\\ude00\"", "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"",
      "\"\\u0000\"", "[[[[[]]]]]", "{\"\":\"\"}", "\"é€😀\"", "\xef\xbb\xbf[1]", "\xef\xbb\xbf",
      // Not JSON.
      "", " ", "{", "[", "]", "{]", "[}", "[1,]", "{\"a\":1,}", "{\"a\"}", "{\"a\":}", "{1:2}", "[1 2]",
      "01", "[01]", "-", "[-]", "1.", "[1.]", ".5", "[.5]", "1e", "[1e+]", "+1", "[+1]", "tru", "nul",
      "falsey", "[truex]", "\"abc", "\"\\x\"", "\"\\u12\"", "\"\\ud800\"", "\"\\udc00\"",
      "\"\\ud800\\u0041\"", "\"\x01\"", "\"\xff\"", "\"\xc0\x80\"", "\"\xe0\x80\x80\"", "\"\xed\xa0\x80\"",
      "\"\xf4\x90\x80\x80\"", "\"\xc3\"", "\"\xe2\x82\"", "\xef\xbb[1]", "[\xef\xbb\xbf\x31]", "[1]]", "{\"a\":1}}", "nan", "[Infinity]",
  };
  for (auto text : texts) expect_same(text);
}

TEST(json_events, random_documents_and_their_damaged_copies) {
  auto random = std::mt19937(7);
  for (int k = 0; k < 300; k++) {
    auto document = random_value(random, 0);
    auto text = document.dump(k % 3 == 0 ? 2 : -1);
    expect_same(text);
    // One byte changed, dropped or cut short: both readers agree whether
    // it is still JSON, and on its events when it is.
    auto at = random() % (text.size() + 1);
    auto damaged = text;
    switch (k % 3) {
      case 0:
        if (at < text.size()) damaged[at] = "{}[],:\"\\0e.-x \x80"[random() % 16];
        break;
      case 1:
        if (at < text.size()) damaged.erase(at, 1);
        break;
      default: damaged = text.substr(0, at);
    }
    expect_same(damaged);
  }
}

TEST(json_events, an_event_that_returns_false_stops_the_reading) {
  auto log = event_log{};
  log.stop_after = 2;
  auto error = std::string{};
  EXPECT_FALSE(read_text("[1, 2, 3, 4]", 3, log, error));
  EXPECT_EQ(log.log, "[\ni1\ni2\n");
  EXPECT_EQ(error, "");
  // A read that fails is told apart from text that is not JSON.
  auto failed = false;
  auto calls = 0;
  auto read = [&](uint64_t, void* out, size_t count) {
    std::memset(out, '[', count);
    return ++calls < 3;
  };
  auto events = event_log{};
  EXPECT_FALSE(read_json_events(100, read, events, error, failed, 10));
  EXPECT_TRUE(failed);
  EXPECT_EQ(error, "");
  EXPECT_EQ(calls, 3);
  // Where the text stops being JSON.
  EXPECT_FALSE(read_text("{\"a\": [1, 2,, 3]}", 4, log, error));
  EXPECT_EQ(error, "at byte 12");
}

TEST(json_events, skipped_values_are_checked_but_not_reported) {
  const char* texts[] = {
      "{\"key3\":1,\"b\":2}", "{\"key3\":[1,{\"key3\":[]},\"x\"],\"b\":[true]}", "{\"a\":{\"key3\":{}}}",
      "[{\"key3\":null},{\"key3\":-0.5e-400}]", "{\"key3\":\"\\u0041\\ud83d\\ude00\"}",
      "{\"k\\u0065y3\":5}",  // a key with an escape is the same key
      // Not JSON, though no event would look at it.
      "{\"key3\":1e400}", "{\"key3\":[1,]}", "{\"key3\":\"\\ud800\"}", "{\"key3\":01}", "{\"key3\":[1}",
      "{\"key3\":\"\xff\"}", "{\"key3\":tru}", "{\"key3\":",
  };
  for (auto text : texts) expect_same_skipping(text, "key3");
  // A number of many digits and no exponent, in range or beyond it.
  for (auto digits : {298, 299, 300, 308, 309, 320, 400})
    for (auto fraction : {"", ".5"})
      expect_same_skipping("{\"key3\":1" + std::string((size_t)digits, '0') + fraction + "}", "key3");
  auto random = std::mt19937(11);
  for (int k = 0; k < 200; k++) {
    auto text = random_value(random, 0).dump();
    expect_same_skipping(text, "key" + std::to_string(k % 20));
    auto damaged = text;
    auto at = random() % (text.size() + 1);
    if (at < text.size()) damaged[at] = "{}[],:\"\\0e.-x \x80"[random() % 16];
    expect_same_skipping(damaged, "key" + std::to_string(k % 20));
  }
}

TEST(json_events, values_nested_past_the_limit_end_the_reading_skipped_or_not) {
  struct nesting_case {
    const char* text;
    std::string error;  // empty: read
  } cases[] = {
      {"[[[1]]]", ""},
      {"[[[[1]]]]", "nested too deeply at byte 4"},
      {"[[[[]]]]", ""},  // the empty array is a value inside three
      {"{\"a\":[[{}]]}", ""},
      {"{\"skip\":[[[1]]]}", "nested too deeply at byte 11"},
  };
  for (auto& c : cases) {
    auto log = event_log{};
    log.skipped_key = "skip";
    log.depth_limit = 3;
    auto error = std::string{};
    EXPECT_EQ(read_text(c.text, 2, log, error), c.error.empty()) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

// A string's plain bytes are looked at eight at a time: a byte that ends
// the run, at every place in the first two words.
TEST(json_events, a_string_ends_its_plain_run_at_any_byte) {
  const char* bytes[] = {"\"", "\\n", "\x01", "\x1f", " ", "\x7f", "\xc3\xa9", "\x80", "\xff", "!", "#", "[", "\\u0022"};
  for (auto byte : bytes)
    for (size_t at = 0; at < 18; at++) {
      auto text = "[\"" + std::string(at, 'a') + byte + std::string(20 - at, 'b') + "\"]";
      expect_same(text);
    }
}
