#include "scene/matrix.h"

mat4d operator*(const mat4d& a, const mat4d& b) {
  auto r = mat4d{};
  for (int c = 0; c < 4; c++)
    for (int row = 0; row < 4; row++) {
      auto sum = 0.0;
      for (int k = 0; k < 4; k++) sum += a.at(row, k) * b.at(k, c);
      r.at(row, c) = sum;
    }
  return r;
}

bool is_finite(const mat4d& a) {
  for (auto value : a.m)
    if (!std::isfinite(value)) return false;
  return true;
}

bool invert(const mat4d& a, mat4d& inverse) {
  // Gauss-Jordan elimination with partial pivoting on [a | I].
  double w[4][8];
  for (int r = 0; r < 4; r++)
    for (int c = 0; c < 8; c++) w[r][c] = c < 4 ? a.at(r, c) : (c - 4 == r ? 1 : 0);
  for (int c = 0; c < 4; c++) {
    auto pivot = c;
    for (int r = c + 1; r < 4; r++)
      if (std::abs(w[r][c]) > std::abs(w[pivot][c])) pivot = r;
    if (!(std::abs(w[pivot][c]) > 1e-300)) return false;
    if (pivot != c)
      for (int k = 0; k < 8; k++) std::swap(w[c][k], w[pivot][k]);
    auto scale = 1 / w[c][c];
    for (int k = 0; k < 8; k++) w[c][k] *= scale;
    for (int r = 0; r < 4; r++) {
      if (r == c || w[r][c] == 0) continue;
      auto factor = w[r][c];
      for (int k = 0; k < 8; k++) w[r][k] -= factor * w[c][k];
    }
  }
  for (int r = 0; r < 4; r++)
    for (int c = 0; c < 4; c++) inverse.at(r, c) = w[r][c + 4];
  return is_finite(inverse);
}

mat4d translation_matrix(double x, double y, double z) {
  auto r = mat4d{};
  r.at(0, 3) = x, r.at(1, 3) = y, r.at(2, 3) = z;
  return r;
}

mat4d scale_matrix(double x, double y, double z) {
  auto r = mat4d{};
  r.at(0, 0) = x, r.at(1, 1) = y, r.at(2, 2) = z;
  return r;
}

mat4d rotation_matrix(double degrees, double x, double y, double z) {
  auto length = std::sqrt(x * x + y * y + z * z);
  auto r = mat4d{};
  if (!(length > 0)) return r;
  x /= length, y /= length, z /= length;
  auto angle = degrees * 3.14159265358979323846 / 180;
  auto s = std::sin(angle), c = std::cos(angle), t = 1 - c;
  r.at(0, 0) = t * x * x + c, r.at(0, 1) = t * x * y - s * z, r.at(0, 2) = t * x * z + s * y;
  r.at(1, 0) = t * x * y + s * z, r.at(1, 1) = t * y * y + c, r.at(1, 2) = t * y * z - s * x;
  r.at(2, 0) = t * x * z - s * y, r.at(2, 1) = t * y * z + s * x, r.at(2, 2) = t * z * z + c;
  return r;
}

vec3f transform_point(const mat4d& a, const vec3f& p) {
  return {(float)(a.at(0, 0) * p.x + a.at(0, 1) * p.y + a.at(0, 2) * p.z + a.at(0, 3)),
          (float)(a.at(1, 0) * p.x + a.at(1, 1) * p.y + a.at(1, 2) * p.z + a.at(1, 3)),
          (float)(a.at(2, 0) * p.x + a.at(2, 1) * p.y + a.at(2, 2) * p.z + a.at(2, 3))};
}

vec3f transform_direction(const mat4d& a, const vec3f& d) {
  return {(float)(a.at(0, 0) * d.x + a.at(0, 1) * d.y + a.at(0, 2) * d.z),
          (float)(a.at(1, 0) * d.x + a.at(1, 1) * d.y + a.at(1, 2) * d.z),
          (float)(a.at(2, 0) * d.x + a.at(2, 1) * d.y + a.at(2, 2) * d.z)};
}

frame3f to_frame(const mat4d& a) {
  auto column = [&](int c) {
    return vec3f{(float)a.at(0, c), (float)a.at(1, c), (float)a.at(2, c)};
  };
  return {column(0), column(1), column(2), column(3)};
}

mat4d to_matrix(const frame3f& f) {
  auto r = mat4d{};
  const vec3f* axes[4] = {&f.x, &f.y, &f.z, &f.o};
  for (int c = 0; c < 4; c++) r.at(0, c) = axes[c]->x, r.at(1, c) = axes[c]->y, r.at(2, c) = axes[c]->z;
  return r;
}
