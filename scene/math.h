#pragma once
// Small value types shared by the scene and the generator.

#include <cstdint>
#include <limits>

struct vec2f { float x = 0, y = 0; };
struct vec3f { float x = 0, y = 0, z = 0; };
struct vec4f { float x = 0, y = 0, z = 0, w = 0; };
struct vec2i { int x = 0, y = 0; };
struct vec3i { int x = 0, y = 0, z = 0; };
struct vec4i { int x = 0, y = 0, z = 0, w = 0; };
struct vec4b { uint8_t x = 0, y = 0, z = 0, w = 0; };
// Longitude and latitude in degrees, or scene x and y, in double precision.
struct vec2d { double x = 0, y = 0; };

inline bool operator==(const vec2f& a, const vec2f& b) { return a.x == b.x && a.y == b.y; }
inline bool operator==(const vec3f& a, const vec3f& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
inline bool operator==(const vec4f& a, const vec4f& b) { return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w; }
inline bool operator==(const vec2i& a, const vec2i& b) { return a.x == b.x && a.y == b.y; }
inline bool operator==(const vec3i& a, const vec3i& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
inline bool operator==(const vec4i& a, const vec4i& b) { return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w; }
inline bool operator==(const vec4b& a, const vec4b& b) { return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w; }
inline bool operator==(const vec2d& a, const vec2d& b) { return a.x == b.x && a.y == b.y; }
inline bool operator!=(const vec2f& a, const vec2f& b) { return !(a == b); }
inline bool operator!=(const vec3f& a, const vec3f& b) { return !(a == b); }
inline bool operator!=(const vec4f& a, const vec4f& b) { return !(a == b); }
inline bool operator!=(const vec2i& a, const vec2i& b) { return !(a == b); }
inline bool operator!=(const vec3i& a, const vec3i& b) { return !(a == b); }
inline bool operator!=(const vec4i& a, const vec4i& b) { return !(a == b); }
inline bool operator!=(const vec4b& a, const vec4b& b) { return !(a == b); }
inline bool operator!=(const vec2d& a, const vec2d& b) { return !(a == b); }

inline vec3f operator+(const vec3f& a, const vec3f& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline vec3f operator-(const vec3f& a, const vec3f& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline vec3f operator*(const vec3f& a, float b) { return {a.x * b, a.y * b, a.z * b}; }

// An affine frame: axes x, y, z and origin o. A point p maps to
// x * p.x + y * p.y + z * p.z + o.
struct frame3f {
  vec3f x = {1, 0, 0};
  vec3f y = {0, 1, 0};
  vec3f z = {0, 0, 1};
  vec3f o = {0, 0, 0};
};

inline bool operator==(const frame3f& a, const frame3f& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z && a.o == b.o;
}
inline bool operator!=(const frame3f& a, const frame3f& b) { return !(a == b); }
inline vec3f transform_point(const frame3f& f, const vec3f& p) {
  return f.x * p.x + f.y * p.y + f.z * p.z + f.o;
}

// An axis-aligned box; the default is the empty box (min > max).
struct bbox3f {
  vec3f min = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
               std::numeric_limits<float>::max()};
  vec3f max = {-std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
               -std::numeric_limits<float>::max()};
};
