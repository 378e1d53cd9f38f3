#pragma once
// 4 x 4 matrices in double precision, column-major as OpenGL and glTF store
// them: the node transforms of glTF and PBRT scenes and the viewer's camera.

#include <cmath>

#include "scene/math.h"

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
