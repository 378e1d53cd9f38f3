#pragma once
// What the PLY reader, writer and array operations share: the type table
// and the typed value arrays of a property.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "scene/ply.h"

namespace ply_storage {

struct type_info {
  const char* keyword;
  const char* alias;
  size_t      size;
};

inline const type_info type_table[] = {
    {"char", "int8", 1},   {"short", "int16", 2},   {"int", "int32", 4},
    {"long", "int64", 8},  {"uchar", "uint8", 1},   {"ushort", "uint16", 2},
    {"uint", "uint32", 4}, {"ulong", "uint64", 8},  {"float", "float32", 4},
    {"double", "float64", 8},
};

inline const char* const format_keywords[] = {"ascii", "binary_little_endian", "binary_big_endian"};

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

inline bool host_is_big_endian() {
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

// A double beyond the float range becomes an infinity, as the hardware
// would make it; the plain conversion is undefined.
template <typename T>
float to_float(T value) {
  if constexpr (std::is_same_v<T, double>) {
    if (std::isfinite(value) && std::fabs(value) > FLT_MAX) return value > 0 ? INFINITY : -INFINITY;
  }
  return (float)value;
}

// The list's row counts are one per row of the element and add up to its
// values.
inline bool list_matches(const ply_property& property, uint64_t rows) {
  if (property.list_sizes.size() != rows) return false;
  auto total = uint64_t{0};
  for (auto size : property.list_sizes) total += size;
  return total == ply_value_count(property);
}

}  // namespace ply_storage
