#pragma once
// FNV-1a, 64 bits: a hash that is the same in every run and on every
// platform we build for (little-endian, 64-bit size_t). Names derived from it
// (shortened record names) are stable, so they may appear in files.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct stable_hash {
  static constexpr uint64_t offset_basis = 14695981039346656037ull;
  static constexpr uint64_t prime        = 1099511628211ull;

  uint64_t value = offset_basis;

  void add(const void* data, size_t size) {
    auto bytes = (const unsigned char*)data;
    for (size_t i = 0; i < size; i++) value = (value ^ bytes[i]) * prime;
  }
  // A text's bytes followed by its length, so that ("ab", "c") and
  // ("a", "bc") differ.
  void add(const std::string& text) {
    add(text.data(), text.size());
    add(text.size());
  }
  // A text's bytes alone.
  void add_bytes(std::string_view text) { add(text.data(), text.size()); }
  void add(size_t number) { add(&number, sizeof(number)); }
  void add(int number) { add(&number, sizeof(number)); }
  // Zeros of either sign compare equal, so they hash alike.
  void add(double number) {
    if (number == 0) number = 0;
    add(&number, sizeof(number));
  }
};
