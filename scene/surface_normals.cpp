#include "scene/surface_normals.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "scene/scene_files.h"
#include "scene/shape.h"

namespace {

bool plain_shape(const scene_shape& shape) {
  return shape.normals.empty() && shape.quadspos.empty() && shape.points.empty() &&
         shape.lines.empty() && !shape.positions.empty();
}

// The walls of a cap of n vertices: 3n positions, quad k = (k - 1, k, n + 2k,
// n + 2k + 1) with the two ground vertices under k and k - 1.
bool is_walls(const scene_shape& shape, size_t& n) {
  n = shape.quads.size();
  if (!plain_shape(shape) || !shape.triangles.empty() || n < 2 || shape.positions.size() != 3 * n)
    return false;
  auto& p = shape.positions;
  for (size_t k = 0; k < n; k++) {
    auto prev = k == 0 ? n - 1 : k - 1;
    auto& q = shape.quads[k];
    if (q.x != (int)prev || q.y != (int)k || q.z != (int)(n + 2 * k) || q.w != (int)(n + 2 * k + 1))
      return false;
    auto& a = p[n + 2 * k];
    auto& b = p[n + 2 * k + 1];
    if (a.x != p[k].x || a.z != p[k].z || b.x != p[prev].x || b.z != p[prev].z || a.y != b.y)
      return false;
  }
  return true;
}

// The roof over an outline of m points: 3m positions, triangles
// (k - 1, k, m + 2k) and (m + 2k, m + 2k + 1, k - 1), both apex vertices equal.
bool is_roof(const scene_shape& shape, size_t& m) {
  m = shape.triangles.size() / 2;
  if (!plain_shape(shape) || !shape.quads.empty() || m < 2 || shape.triangles.size() != 2 * m ||
      shape.positions.size() != 3 * m)
    return false;
  for (size_t k = 0; k < m; k++) {
    auto prev = (int)(k == 0 ? m - 1 : k - 1);
    auto a = (int)(m + 2 * k);
    auto& t = shape.triangles[2 * k];
    auto& u = shape.triangles[2 * k + 1];
    if (t.x != prev || t.y != (int)k || t.z != a || u.x != a || u.y != a + 1 || u.z != prev)
      return false;
    if (shape.positions[(size_t)a] != shape.positions[(size_t)a + 1]) return false;
  }
  return true;
}

bool is_flat(const scene_shape& shape) {
  if (!plain_shape(shape) || (shape.triangles.empty() && shape.quads.empty())) return false;
  for (auto& p : shape.positions)
    if (p.y != shape.positions.front().y) return false;
  return true;
}

// Twice the signed area of a ring in plan (x, z).
double ring_area(const std::vector<vec3f>& ring) {
  auto area = 0.0;
  for (size_t t = 0; t < ring.size(); t++) {
    auto& a = ring[t];
    auto& b = ring[(t + 1) % ring.size()];
    area += (double)a.x * b.z - (double)b.x * a.z;
  }
  return area;
}

// Vertices of one position and one normal are one vertex; others split.
struct welder {
  scene_shape& out;
  std::unordered_map<uint64_t, std::vector<int>> at = {};
  int add(const vec3f& p, const vec3f& n) {
    uint64_t key;
    uint32_t bits[2];
    std::memcpy(&bits[0], &p.x, 4), std::memcpy(&bits[1], &p.z, 4);
    key = ((uint64_t)bits[0] << 32 | bits[1]) ^ (uint64_t)std::hash<float>{}(p.y);
    auto& list = at[key];
    for (auto i : list)
      if (out.positions[(size_t)i] == p && dot(out.normals[(size_t)i], n) > 0.99999f) return i;
    out.positions.push_back(p), out.normals.push_back(n);
    list.push_back((int)out.positions.size() - 1);
    return list.back();
  }
};

void make_walls(scene_shape& shape, size_t n, float aspect) {
  auto top = std::vector<vec3f>(shape.positions.begin(), shape.positions.begin() + (long)n);
  auto ground = shape.positions[n].y;
  // Rings: from a start to the first repeat of it; an unclosed rest is a ring too.
  auto quads = std::vector<std::array<vec3f, 4>>{};
  auto normals = std::vector<vec3f>{};
  size_t start = 0;
  auto first_ring = true;
  while (start < n) {
    auto end = start + 1;
    while (end < n && !(top[end].x == top[start].x && top[end].z == top[start].z)) end++;
    auto closed = end < n;
    auto ring = std::vector<vec3f>(top.begin() + (long)start, top.begin() + (long)(closed ? end : n));
    auto area = ring_area(ring);
    auto sign = (area > 0 ? 1.0f : -1.0f) * (first_ring ? 1.0f : -1.0f);
    for (size_t t = 0; t < ring.size(); t++) {
      auto a = ring[t], b = ring[(t + 1) % ring.size()];
      auto dx = b.x - a.x, dz = b.z - a.z;
      if (!(dx * dx + dz * dz > 0)) continue;
      auto out = normalize(vec3f{dz, 0, -dx} * sign);
      // Seen from outside, the first two corners run left to right along
      // the ground, so façade images read the right way round.
      auto right = cross(out * -1.0f, {0, 1, 0});
      if (dot(b - a, right) < 0) std::swap(a, b);
      quads.push_back({vec3f{a.x, ground, a.z}, vec3f{b.x, ground, b.z}, b, a});
      normals.push_back(out);
    }
    first_ring = false;
    start = closed ? end + 1 : n;
  }
  auto walls = scene_shape{};
  auto weld = welder{walls};
  for (size_t k = 0; k < quads.size(); k++) {
    auto& q = quads[k];
    walls.quads.push_back({weld.add(q[0], normals[k]), weld.add(q[1], normals[k]),
                           weld.add(q[2], normals[k]), weld.add(q[3], normals[k])});
  }
  if (aspect > 0) {
    // Texture coordinates jump at every corner: each face its own vertices.
    auto textured = make_facade_texcoords(walls, aspect);
    walls.normals.clear();
    for (size_t k = 0; k < quads.size(); k++)
      for (int c = 0; c < 4; c++) walls.normals.push_back(normals[k]);
    if (textured.positions.size() == walls.normals.size()) {
      walls.positions = std::move(textured.positions);
      walls.texcoords = std::move(textured.texcoords);
      walls.triangles = std::move(textured.triangles);
      walls.quads.clear();
    } else {
      walls.normals = {};
    }
  }
  shape.positions = std::move(walls.positions);
  shape.normals = std::move(walls.normals);
  shape.texcoords = std::move(walls.texcoords);
  shape.triangles = std::move(walls.triangles);
  shape.quads = std::move(walls.quads);
}

void make_roof(scene_shape& shape, size_t m) {
  auto outline = std::vector<vec3f>(shape.positions.begin(), shape.positions.begin() + (long)m);
  auto apex = shape.positions[m];
  // Faces up (outward) when the outline runs counter-clockwise seen from above.
  auto flip = ring_area(outline) > 0;
  auto roof = scene_shape{};
  auto weld = welder{roof};
  for (size_t k = 0; k < m; k++) {
    auto a = outline[k == 0 ? m - 1 : k - 1], b = outline[k];
    if (flip) std::swap(a, b);
    auto normal = cross(b - a, apex - a);
    if (!(dot(normal, normal) > 0)) continue;
    normal = normalize(normal);
    roof.triangles.push_back({weld.add(a, normal), weld.add(b, normal), weld.add(apex, normal)});
  }
  shape.positions = std::move(roof.positions);
  shape.normals = std::move(roof.normals);
  shape.triangles = std::move(roof.triangles);
}

void make_flat(scene_shape& shape) {
  auto& p = shape.positions;
  auto up_y = [&](int a, int b, int c) {
    return (p[(size_t)b].z - p[(size_t)a].z) * (p[(size_t)c].x - p[(size_t)a].x) -
           (p[(size_t)b].x - p[(size_t)a].x) * (p[(size_t)c].z - p[(size_t)a].z);
  };
  for (auto& t : shape.triangles)
    if (up_y(t.x, t.y, t.z) < 0) std::swap(t.y, t.z);
  for (auto& q : shape.quads)
    if (up_y(q.x, q.y, q.z) < 0) std::swap(q.y, q.w);
  shape.normals.assign(p.size(), vec3f{0, 1, 0});
}

}  // namespace

