#include "scene/shape.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <unordered_map>

#include "scene/scene.h"

static int corner(const vec4i& q, int k) { return k == 0 ? q.x : k == 1 ? q.y : k == 2 ? q.z : q.w; }
static bool in_range(int index, size_t count) { return index >= 0 && (size_t)index < count; }

bool indices_in_range(const std::vector<int>& points, size_t count) {
  for (auto p : points)
    if (!in_range(p, count)) return false;
  return true;
}
bool indices_in_range(const std::vector<vec2i>& lines, size_t count) {
  for (auto& l : lines)
    if (!in_range(l.x, count) || !in_range(l.y, count)) return false;
  return true;
}
bool indices_in_range(const std::vector<vec3i>& triangles, size_t count) {
  for (auto& t : triangles)
    if (!in_range(t.x, count) || !in_range(t.y, count) || !in_range(t.z, count)) return false;
  return true;
}
bool indices_in_range(const std::vector<vec4i>& quads, size_t count) {
  for (auto& q : quads)
    for (auto k = 0; k < 4; k++)
      if (!in_range(corner(q, k), count)) return false;
  return true;
}

bool has_valid_indices(const scene_shape& shape) {
  if (!shape.quadspos.empty()) {
    auto check_quads = [&](const std::vector<vec4i>& quads, size_t size) {
      if (quads.empty()) return true;
      return quads.size() == shape.quadspos.size() && indices_in_range(quads, size);
    };
    return check_quads(shape.quadspos, shape.positions.size()) &&
           check_quads(shape.quadsnorm, shape.normals.size()) &&
           check_quads(shape.quadstexcoord, shape.texcoords.size());
  }
  auto size = shape.positions.size();
  if (!shape.normals.empty()) size = std::min(size, shape.normals.size());
  if (!shape.texcoords.empty()) size = std::min(size, shape.texcoords.size());
  return indices_in_range(shape.points, size) && indices_in_range(shape.lines, size) &&
         indices_in_range(shape.triangles, size) && indices_in_range(shape.quads, size);
}

bool make_indexed_quads(const std::vector<vec4i>& quadspos, const std::vector<vec4i>& quadsnorm,
                        const std::vector<vec4i>& quadstexcoord,
                        const std::vector<vec3f>& positions, const std::vector<vec3f>& normals,
                        const std::vector<vec2f>& texcoords, std::vector<vec4i>& quads,
                        std::vector<vec3f>& out_positions, std::vector<vec3f>& out_normals,
                        std::vector<vec2f>& out_texcoords) {
  // Normals and texture coordinates without their own indices follow the positions.
  auto& norm_indices = quadsnorm.empty() ? quadspos : quadsnorm;
  auto& texcoord_indices = quadstexcoord.empty() ? quadspos : quadstexcoord;
  auto use_normals = !normals.empty(), use_texcoords = !texcoords.empty();
  if (use_normals && (norm_indices.size() != quadspos.size() || !indices_in_range(norm_indices, normals.size())))
    return false;
  if (use_texcoords && (texcoord_indices.size() != quadspos.size() ||
                        !indices_in_range(texcoord_indices, texcoords.size())))
    return false;
  if (!indices_in_range(quadspos, positions.size())) return false;

  auto welder = corner_welder{};
  quads.resize(quadspos.size());
  for (auto i = size_t{0}; i < quadspos.size(); i++) {
    int new_corners[4];
    for (auto k = 0; k < 4; k++) {
      auto key = corner_key{corner(quadspos[i], k), use_normals ? corner(norm_indices[i], k) : -1,
                            use_texcoords ? corner(texcoord_indices[i], k) : -1};
      new_corners[k] = welder.weld(key, (int)out_positions.size(), [&](const corner_key& key) {
        out_positions.push_back(positions[(size_t)key.position]);
        if (use_normals) out_normals.push_back(normals[(size_t)key.normal]);
        if (use_texcoords) out_texcoords.push_back(texcoords[(size_t)key.texcoord]);
      });
    }
    quads[i] = {new_corners[0], new_corners[1], new_corners[2], new_corners[3]};
  }
  return true;
}

