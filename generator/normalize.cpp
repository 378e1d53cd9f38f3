#include "generator/normalize.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "generator/tags.h"

// (v - lo) / (hi - lo) * size - size / 2, or 0 without extent. Differences
// too large for a double are taken on halves; halving is exact, so the
// ratio is the same.
static double map_axis(double v, double lo, double hi, double size) {
  if (!(hi > lo)) return 0;
  auto range = hi - lo, offset = v - lo;
  auto t     = std::isfinite(range) && std::isfinite(offset)
                   ? offset / range
                   : (v / 2 - lo / 2) / (hi / 2 - lo / 2);
  // Only a hole far outside every outline can leave the float range.
  return std::clamp(t * size - size / 2, -(double)FLT_MAX, (double)FLT_MAX);
}

void normalize_features(city_features& features, float scene_size) {
  auto min = vec2d{DBL_MAX, DBL_MAX}, max = vec2d{-DBL_MAX, -DBL_MAX};
  for (auto& record : features.features) {
    for (auto& p : record.outline) {
      min = {std::min(min.x, p.x), std::min(min.y, p.y)};
      max = {std::max(max.x, p.x), std::max(max.y, p.y)};
    }
  }
  auto size = (double)scene_size;
  auto map  = [&](vec2d& p) {
    p = vec2d{map_axis(p.x, min.x, max.x, size), map_axis(p.y, min.y, max.y, size)};
  };
  for (auto& record : features.features) {
    record.height = feature_height(record, scene_size);
    for (auto& p : record.outline) map(p);
    for (auto& hole : record.holes) {
      for (auto& p : hole) map(p);
    }
  }
}