bool is_city_surface(const scene_shape& shape) {
  auto count = size_t{0};
  return is_walls(shape, count) || is_roof(shape, count) || is_flat(shape);
}

bool orient_city_shape(scene_shape& shape, float aspect) {
  auto count = size_t{0};
  if (is_walls(shape, count)) {
    make_walls(shape, count, aspect > 0 ? aspect : 0);
  } else if (is_roof(shape, count)) {
    make_roof(shape, count);
  } else if (is_flat(shape)) {
    make_flat(shape);
  } else {
    return false;
  }
  return true;
}

bool orienting_moves_vertices(const scene_shape& shape) {
  auto count = size_t{0};
  return is_walls(shape, count) || is_roof(shape, count);
}

float facade_aspect(const scene_material* material) {
  if (!material) return 0.0f;
  auto has_pixels = [](const scene_texture* t) {
    return t && (!t->hdr.pixels.empty() || !t->ldr.pixels.empty());
  };
  auto& m = *material;
  auto image = has_pixels(m.color_tex)      ? m.color_tex
               : has_pixels(m.emission_tex) ? m.emission_tex
               : has_pixels(m.normal_tex)   ? m.normal_tex
                                            : nullptr;
  if (!image) return 0.0f;
  auto w = image->hdr.pixels.empty() ? image->ldr.width : image->hdr.width;
  auto h = image->hdr.pixels.empty() ? image->ldr.height : image->hdr.height;
  return w > 0 && h > 0 ? (float)w / (float)h : 1.0f;
}

size_t orient_city_surfaces(scene_data& scene) {
  auto materials = materials_by_name(scene);
  auto material_of = std::unordered_map<std::string, const scene_material*>{};
  for (auto& m : materials) material_of.emplace(m.name, &m);
  auto aspect_of = [&](const scene_instance& instance) {
    if (!instance.material) return 0.0f;
    auto found = material_of.find(instance.material->name);
    return found == material_of.end() ? 0.0f : facade_aspect(found->second);
  };
  // The aspect every instance shows a shape with; -1 when they differ.
  auto aspects = std::unordered_map<scene_shape*, float>{};
  auto keyed = instances_by_name(scene);
  for (auto& instance : keyed) {
    if (!instance.shape) continue;
    auto aspect = aspect_of(instance);
    auto [found, added] = aspects.try_emplace(instance.shape, aspect);
    if (!added && found->second != aspect) found->second = -1;
  }
  auto changed = size_t{0};
  for (auto& [shape, aspect] : aspects)
    if (orient_city_shape(*shape, aspect)) changed++;
  return changed;
}