std::vector<vec3i> quads_to_triangles(const std::vector<vec3i>& triangles,
                                      const std::vector<vec4i>& quads) {
  auto result = std::vector<vec3i>{};
  result.reserve(triangles.size() + 2 * quads.size());
  result.insert(result.end(), triangles.begin(), triangles.end());
  for (auto& q : quads) {
    result.push_back({q.x, q.y, q.z});
    if (q.w != q.z) result.push_back({q.x, q.z, q.w});
  }
  return result;
}

textured_mesh make_facade_texcoords(const scene_shape& shape, float image_aspect) {
  auto mesh = textured_mesh{};
  auto& positions = shape.positions;
  // Faces as lists of position indices, in the order the shape holds them.
  auto faces = std::vector<std::vector<int>>{};
  auto add_face = [&](std::initializer_list<int> indices) {
    for (auto i : indices)
      if (!in_range(i, positions.size())) return;
    faces.emplace_back(indices);
  };
  for (auto& t : shape.triangles) add_face({t.x, t.y, t.z});
  for (auto& q : shape.quads) q.w == q.z ? add_face({q.x, q.y, q.z}) : add_face({q.x, q.y, q.z, q.w});
  for (auto& q : shape.quadspos)
    q.w == q.z ? add_face({q.x, q.y, q.z}) : add_face({q.x, q.y, q.z, q.w});
  if (faces.empty()) return mesh;

  // The image spans the height of the shape once.
  auto low = std::numeric_limits<float>::max(), high = -low;
  auto min_x = low, max_x = high, min_z = low, max_z = high;
  for (auto& face : faces) {
    for (auto i : face) {
      auto& p = positions[(size_t)i];
      low = std::min(low, p.y), high = std::max(high, p.y);
      min_x = std::min(min_x, p.x), max_x = std::max(max_x, p.x);
      min_z = std::min(min_z, p.z), max_z = std::max(max_z, p.z);
    }
  }
  auto height = high - low;
  if (!(height > 0) || !std::isfinite(height)) {
    // A flat shape: the image covers its larger side in plan.
    height = std::max(max_x - min_x, max_z - min_z);
    if (!(height > 0) || !std::isfinite(height)) height = 1;
  }
  auto aspect = (image_aspect > 0 && std::isfinite(image_aspect)) ? image_aspect : 1.0f;
  auto period = height * aspect;  // length along a wall that one image covers

  auto along = 0.0f;  // where the next upright face starts, in image widths
  mesh.positions.reserve(4 * faces.size());
  mesh.texcoords.reserve(4 * faces.size());
  mesh.triangles.reserve(2 * faces.size());
  for (auto& face : faces) {
    // Newell's normal copes with any corner order and nearly flat quads.
    auto normal = vec3f{};
    for (size_t k = 0; k < face.size(); k++) {
      auto& a = positions[(size_t)face[k]];
      auto& b = positions[(size_t)face[(k + 1) % face.size()]];
      normal = normal + vec3f{(a.y - b.y) * (a.z + b.z), (a.z - b.z) * (a.x + b.x),
                              (a.x - b.x) * (a.y + b.y)};
    }
    auto normal_length = length(normal);
    auto first = (int)mesh.positions.size();
    auto& origin = positions[(size_t)face[0]];
    if (normal_length > 0 && std::abs(normal.y) < 0.7f * normal_length) {
      // Upright: u runs along the wall from the first corner towards the
      // second, v down from the top of the shape.
      auto run = positions[(size_t)face[1]] - origin;
      run.y = 0;
      if (length(run) <= 0) run = cross(normal, {0, 1, 0});
      run = run * (1 / length(run));
      auto extent = 0.0f;
      for (auto i : face) {
        auto& p = positions[(size_t)i];
        auto s = dot(p - origin, run);
        extent = std::max(extent, s);
        mesh.positions.push_back(p);
        mesh.texcoords.push_back({along + s / period, (high - p.y) / height});
      }
      // Kept within one image width so that long walls keep their precision.
      along = std::fmod(along + extent / period, 1.0f);
    } else {
      for (auto i : face) {
        auto& p = positions[(size_t)i];
        mesh.positions.push_back(p);
        mesh.texcoords.push_back({(p.x - min_x) / period, (p.z - min_z) / height});
      }
    }
    for (size_t k = 2; k < face.size(); k++)
      mesh.triangles.push_back({first, first + (int)k - 1, first + (int)k});
  }
  return mesh;
}
