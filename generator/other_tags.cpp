#include "generator/other_tags.h"

static void skip_space(std::string_view text, size_t& at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) at++;
}

// A quoted text starting at `at`; false when it is not one or never closes.
static bool read_quoted(std::string_view text, size_t& at, std::string& out) {
  out.clear();
  if (at >= text.size() || text[at] != '"') return false;
  for (at++; at < text.size(); at++) {
    auto c = text[at];
    if (c == '"') {
      at++;
      return true;
    }
    if (c == '\\') {
      if (++at == text.size()) return false;
      c = text[at];
    }
    out += c;
  }
  return false;
}

bool parse_other_tags(std::string_view text, std::vector<other_tag>& tags) {
  tags.clear();
  auto at = size_t{0};
  skip_space(text, at);
  if (at == text.size()) return true;
  auto tag = other_tag{};
  while (true) {
    if (!read_quoted(text, at, tag.key)) return false;
    skip_space(text, at);
    if (text.substr(at, 2) != "=>") return false;
    at += 2;
    skip_space(text, at);
    tag.null = text.substr(at, 4) == "NULL";
    if (tag.null) {
      tag.value.clear();
      at += 4;
    } else if (!read_quoted(text, at, tag.value)) {
      return false;
    }
    tags.push_back(tag);
    skip_space(text, at);
    if (at == text.size()) return true;
    if (text[at] != ',') return false;
    at++;
    skip_space(text, at);
  }
}

void add_other_tags(std::string_view text, feature_tags& tags, std::vector<other_tag>& scratch) {
  parse_other_tags(text, scratch);
  auto key = tag_key{};
  for (auto& tag : scratch) {
    if (!find_tag_key(tag.key, key) || tags.present[(size_t)key]) continue;
    if (tag.null) {
      tags.set_no_text(key);
    } else {
      tags.set_text(key, tag.value);
    }
  }
}
