#include "generator/triangulate.h"

#include <algorithm>
#include <cmath>

#include <mapbox/earcut.hpp>

// Teaches the triangulation to read our points directly.
namespace mapbox {
namespace util {
template <>
struct nth<0, vec2d> {
  inline static double get(const vec2d& p) { return p.x; }
};
template <>
struct nth<1, vec2d> {
  inline static double get(const vec2d& p) { return p.y; }
};
}  // namespace util
}  // namespace mapbox

std::vector<uint32_t> triangulate_rings(const std::vector<std::vector<vec2d>>& rings) {
  return mapbox::earcut<uint32_t>(rings);
}

// Places the ring's points as float vertices; false when one is not finite.
static bool append_vertices(const std::vector<vec2d>& points, float height,
                            std::vector<vec3f>& positions) {
  auto finite = true;
  for (auto& point : points) {
    auto x = (float)point.x, y = (float)point.y;
    finite = finite && std::isfinite(x) && std::isfinite(y);
    positions.push_back({x, height, y});
  }
  return finite;
}

// The ring the triangulation sees is read back from the stored vertices, so
// both agree bit for bit. (Widening the floats right after narrowing them
// lets some optimisers drop the round trip, keeping the doubles.)
static void append_ring(const std::vector<vec3f>& positions, size_t first, size_t count,
                        std::vector<vec2d>& ring) {
  ring.reserve(count);
  for (auto i = first; i < first + count; i++)
    ring.push_back({(double)positions[i].x, (double)positions[i].z});
}

// Fills a large cap on every k-th point of its rings; the triangles index
// the stored vertices.
static const size_t min_outline_points = 64;
static void fill_thinned(const std::vector<vec2d>& outline,
                         const std::vector<std::vector<vec2d>>& holes,
                         const std::vector<vec3f>& positions, std::vector<vec3i>& triangles) {
  auto stride  = (positions.size() + max_fill_points - 1) / max_fill_points;
  auto polygon = std::vector<std::vector<vec2d>>{};
  auto vertex  = std::vector<int>{};  // the stored vertex of each thinned point
  auto first   = size_t{0};
  auto thin    = [&](size_t size, size_t step) {
    auto kept = (size + step - 1) / step;
    if (kept >= 3) {
      polygon.emplace_back();
      for (auto i = first; i < first + size; i += step) {
        polygon.back().push_back({(double)positions[i].x, (double)positions[i].z});
        vertex.push_back((int)i);
      }
    }
    first += size;
    return kept >= 3;
  };
  // However many holes it has, the outline keeps its shape.
  if (!thin(outline.size(), std::clamp(outline.size() / min_outline_points, size_t{1}, stride)))
    return;
  for (auto& hole : holes) thin(hole.size(), stride);

  auto indices = triangulate_rings(polygon);
  triangles.reserve(indices.size() / 3);
  for (size_t i = 0; i + 2 < indices.size(); i += 3)
    triangles.push_back({vertex[indices[i]], vertex[indices[i + 1]], vertex[indices[i + 2]]});
}

void build_cap(const std::vector<vec2d>& outline, const std::vector<std::vector<vec2d>>& holes,
               float height, std::vector<vec3f>& positions, std::vector<vec3i>& triangles) {
  positions.clear();
  triangles.clear();
  auto count = outline.size();
  for (auto& hole : holes) count += hole.size();
  positions.reserve(count);

  auto finite = append_vertices(outline, height, positions);
  for (auto& hole : holes) finite = append_vertices(hole, height, positions) && finite;
  // Infinite or NaN points would break the triangulation's spatial hash;
  // such a cap keeps its vertices and gets no triangle, like a degenerate one.
  if (!finite) return;

  if (count > max_fill_points) {
    fill_thinned(outline, holes, positions, triangles);
    return;
  }
  auto polygon = std::vector<std::vector<vec2d>>(1 + holes.size());
  append_ring(positions, 0, outline.size(), polygon[0]);
  auto first = outline.size();
  for (size_t h = 0; h < holes.size(); h++) {
    append_ring(positions, first, holes[h].size(), polygon[h + 1]);
    first += holes[h].size();
  }

  auto indices = triangulate_rings(polygon);
  triangles.reserve(indices.size() / 3);
  for (size_t i = 0; i + 2 < indices.size(); i += 3)
    triangles.push_back({(int)indices[i], (int)indices[i + 1], (int)indices[i + 2]});
}
