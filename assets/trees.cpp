// Tree models: low-poly trunks and crowns built from closed tubes.
//
// Every part is a closed surface of its own (parts overlap but share no
// vertices), so every edge of a model has exactly two triangles, one in each
// direction, and every triangle faces outwards. Sizes are scene units: the
// map is 50 units across and a storey is 1/20 unit, so trees stand 0.2-0.3
// units tall, a few storeys.

#include <algorithm>
#include <cmath>

#include "assets/assets.h"

namespace {

const float pi = 3.14159265358979f;

struct tube_point {
  vec3f center = {};
  float across = 0;  // radius along the side axis
  float thick  = 0;  // radius along the normal axis
};

// A closed tube along a path, with a ring of `sides` vertices around every
// path point. An end whose radii are zero closes on a single tip vertex; any
// other end gets a flat cap. The side axis of every ring is
// cross(reference, tangent), so `reference` must never be parallel to the
// path. Rings turn counter-clockwise seen from the path's end, which makes
// the triangles face outwards. `wobble` scales every ring vertex's radius by
// a random factor in 1 +- wobble/2, for crowns that look less turned.
void add_tube(scene_shape& shape, const std::vector<tube_point>& path, int sides,
              vec3f reference, asset_random& rng, float wobble = 0, float phase = 0) {
  auto count = (int)path.size();
  if (count < 2 || sides < 3) return;
  auto& positions = shape.positions;
  auto& triangles = shape.triangles;

  // first vertex of each ring, or of the tip vertex for pointed ends
  auto starts = std::vector<int>(count);
  auto pointed = std::vector<bool>(count, false);
  for (auto i = 0; i < count; i++) {
    auto& point = path[i];
    auto prev = path[i == 0 ? 0 : i - 1].center, next = path[i == count - 1 ? i : i + 1].center;
    auto tangent = normalize(next - prev);
    auto side = normalize(cross(reference, tangent));
    auto normal = cross(tangent, side);
    starts[i] = (int)positions.size();
    if ((i == 0 || i == count - 1) && point.across == 0 && point.thick == 0) {
      pointed[i] = true;
      positions.push_back(point.center);
      continue;
    }
    for (auto j = 0; j < sides; j++) {
      auto angle = phase + 2 * pi * j / sides;
      auto scale = wobble > 0 ? 1 + wobble * (random_float(rng) - 0.5f) : 1.0f;
      positions.push_back(point.center + side * (std::cos(angle) * point.across * scale) +
                          normal * (std::sin(angle) * point.thick * scale));
    }
  }

  auto ring = [&](int i, int j) { return starts[i] + (j % sides); };
  // the start end faces against the path, the last end along it
  if (pointed[0]) {
    for (auto j = 0; j < sides; j++) triangles.push_back({starts[0], ring(1, j + 1), ring(1, j)});
  } else {
    auto center = (int)positions.size();
    positions.push_back(path[0].center);
    for (auto j = 0; j < sides; j++) triangles.push_back({center, ring(0, j + 1), ring(0, j)});
  }
  auto first_band = pointed[0] ? 1 : 0, last_band = pointed[count - 1] ? count - 2 : count - 1;
  for (auto i = first_band; i < last_band; i++) {
    for (auto j = 0; j < sides; j++) {
      triangles.push_back({ring(i, j), ring(i, j + 1), ring(i + 1, j + 1)});
      triangles.push_back({ring(i, j), ring(i + 1, j + 1), ring(i + 1, j)});
    }
  }
  auto last = count - 1;
  if (pointed[last]) {
    for (auto j = 0; j < sides; j++)
      triangles.push_back({starts[last], ring(last - 1, j), ring(last - 1, j + 1)});
  } else {
    auto center = (int)positions.size();
    positions.push_back(path[last].center);
    for (auto j = 0; j < sides; j++)
      triangles.push_back({center, ring(last, j), ring(last, j + 1)});
  }
}

const vec3f up = {0, 1, 0};
const vec3f depth = {0, 0, 1};

// A straight vertical trunk from the ground, flat at both ends.
void add_trunk(scene_shape& shape, float height, float bottom_radius, float top_radius,
               int sides, asset_random& rng) {
  auto path = std::vector<tube_point>{{{0, 0, 0}, bottom_radius, bottom_radius},
                                      {{0, height, 0}, top_radius, top_radius}};
  add_tube(shape, path, sides, depth, rng);
}

// A solid of revolution around a vertical axis through `base`, pointed at
// both ends; radius(s) gives the horizontal radius at s = 0 ... 1 of the height.
template <typename Profile>
void add_spindle(scene_shape& shape, vec3f base, float height, int rings, int sides,
                 Profile radius, asset_random& rng, float wobble, float phase = 0) {
  auto path = std::vector<tube_point>{};
  for (auto i = 0; i <= rings; i++) {
    auto s = (float)i / rings;
    auto r = (i == 0 || i == rings) ? 0.0f : radius(s);
    path.push_back({base + up * (height * s), r, r});
  }
  add_tube(shape, path, sides, depth, rng, wobble, phase);
}

// A rounded ellipsoid with horizontal radius rx and vertical radius ry, its
// top and bottom flattened a little so that the poles do not look pointed.
void add_blob(scene_shape& shape, vec3f center, float rx, float ry, int rings, int sides,
              asset_random& rng, float wobble, float phase = 0) {
  add_spindle(shape, center - up * ry, 2 * ry, rings, sides,
              [rx](float s) { return rx * std::pow(std::sin(pi * s), 0.6f); }, rng, wobble, phase);
}

// A cone tier of a conifer: a flat underside, a slightly hollow flank.
void add_cone(scene_shape& shape, float bottom, float top, float radius, int sides,
              asset_random& rng, float phase) {
  auto height = top - bottom;
  auto path = std::vector<tube_point>{{{0, bottom, 0}, radius, radius},
                                      {{0, bottom + height * 0.12f, 0}, radius * 0.82f, radius * 0.82f},
                                      {{0, bottom + height * 0.5f, 0}, radius * 0.42f, radius * 0.42f},
                                      {{0, top, 0}, 0, 0}};
  add_tube(shape, path, sides, depth, rng, 0.18f, phase);
}

scene_shape make_standard() {
  auto shape = scene_shape{};
  auto rng = asset_random{101};
  add_trunk(shape, 0.10f, 0.008f, 0.006f, 6, rng);
  add_blob(shape, {0, 0.135f, 0}, 0.06f, 0.068f, 7, 9, rng, 0.14f);
  return shape;
}

scene_shape make_palm() {
  auto shape = scene_shape{};
  auto rng = asset_random{202};
  // A slender trunk leaning into a gentle curve; its first stretch is
  // upright so that its foot lies flat on the ground.
  auto trunk = std::vector<tube_point>{};
  auto top = vec3f{};
  for (auto i = 0; i <= 6; i++) {
    auto s = i / 6.0f;
    auto height = 0.24f * s;
    auto bend = std::max(0.0f, (s - 1 / 6.0f) * 1.2f);
    auto lean = 0.035f * bend * bend;
    auto radius = 0.0065f - 0.0025f * s;
    top = {lean, height, 0};
    trunk.push_back({top, radius, radius});
  }
  add_tube(shape, trunk, 6, depth, rng);

  // Fronds: thin blades that rise from the crown and droop to their tips.
  const auto fronds = 8;
  for (auto k = 0; k < fronds; k++) {
    auto angle = 2 * pi * k / fronds + 0.25f * (random_float(rng) - 0.5f);
    auto dir = vec3f{std::cos(angle), 0, std::sin(angle)};
    auto reach = 0.085f + 0.02f * random_float(rng);
    auto blade = std::vector<tube_point>{};
    const auto steps = 5;
    for (auto i = 0; i <= steps; i++) {
      auto s = (float)i / steps;
      auto rise = 0.028f * s - 0.1f * s * s;
      auto width = (i == 0 || i == steps) ? 0.0f : 0.014f * std::sin(pi * std::pow(s, 0.7f));
      auto thick = (i == 0 || i == steps) ? 0.0f : 0.0015f;
      blade.push_back({top + dir * (reach * s) + up * (0.004f + rise), width, thick});
    }
    add_tube(shape, blade, 4, up, rng);
  }
  return shape;
}

scene_shape make_pine() {
  auto shape = scene_shape{};
  auto rng = asset_random{303};
  add_trunk(shape, 0.08f, 0.008f, 0.006f, 6, rng);
  // Stacked tiers, each narrower than the one below.
  add_cone(shape, 0.045f, 0.15f, 0.068f, 10, rng, 0.0f);
  add_cone(shape, 0.105f, 0.205f, 0.05f, 9, rng, 0.3f);
  add_cone(shape, 0.16f, 0.26f, 0.032f, 8, rng, 0.6f);
  return shape;
}

scene_shape make_cypress() {
  auto shape = scene_shape{};
  auto rng = asset_random{404};
  add_trunk(shape, 0.03f, 0.0055f, 0.0042f, 5, rng);
  // A tall spindle, fullest a third of the way up, tapering to a point.
  add_spindle(shape, {0, 0.018f, 0}, 0.272f, 9, 7,
              [](float s) { return 0.021f * std::pow(std::sin(pi * std::pow(s, 0.75f)), 0.7f); },
              rng, 0.14f);
  return shape;
}

scene_shape make_oak() {
  auto shape = scene_shape{};
  auto rng = asset_random{505};
  add_trunk(shape, 0.09f, 0.012f, 0.009f, 7, rng);
  // A wide, low dome with lobes around it for the broad rounded crown.
  add_blob(shape, {0, 0.135f, 0}, 0.085f, 0.058f, 6, 10, rng, 0.12f);
  const auto lobes = 4;
  for (auto k = 0; k < lobes; k++) {
    auto angle = 2 * pi * k / lobes + 0.4f;
    auto center = vec3f{0.055f * std::cos(angle), 0.12f + 0.015f * (k % 2), 0.055f * std::sin(angle)};
    add_blob(shape, center, 0.05f, 0.042f, 4, 7, rng, 0.15f, 0.5f * k);
  }
  return shape;
}

}  // namespace

const std::vector<std::string>& tree_names() {
  static const auto names = std::vector<std::string>{"standard", "palm", "pine", "cypress", "oak"};
  return names;
}

scene_shape make_tree(const std::string& name) {
  auto shape = scene_shape{};
  if (name == "standard") shape = make_standard();
  else if (name == "palm") shape = make_palm();
  else if (name == "pine") shape = make_pine();
  else if (name == "cypress") shape = make_cypress();
  else if (name == "oak") shape = make_oak();
  else return shape;
  shape.name = name;
  // Trees are instanced with their origin on the ground: the lowest vertex
  // must sit exactly at y = 0, neither floating nor sunk.
  auto lowest = shape.positions.front().y;
  for (auto& p : shape.positions) lowest = std::min(lowest, p.y);
  for (auto& p : shape.positions) p.y -= lowest;
  return shape;
}
