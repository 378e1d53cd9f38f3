#pragma once
// Vector and matrix helpers of the viewer: 4 x 4 matrices in double
// precision, column-major as OpenGL and glTF store them.

#include <cmath>

#include "scene/math.h"

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
inline vec3f operator-(const vec3f& a) { return {-a.x, -a.y, -a.z}; }
inline vec3f operator*(const vec3f& a, const vec3f& b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline vec3f lerp(const vec3f& a, const vec3f& b, float t) { return a * (1 - t) + b * t; }
// Corner k (0 to 7) of a box: bit 0 picks the larger x, bit 1 y, bit 2 z.
inline vec3f box_corner(const bbox3f& box, int k) {
  return {k & 1 ? box.max.x : box.min.x, k & 2 ? box.max.y : box.min.y,
          k & 4 ? box.max.z : box.min.z};
}
inline bool is_finite(const vec3f& a) {
  return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}

struct mat4d {
  double m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  double& at(int row, int col) { return m[col * 4 + row]; }
  double  at(int row, int col) const { return m[col * 4 + row]; }
};

mat4d operator*(const mat4d& a, const mat4d& b);
// The inverse; false when the matrix is singular or not finite.
bool invert(const mat4d& a, mat4d& inverse);
bool is_finite(const mat4d& a);

mat4d translation_matrix(double x, double y, double z);
mat4d scale_matrix(double x, double y, double z);
// A rotation by `degrees` about the axis (x, y, z).
mat4d rotation_matrix(double degrees, double x, double y, double z);

vec3f transform_point(const mat4d& a, const vec3f& p);
vec3f transform_direction(const mat4d& a, const vec3f& d);

// The affine part as a frame (axes x, y, z and origin), and back.
frame3f to_frame(const mat4d& a);
mat4d   to_matrix(const frame3f& f);
