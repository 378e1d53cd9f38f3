#include "generator/georeference.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

scene_georeference map_georeference(const city_features& features, float scene_size) {
  auto geo = scene_georeference{};
  auto min_x = DBL_MAX, min_y = DBL_MAX, max_x = -DBL_MAX, max_y = -DBL_MAX;
  for (auto& record : features.features) {
    for (auto& p : record.outline) {
      min_x = std::min(min_x, p.x), max_x = std::max(max_x, p.x);
      min_y = std::min(min_y, p.y), max_y = std::max(max_y, p.y);
    }
  }
  if (!(min_x <= max_x) || !(min_y <= max_y)) return geo;
  geo.known = true;
  geo.half_size = scene_size / 2.0;
  geo.west = min_x, geo.east = max_x, geo.south = min_y, geo.north = max_y;
  // Lengths of a degree on the WGS 84 ellipsoid at latitude phi.
  auto phi = (min_y + max_y) / 2 * 3.14159265358979 / 180;
  auto per_degree_lat = 111132.92 - 559.82 * std::cos(2 * phi) + 1.175 * std::cos(4 * phi);
  auto per_degree_lon =
      111412.84 * std::cos(phi) - 93.5 * std::cos(3 * phi) + 0.118 * std::cos(5 * phi);
  geo.metres_per_unit_x = (max_x - min_x) * per_degree_lon / scene_size;
  geo.metres_per_unit_z = (max_y - min_y) * per_degree_lat / scene_size;
  return geo;
}
