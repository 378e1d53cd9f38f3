#pragma once
// Small value types shared by the scene, the generator and the viewer, and
// the one home of their vector math and bounding boxes.

#include <algorithm>
#include <cmath>
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
inline vec3f operator*(const vec3f& a, const vec3f& b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline vec3f operator-(const vec3f& a) { return {-a.x, -a.y, -a.z}; }

inline float dot(const vec3f& a, const vec3f& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline vec3f cross(const vec3f& a, const vec3f& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float length(const vec3f& a) { return std::sqrt(dot(a, a)); }
// The unit vector along a; the zero vector stays zero.
inline vec3f normalize(const vec3f& a) {
  auto l = length(a);
  return l > 0 ? a * (1 / l) : a;
}
inline vec3f lerp(const vec3f& a, const vec3f& b, float t) { return a * (1 - t) + b * t; }
inline bool  is_finite(const vec3f& a) {
  return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}

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
inline bool is_finite(const frame3f& f) {
  return is_finite(f.x) && is_finite(f.y) && is_finite(f.z) && is_finite(f.o);
}

// An axis-aligned box; the default is the empty box (min > max).
struct bbox3f {
  vec3f min = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
               std::numeric_limits<float>::max()};
  vec3f max = {-std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
               -std::numeric_limits<float>::max()};
};

inline void expand(bbox3f& box, const vec3f& p) {
  box.min = {std::min(box.min.x, p.x), std::min(box.min.y, p.y), std::min(box.min.z, p.z)};
  box.max = {std::max(box.max.x, p.x), std::max(box.max.y, p.y), std::max(box.max.z, p.z)};
}
inline vec3f bbox_center(const bbox3f& box) { return (box.min + box.max) * 0.5f; }
inline vec3f bbox_size(const bbox3f& box) { return box.max - box.min; }
// Corner k (0 to 7) of a box: bit 0 picks the larger x, bit 1 y, bit 2 z.
inline vec3f box_corner(const bbox3f& box, int k) {
  return {k & 1 ? box.max.x : box.min.x, k & 2 ? box.max.y : box.min.y,
          k & 4 ? box.max.z : box.min.z};
}
