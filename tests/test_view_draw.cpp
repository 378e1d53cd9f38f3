// The viewer's draw list and camera: batching by look, instancing, layer
// ranks of flat meshes, tiles, façade coordinates, the sky's sun, framing
// and the fitted depth range.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <thread>
#include <set>

#include "scene/gltf_scene.h"
#include "scene/sunsky.h"
#include "test_util.h"
#include "thread_refusal.h"
#include "view/draw_list.h"
#include "view/scene_loader.h"
#include "view/view_camera.h"

namespace {

constexpr float pi = 3.14159265f;

// A flat square of side `size` at height `y` centred at (x, z).
scene_instance* add_square(loaded_scene& view, const std::string& name, float x, float z,
                           float size, float y, vec3f color) {
  auto instance = add_complete_instance(view.scene, name);
  auto h = size / 2;
  instance->shape->positions = {{x - h, y, z - h}, {x + h, y, z - h}, {x + h, y, z + h}, {x - h, y, z + h}};
  instance->shape->quads = {{0, 1, 2, 3}};
  instance->material->color = color;
  return instance;
}

// An upright box wall loop around a square footprint, as the city builds walls.
scene_instance* add_walls(loaded_scene& view, const std::string& name, float x, float z, float size,
                          float height) {
  auto instance = add_complete_instance(view.scene, name);
  auto h = size / 2;
  auto& s = *instance->shape;
  vec3f corners[4] = {{x - h, 0, z - h}, {x + h, 0, z - h}, {x + h, 0, z + h}, {x - h, 0, z + h}};
  for (int i = 0; i < 4; i++) {
    auto a = corners[i], b = corners[(i + 1) % 4];
    auto base = (int)s.positions.size();
    s.positions.insert(s.positions.end(), {a, b, {b.x, height, b.z}, {a.x, height, a.z}});
    s.quads.push_back({base, base + 1, base + 2, base + 3});
  }
  instance->material->color = {0.8f, 0.7f, 0.6f};
  return instance;
}

bool near_equal(const vec3f& a, const vec3f& b) { return length(a - b) < 1e-5f; }

bool inside(const bbox3f& outer, const bbox3f& inner) {
  return outer.min.x <= inner.min.x && outer.min.y <= inner.min.y && outer.min.z <= inner.min.z &&
         outer.max.x >= inner.max.x && outer.max.y >= inner.max.y && outer.max.z >= inner.max.z;
}

// A small city with every kind of mesh the list sorts apart: walls of three
// looks (one with a façade image), flat layers that cross at one height and
// stack a fraction of a step apart, trees shared by enough instances to be
// drawn instanced, a shape two instances share with different looks, a
// shape with an index out of range, and instances without faces.
loaded_scene small_city() {
  auto view = loaded_scene{};
  auto& scene = view.scene;
  auto facade = add_texture(scene, "facade");
  facade->ldr = image4b{4, 4, std::vector<vec4b>(16, vec4b{200, 180, 160, 255})};
  auto looks = std::vector<scene_material*>{};
  for (int k = 0; k < 3; k++) {
    auto material = add_material(scene, "wall" + std::to_string(k));
    material->color = {0.5f + 0.1f * (float)k, 0.6f, 0.7f};
    if (k == 2) material->color_tex = facade;
    looks.push_back(material);
  }
  auto flat = [&](const std::string& name, float x0, float z0, float x1, float z1, float y) {
    auto instance = add_complete_instance(scene, name);
    instance->shape->positions = {{x0, y, z0}, {x1, y, z0}, {x1, y, z1}, {x0, y, z1}};
    instance->shape->quads = {{0, 1, 2, 3}};
    instance->material->color = {0.3f, 0.3f + 0.001f * (float)(name.size() % 3), 0.3f};
    return instance;
  };
  flat("ground", -200, -200, 200, 200, 0);
  for (int i = 0; i < 24; i++) {
    auto t = -180 + 15.0f * (float)i;
    flat("road_x" + std::to_string(i), -190, t, 190, t + 4, 0.01f);
    flat("road_z" + std::to_string(i), t, -190, t + 4, 190, 0.01f);
    flat("park" + std::to_string(i), t + 5, t - 20, t + 12, t + 30, 0.005f * (float)(i % 3));
  }
  for (int i = 0; i < 30; i++)
    for (int j = 0; j < 30; j++) {
      auto instance = add_instance(scene, "b" + std::to_string(i) + "_" + std::to_string(j));
      instance->shape = add_shape(scene);
      instance->material = looks[(size_t)((i * 7 + j) % 3)];
      auto& s = *instance->shape;
      auto x = -170 + 11.5f * (float)i, z = -170 + 11.5f * (float)j, h = 3 + (float)((i * 5 + j * 3) % 17);
      vec3f c[4] = {{x, 0, z}, {x + 6, 0, z}, {x + 6, 0, z + 5}, {x, 0, z + 5}};
      // Each wall in strips, so that the city fills several tiles.
      for (int k = 0; k < 4; k++)
        for (int q = 0; q < 12; q++) {
          auto a = lerp(c[k], c[(k + 1) % 4], (float)q / 12), b = lerp(c[k], c[(k + 1) % 4], (float)(q + 1) / 12);
          auto base = (int)s.positions.size();
          s.positions.insert(s.positions.end(), {a, b, {b.x, h, b.z}, {a.x, h, a.z}});
          s.quads.push_back({base, base + 1, base + 2, base + 3});
        }
      auto base = (int)s.positions.size();
      for (int k = 0; k < 4; k++) s.positions.push_back({c[k].x, h, c[k].z});
      s.triangles.push_back({base, base + 1, base + 2});
      s.triangles.push_back({base, base + 2, base + 3});
      if ((i + j) % 9 == 0) instance->frame.o = {0.25f, 0, -0.5f};
    }
  // Trees: one shape, many instances.
  auto tree = add_shape(scene, "tree");
  for (int k = 0; k < 12; k++) {
    auto a = 0.5f * (float)k;
    auto base = (int)tree->positions.size();
    tree->positions.insert(tree->positions.end(), {{std::cos(a), 1, std::sin(a)}, {std::cos(a + 0.5f), 1, std::sin(a + 0.5f)}, {0, 4, 0}});
    tree->triangles.push_back({base, base + 1, base + 2});
  }
  auto leaves = add_material(scene, "leaves");
  leaves->color = {0.1f, 0.5f, 0.1f};
  for (int k = 0; k < 40; k++) {
    auto instance = add_instance(scene, "tree" + std::to_string(k));
    instance->shape = tree, instance->material = leaves;
    instance->frame.o = {-185 + 9.0f * (float)k, 0, -185 + 4.0f * (float)(k % 7)};
  }
  // One shape under two looks, under the instancing threshold.
  auto kiosk = flat("kiosk", 50, 50, 52, 52, 2.5f);
  auto other = add_instance(scene, "kiosk2");
  other->shape = kiosk->shape, other->material = looks[2];
  other->frame.o = {10, 0, 10};
  // Left out: indices out of range, no shape, no faces.
  auto broken = flat("broken", 0, 0, 1, 1, 1);
  broken->shape->quads = {{0, 1, 2, 9}};
  add_instance(scene, "empty");
  add_complete_instance(scene, "no_faces")->shape->positions = {{0, 0, 0}};
  return view;
}

// A digest of everything the list holds, in order.
struct list_digest {
  unsigned long long h = 1469598103934665603ull;
  void bytes(const void* p, size_t n) {
    auto b = (const unsigned char*)p;
    for (size_t i = 0; i < n; i++) h = (h ^ b[i]) * 1099511628211ull;
  }
  template <typename T> void value(const T& v) { bytes(&v, sizeof(T)); }
  template <typename T> void array(const std::vector<T>& v) {
    value(v.size());
    if (!v.empty()) bytes(v.data(), v.size() * sizeof(T));
  }
  void level(const draw_level& l) { value(l.first), value(l.count), value(l.error); }
};
unsigned long long digest_of(const draw_list& list) {
  auto d = list_digest{};
  for (auto& look : list.looks) d.value(look.color), d.value(look.emission), d.value(look.texture);
  for (auto& b : list.batches) {
    d.value(b.look), d.value(b.layer), d.value(b.height);
    d.array(b.positions), d.array(b.texcoords), d.array(b.indices);
    for (auto& r : b.ranges) {
      d.value(r.base_vertex), d.value(r.vertex_count), d.value(r.tile), d.value(r.bounds);
      d.value(r.flat), d.value(r.level_count);
      for (int k = 0; k < r.level_count; k++) d.level(r.levels[k]);
    }
  }
  for (auto& g : list.instanced) {
    d.value(g.look), d.array(g.mesh.positions), d.array(g.mesh.texcoords), d.array(g.mesh.indices);
    d.array(g.frames);
    for (auto& r : g.runs) d.value(r.first), d.value(r.count), d.value(r.bounds);
    d.value(g.level_count);
    for (int k = 0; k < g.level_count; k++) d.level(g.levels[k]);
  }
  d.value(list.bounds), d.value(list.focus), d.value(list.tile_grid), d.value(list.triangles);
  d.value(list.instance_count), d.value(list.warnings.size());
  return d.h;
}
// Each run of a list digested on its own (its look, layer, tile, bounds,
// vertices and every level's indices, which count from the run's first
// vertex), with how often it occurs: lists cut differently into batches
// hold the same runs.
std::map<unsigned long long, int> runs_of(const std::vector<const draw_list*>& lists) {
  auto runs = std::map<unsigned long long, int>{};
  for (auto list : lists) {
    for (auto& b : list->batches)
      for (auto& r : b.ranges) {
        auto d = list_digest{};
        d.value(b.look), d.value(b.layer), d.value(r.tile), d.value(r.bounds), d.value(r.flat);
        d.value(r.vertex_count), d.value(r.level_count);
        d.bytes(b.positions.data() + r.base_vertex, r.vertex_count * sizeof(vec3f));
        if (!b.texcoords.empty()) d.bytes(b.texcoords.data() + r.base_vertex, r.vertex_count * sizeof(vec2f));
        for (int k = 0; k < r.level_count; k++) {
          d.value(r.levels[k].count), d.value(r.levels[k].error);
          d.bytes(b.indices.data() + r.levels[k].first, r.levels[k].count * sizeof(uint16_t));
        }
        runs[d.h]++;
      }
    for (auto& g : list->instanced)
      for (auto& r : g.runs) {
        auto d = list_digest{};
        d.value(g.look), d.array(g.mesh.positions), d.array(g.mesh.texcoords), d.array(g.mesh.indices);
        d.value(g.level_count);
        for (int k = 0; k < g.level_count; k++) d.level(g.levels[k]);
        d.value(r.bounds), d.value(r.count);
        d.bytes(g.frames.data() + r.first, r.count * sizeof(frame3f));
        runs[d.h]++;
      }
  }
  return runs;
}

// The blocks of `block` x `block` tiles that a list's runs lie in (x and z
// of the block, with the tile grid's x major), with the bounds of what they
// hold.
std::map<int, bbox3f> blocks_of(const draw_list& list, int block = 1) {
  auto blocks = std::map<int, bbox3f>{};
  for (auto& b : list.batches)
    for (auto& r : b.ranges) {
      auto key = (r.tile / list.tile_grid / block) * 1000 + (r.tile % list.tile_grid) / block;
      auto& box = blocks.emplace(key, bbox3f{}).first->second;
      expand(box, r.bounds.min), expand(box, r.bounds.max);
    }
  // An instanced run lies in the tile of its centre (its shapes are alike).
  auto cell = [&](float v, float low, float high) {
    return std::clamp((int)((v - low) / (high - low) * (float)list.tile_grid), 0, list.tile_grid - 1);
  };
  for (auto& g : list.instanced)
    for (auto& r : g.runs) {
      auto c = (r.bounds.min + r.bounds.max) * 0.5f;
      auto key = cell(c.x, list.focus.min.x, list.focus.max.x) / block * 1000 +
                 cell(c.z, list.focus.min.z, list.focus.max.z) / block;
      auto& box = blocks.emplace(key, bbox3f{}).first->second;
      expand(box, r.bounds.min), expand(box, r.bounds.max);
    }
  return blocks;
}

std::vector<draw_part> parts_of(loaded_scene& city, const draw_options& options, const vec3f& eye,
                                const std::vector<double>& shares, int block = 1) {
  auto parts = std::vector<draw_part>{};
  auto staging = draw_staging{};
  staging.first_eye = [&](const draw_list&) { return eye; };
  staging.shares = shares;
  staging.block_tiles = block;
  staging.take = [&](draw_part& part) { parts.push_back(std::move(part)); };
  EXPECT_TRUE(make_draw_list_parts(city, options, staging));
  return parts;
}
}  // namespace

// The small city's list, digested, is the one the viewer has always made
// of it (the value changes only with a change meant to change what is
// drawn), on one thread or several, with the shapes freed as they go or
// kept.
TEST(DrawList, SmallCityGivesTheSameListOnAnyNumberOfThreads) {
  const auto expected = 0x2e61699a79f847cfull;
  for (auto threads : {1, 2, 4})
    for (auto release : {false, true}) {
      auto city = small_city();
      auto options = draw_options{};
      options.threads = threads;
      options.release_shapes = release;
      auto list = make_draw_list(city, options);
      EXPECT_EQ(list.tile_grid, 3);
      EXPECT_EQ(list.instanced.size(), 1u);
      EXPECT_EQ(list.warnings.size(), 1u);
      EXPECT_EQ(digest_of(list), expected) << threads << " threads, release " << release;
    }
}

// A batch takes its place in the list from its first mesh that has
// something to draw: an instance of only degenerate triangles opens none,
// on any number of threads.
TEST(DrawList, BatchesComeInTheOrderOfTheirFirstMesh) {
  for (auto threads : {1, 4}) {
    auto view = loaded_scene{};
    auto degenerate = add_walls(view, "a", 0, 0, 1, 1);
    degenerate->material->color = {0.1f, 0.2f, 0.3f};
    degenerate->shape->quads = {};
    degenerate->shape->triangles = {{0, 0, 1}, {2, 3, 3}};
    add_walls(view, "b", 2, 0, 1, 1)->material->color = {0.9f, 0.2f, 0.3f};
    add_walls(view, "c", 4, 0, 1, 1)->material->color = {0.1f, 0.2f, 0.3f};
    auto options = draw_options{};
    options.threads = threads;
    auto list = make_draw_list(view, options);
    ASSERT_EQ(list.batches.size(), 2u) << threads;
    EXPECT_EQ(list.looks[(size_t)list.batches[0].look].color, (vec3f{0.9f, 0.2f, 0.3f})) << threads;
    EXPECT_EQ(list.looks[(size_t)list.batches[1].look].color, (vec3f{0.1f, 0.2f, 0.3f})) << threads;
    EXPECT_EQ(list.instance_count, 2u);
    EXPECT_EQ(list.triangles, 16u);
  }
}

TEST(DrawList, MaterialsOfOneLookShareABatch) {
  auto view = loaded_scene{};
  // Fifty buildings, each with a material of its own, in two colours.
  for (int i = 0; i < 50; i++)
    add_square(view, "roof" + std::to_string(i), (float)i, 0, 0.5f, 0.2f,
               i % 2 ? vec3f{0.5f, 0.1f, 0.1f} : vec3f{0.8f, 0.8f, 0.7f});
  auto list = make_draw_list(view);
  EXPECT_EQ(list.looks.size(), 2u);
  EXPECT_EQ(list.batches.size(), 2u);
  EXPECT_EQ(draw_calls(list), 3u);  // two batches and the backdrop
  EXPECT_EQ(list.instance_count, 50u);
  EXPECT_EQ(list.triangles, 100u);
}

TEST(DrawList, SharedShapesAreDrawnInstanced) {
  auto view = loaded_scene{};
  auto tree = add_shape(view.scene, "tree");
  tree->positions = {{0, 0, 0}, {0.1f, 0, 0}, {0, 1, 0}};
  tree->triangles = {{0, 1, 2}};
  auto green = add_material(view.scene, "green");
  green->color = {0.1f, 0.5f, 0.1f};
  for (int i = 0; i < 100; i++) {
    auto instance = add_instance(view.scene, "tree" + std::to_string(i));
    instance->shape = tree;
    // Every tree a material of its own, all of one colour.
    instance->material = add_material(view.scene, "tree" + std::to_string(i));
    instance->material->color = green->color;
    instance->frame.o = {(float)i, 0, 0};
  }
  auto list = make_draw_list(view);
  ASSERT_EQ(list.instanced.size(), 1u);
  EXPECT_TRUE(list.batches.empty());
  EXPECT_EQ(list.instanced[0].frames.size(), 100u);
  EXPECT_EQ(list.instanced[0].mesh.indices.size(), 3u);
  EXPECT_EQ(list.triangles, 100u);
  EXPECT_EQ(list.bounds.max.x, 99.1f);
  // Below the threshold the same shape is baked into world space.
  auto baked = make_draw_list(view, true, {}, 1000);
  EXPECT_TRUE(baked.instanced.empty());
  ASSERT_EQ(baked.batches.size(), 1u);
  EXPECT_EQ(baked.batches[0].positions.size(), 300u);
  EXPECT_EQ(baked.batches[0].positions[299], (vec3f{99, 1, 0}));
}

// The city's flat layers lie within a millimetre of each other: each gets
// the rank that puts it a step above the lower meshes it overlaps, as the
// exports lift them; meshes that overlap nothing higher up share a rank,
// and layers far apart (a roof) need none.
TEST(DrawList, FlatLayersGetRanksByHeight) {
  auto view = loaded_scene{};
  add_square(view, "ground", 0, 0, 120, 0, {0.7f, 0.7f, 0.7f});
  add_square(view, "park", 0, 0, 20, 0.0001f, {0.3f, 0.5f, 0.3f});
  add_square(view, "water", 5, 0, 4, 0.00015f, {0.7f, 0.9f, 1});
  add_square(view, "path", 0, 5, 4, 0.0004f, {0.45f, 0.4f, 0.3f});
  add_square(view, "road", 0, -5, 4, 0.0005f, {0.3f, 0.3f, 0.3f});
  add_square(view, "road2", 9, -5, 4, 0.0005f, {0.3f, 0.3f, 0.3f});
  add_square(view, "roof", 20, 20, 4, 0.3f, {0.5f, 0.1f, 0.1f});
  add_walls(view, "walls", 20, 20, 4, 0.3f);
  auto list = make_draw_list(view);
  auto rank = std::map<std::string, int>{};
  for (auto& batch : list.batches) {
    auto& color = list.looks[(size_t)batch.look].color;
    for (auto& instance : view.scene.instances)
      if (instance->material->color == color) rank[instance->name] = batch.layer;
  }
  EXPECT_EQ(rank["ground"], 0);
  EXPECT_EQ(rank["park"], 1);
  EXPECT_EQ(rank["water"], 2);
  EXPECT_EQ(rank["path"], 2);  // on the park, beside the water
  EXPECT_EQ(rank["road"], 2);
  EXPECT_EQ(rank["road2"], 2);
  EXPECT_EQ(rank["roof"], 0);
  EXPECT_EQ(rank["walls"], 0);  // upright meshes are never moved
  // The two roads share their batch.
  EXPECT_EQ(list.batches.size(), 7u);
  // The ground square reaches far past the rest: framing leaves it out.
  EXPECT_EQ(list.bounds.min.x, -60);
  EXPECT_EQ(list.focus.min.x, -10);
  EXPECT_EQ(list.focus.max.x, 22);
}

// A big scene is cut into tiles: every index of a batch lies in exactly one
// run, and each run's bounds hold the triangles it draws.
TEST(DrawList, RunsCoverEveryTriangleOnceWithTheirBounds) {
  auto view = loaded_scene{};
  for (int i = 0; i < 200; i++)
    for (int j = 0; j < 120; j++) add_walls(view, "b", (float)i, (float)j, 0.5f, 0.2f);
  auto list = make_draw_list(view);
  ASSERT_EQ(list.batches.size(), 1u);
  auto& batch = list.batches[0];
  EXPECT_GT(batch.ranges.size(), 4u);
  auto next = size_t{0};
  auto next_vertex = uint32_t{0};
  for (auto& range : batch.ranges) {
    auto& full = range.levels[0];
    EXPECT_EQ(full.first, next);
    EXPECT_EQ(range.base_vertex, next_vertex);
    EXPECT_LE(range.vertex_count, 0x10000u);
    next += full.count;
    next_vertex += range.vertex_count;
    for (auto k = full.first; k < full.first + full.count; k++) {
      ASSERT_LT(batch.indices[k], range.vertex_count);
      auto& p = batch.positions[range.base_vertex + batch.indices[k]];
      ASSERT_TRUE(inside(range.bounds, bbox3f{p, p}));
    }
  }
  EXPECT_EQ(next_vertex, batch.positions.size());
  // The coarser levels' indices follow all full ones.
  auto coarse = size_t{0};
  for (auto& range : batch.ranges)
    for (int k = 1; k < range.level_count; k++) coarse += range.levels[k].count;
  EXPECT_EQ(next + coarse, batch.indices.size());
}

// A run is flat (casts no shadow from the ground's stack of layers) only
// when every mesh in it lies flat: one upright wall makes its run upright.
TEST(DrawList, RunsAreFlatOnlyWhenAllTheirMeshesAre) {
  struct Case {
    const char* name;
    bool        square, walls;
    bool        flat;
  };
  const Case cases[] = {
      {"a square alone", true, false, true},
      {"walls alone", false, true, false},
      {"a square and walls of one look", true, true, false},
  };
  for (auto& c : cases) {
    auto view = loaded_scene{};
    // Walls and square of one colour, so that they share a batch and a run.
    if (c.square) add_square(view, "square", 0, 0, 4, 0, {0.8f, 0.7f, 0.6f});
    if (c.walls) add_walls(view, "walls", 0, 0, 2, 1);
    auto list = make_draw_list(view);
    ASSERT_EQ(list.batches.size(), 1u) << c.name;
    ASSERT_EQ(list.batches[0].ranges.size(), 1u) << c.name;
    EXPECT_EQ(list.batches[0].ranges[0].flat, c.flat) << c.name;
  }
}

// Façade images go on walls without texture coordinates once over the
// height and along the length at the image's aspect; shapes without an
// image carry no coordinates.
TEST(DrawList, TexturedWallsGetFacadeCoordinates) {
  auto view = loaded_scene{};
  auto texture = add_texture(view.scene, "facade");
  texture->ldr = image4b{2, 1, std::vector<vec4b>(2, vec4b{200, 200, 200, 255})};
  auto walls = add_walls(view, "walls", 0, 0, 4, 1);  // 4 long, 1 high
  walls->material->color_tex = texture;
  add_walls(view, "plain", 10, 0, 4, 1);
  auto list = make_draw_list(view);
  ASSERT_EQ(list.batches.size(), 2u);
  ASSERT_EQ(list.textures.size(), 1u);
  for (auto& batch : list.batches) {
    auto textured = list.looks[(size_t)batch.look].texture >= 0;
    ASSERT_EQ(batch.texcoords.size(), textured ? batch.positions.size() : 0u);
    if (!textured) continue;
    ASSERT_EQ(batch.positions.size(), 16u);  // four corners of each wall of its own
    for (size_t k = 0; k < batch.positions.size(); k++) {
      auto& p = batch.positions[k];
      EXPECT_FLOAT_EQ(batch.texcoords[k].y, p.y == 1 ? 0.0f : 1.0f);  // the top row at the top
    }
    // Each wall is 4 long; the image, 2 wide for 1 high, spans 2 of them.
    for (size_t k = 0; k < 16; k += 4)
      EXPECT_NEAR(batch.texcoords[k + 1].x - batch.texcoords[k].x, 2, 1e-4f);
  }
}

TEST(DrawList, SunFromTheSkyImageOrTheScene) {
  for (auto angle : {0.3f, pi / 4, 1.2f}) {
    auto sky = make_sunsky(512, 256, angle, 3, false, 1, 1, {0.2f, 0.2f, 0.2f});
    auto texture = scene_texture{};
    texture.hdr = sky;
    auto environment = scene_environment{};
    environment.emission_tex = &texture;
    auto direction = vec3f{};
    ASSERT_TRUE(environment_sun_direction(environment, direction));
    // The sun stands in the y-z plane, angle from the zenith.
    EXPECT_GT(dot(direction, {0, std::cos(angle), std::sin(angle)}), std::cos(3 * pi / 180)) << angle;
    // The environment's frame turns the sky.
    auto turned = frame3f{{0, 0, -1}, {0, 1, 0}, {1, 0, 0}, {0, 0, 0}};
    environment.frame = turned;
    ASSERT_TRUE(environment_sun_direction(environment, direction));
    EXPECT_GT(dot(direction, {std::sin(angle), std::cos(angle), 0}), std::cos(3 * pi / 180)) << angle;
  }
  auto view = loaded_scene{};
  add_square(view, "ground", 0, 0, 10, 0, {0.7f, 0.7f, 0.7f});
  add_sky(view.scene, pi / 4);
  auto list = make_draw_list(view);
  ASSERT_TRUE(list.has_sun);
  ASSERT_TRUE(list.sky);
  EXPECT_GT(list.sky_exposure, 0);
  // A stated sun wins over the sky; without the sky neither is used.
  view.has_sun = true;
  view.sun_direction = {1, 1, 0};
  list = make_draw_list(view);
  EXPECT_TRUE(near_equal(list.sun_direction, normalize(vec3f{1, 1, 0})));
  list = make_draw_list(view, false);
  EXPECT_FALSE(list.has_sun);
  EXPECT_FALSE(list.sky);
}

TEST(DrawList, BrokenShapesAreLeftOutWithAWarning) {
  auto view = loaded_scene{};
  auto bad = add_square(view, "bad", 0, 0, 1, 0, {1, 0, 0});
  bad->shape->quads = {{0, 1, 2, 9}};
  add_square(view, "good", 3, 0, 1, 0, {0, 1, 0});
  auto empty = add_instance(view.scene, "empty");  // no shape at all
  (void)empty;
  auto list = make_draw_list(view);
  EXPECT_EQ(list.instance_count, 1u);
  EXPECT_EQ(list.warnings.size(), 1u);
}

// ---------------------------------------------------------------- camera

TEST(ViewCamera, FramingShowsTheWholeBoxAndTheDepthRangeHoldsIt) {
  auto box = bbox3f{{-25, 0, -25}, {25, 2, 25}};
  for (auto aspect : {0.5f, 1.0f, 16 / 9.0f}) {
    auto camera = framing_camera(box, 0.7f, aspect);
    auto eye = camera_frame(camera);
    auto near_plane = 0.0f, far_plane = 0.0f;
    fit_depth_range(box, eye, camera.yfov, aspect, near_plane, far_plane);
    auto clip = projection_matrix(camera.yfov, aspect, near_plane, far_plane) * view_matrix(eye);
    double low[2] = {1, 1}, high[2] = {-1, -1};
    for (int k = 0; k < 8; k++) {
      auto p = box_corner(box, k);
      double c[4];
      for (int r = 0; r < 4; r++)
        c[r] = clip.at(r, 0) * p.x + clip.at(r, 1) * p.y + clip.at(r, 2) * p.z + clip.at(r, 3);
      for (int r = 0; r < 3; r++) EXPECT_LE(std::abs(c[r] / c[3]), 1.0) << aspect << " corner " << k;
      for (int r = 0; r < 2; r++)
        low[r] = std::min(low[r], c[r] / c[3]), high[r] = std::max(high[r], c[r] / c[3]);
    }
    // The box fills the view along one side and sits in its middle.
    EXPECT_GT(std::max(high[0] - low[0], high[1] - low[1]), 1.8) << aspect;
    for (int r = 0; r < 2; r++) EXPECT_NEAR(low[r] + high[r], 0, 0.02) << aspect << " axis " << r;
    EXPECT_NEAR(camera.target.y, 1, 1e-4f);  // the orbit stays at the box's middle height
    EXPECT_GT(near_plane, far_plane / 100);  // seen from outside: a tight range
  }
}

TEST(ViewCamera, DepthRangeFromInsideTheBox) {
  auto box = bbox3f{{-60, 0, -60}, {60, 5, 60}};
  auto eye = frame3f{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 1, 0}};  // inside, looking along -z
  auto near_plane = 0.0f, far_plane = 0.0f;
  fit_depth_range(box, eye, 0.7f, 1.5f, near_plane, far_plane);
  EXPECT_GE(far_plane, 60);
  EXPECT_FLOAT_EQ(near_plane, far_plane / 5000);
  // Above the box, the near plane reaches down to its top.
  eye.o = {0, 25, 0};
  eye.z = {0, 1, 0}, eye.y = {0, 0, -1};  // looking straight down
  fit_depth_range(box, eye, 0.7f, 1.5f, near_plane, far_plane);
  EXPECT_NEAR(near_plane, 20 * 0.99f, 1e-3f);
  EXPECT_NEAR(far_plane, 25 * 1.01f, 1e-3f);
}

TEST(ViewCamera, SceneCameraOrbitPanAndZoom) {
  auto box = bbox3f{{-10, 0, -10}, {10, 1, 10}};
  auto frame = frame3f{{1, 0, 0}, {0, 0.8f, -0.6f}, {0, 0.6f, 0.8f}, {0, 12, 16}};
  auto camera = camera_from_frame(frame, 0.6f, box);
  auto eye = camera_frame(camera);
  EXPECT_EQ(eye.o, frame.o);  // the scene camera as it is
  EXPECT_NEAR(camera.distance, 20 - 0.6f * 0.5f, 1e-3f);
  // Orbiting keeps the distance to the target; the eye stays upright.
  orbit(camera, 0.5f, 0.2f);
  eye = camera_frame(camera);
  EXPECT_NEAR(length(eye.o - camera.target), camera.distance, 1e-3f);
  EXPECT_NEAR(eye.x.y, 0, 1e-6f);
  // Pitch stops short of the pole.
  orbit(camera, 0, 10);
  EXPECT_LT(camera_frame(camera).z.y, 1);
  // Panning moves eye and target alike; zooming in shortens the distance.
  auto target = camera.target;
  pan(camera, 0.5f, 0);
  EXPECT_NEAR(length(camera.target - target), camera.distance * std::tan(0.3f), 1e-3f);
  auto distance = camera.distance;
  zoom(camera, 2);
  EXPECT_NEAR(camera.distance, distance * 0.85f * 0.85f, 1e-3f);
}

TEST(ViewCamera, DefaultSunComesFromTheUpperLeft) {
  auto eye = camera_frame(framing_camera({{-1, -1, -1}, {1, 1, 1}}, 0.7f, 1.5f));
  auto sun = default_sun(eye);
  EXPECT_GT(sun.y, 0.5f);             // high
  EXPECT_LT(dot(sun, eye.x), 0);      // from the left
  EXPECT_GT(dot(sun, eye.z), 0);      // on the viewer's side
  EXPECT_NEAR(length(sun), 1, 1e-5f);
}

// ---------------------------------------------------------------- culling and detail

namespace {

// A small deterministic generator for the random cameras.
struct lcg {
  uint64_t state = 12345;
  float next(float low, float high) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return low + (high - low) * (float)((state >> 40) & 0xffffff) / 16777216.0f;
  }
};

// Whether any point of the box lies in the view: the box's corners, the
// view's corners and a grid of points inside the box, brute force. A box
// that reaches into the view has one such point on a fine enough grid.
bool box_visible(const mat4d& clip, const bbox3f& box) {
  auto inside = [&](const vec3f& p) {
    double c[4];
    for (int r = 0; r < 4; r++)
      c[r] = clip.at(r, 0) * p.x + clip.at(r, 1) * p.y + clip.at(r, 2) * p.z + clip.at(r, 3);
    return c[3] > 0 && std::abs(c[0]) <= c[3] && std::abs(c[1]) <= c[3] && std::abs(c[2]) <= c[3];
  };
  constexpr int n = 12;
  for (int i = 0; i <= n; i++)
    for (int j = 0; j <= n; j++)
      for (int k = 0; k <= n; k++) {
        auto p = vec3f{box.min.x + (box.max.x - box.min.x) * i / n,
                       box.min.y + (box.max.y - box.min.y) * j / n,
                       box.min.z + (box.max.z - box.min.z) * k / n};
        if (inside(p)) return true;
      }
  return false;
}

}  // namespace

// Random cameras over a grid of tiles: every tile with a point in the view
// is kept, and most tiles well outside it are left out.
TEST(ViewCulling, NoTileInViewIsDropped) {
  auto generator = lcg{};
  auto tiles = std::vector<bbox3f>{};
  for (int i = 0; i < 16; i++)
    for (int j = 0; j < 16; j++)
      tiles.push_back({{i * 10.0f - 80, 0, j * 10.0f - 80}, {i * 10.0f - 71, generator.next(1, 30), j * 10.0f - 71}});
  auto scene = bbox3f{{-80, 0, -80}, {80, 30, 80}};
  auto kept_outside = 0, outside = 0, seen = 0;
  for (int c = 0; c < 60; c++) {
    auto camera = view_camera{};
    camera.target = {generator.next(-80, 80), generator.next(0, 10), generator.next(-80, 80)};
    camera.distance = generator.next(2, 150);
    camera.yaw = generator.next(-pi, pi);
    camera.pitch = generator.next(-0.3f, 1.5f);
    camera.yfov = generator.next(0.3f, 1.2f);
    auto aspect = generator.next(0.5f, 2.5f);
    auto eye = camera_frame(camera);
    auto near_plane = 0.0f, far_plane = 0.0f;
    fit_depth_range(scene, eye, camera.yfov, aspect, near_plane, far_plane);
    auto clip = projection_matrix(camera.yfov, aspect, near_plane, far_plane) * view_matrix(eye);
    auto frustum = frustum_of(clip);
    for (auto& tile : tiles) {
      auto visible = box_visible(clip, tile), kept = box_in_frustum(frustum, tile);
      if (visible) {
        seen++;
        EXPECT_TRUE(kept) << "camera " << c;
      } else {
        outside++;
        kept_outside += kept ? 1 : 0;
      }
    }
  }
  EXPECT_GT(seen, 500);
  EXPECT_LT(kept_outside, outside / 3);  // culling does cull
}

// Far tiles get coarser levels of fewer triangles; each level uses the
// run's own vertices, so its bounds stay inside the tile's and, for a tile
// of many buildings, span nearly all of it.
TEST(ViewDetail, CoarserLevelsKeepTheirTilesBounds) {
  auto view = loaded_scene{};
  for (int i = 0; i < 60; i++)
    for (int j = 0; j < 60; j++) add_walls(view, "b", (float)i, (float)j, 0.5f, 0.2f + 0.01f * (float)((i * 7 + j) % 13));
  auto list = make_draw_list(view);
  ASSERT_EQ(list.batches.size(), 1u);
  auto& batch = list.batches[0];
  auto coarse_runs = 0;
  for (auto& range : batch.ranges) {
    auto extent = range.bounds.max - range.bounds.min;
    for (int k = 1; k < range.level_count; k++) {
      auto& level = range.levels[k];
      auto& finer = range.levels[k - 1];
      EXPECT_LT(level.count, finer.count);
      EXPECT_GE(level.error, finer.error);
      auto box = bbox3f{};
      for (auto i = level.first; i < level.first + level.count; i++) {
        ASSERT_LT(batch.indices[i], range.vertex_count);
        auto& p = batch.positions[range.base_vertex + batch.indices[i]];
        ASSERT_TRUE(inside(range.bounds, bbox3f{p, p}));
        box.min = {std::min(box.min.x, p.x), std::min(box.min.y, p.y), std::min(box.min.z, p.z)};
        box.max = {std::max(box.max.x, p.x), std::max(box.max.y, p.y), std::max(box.max.z, p.z)};
      }
      if (level.count == 0 || level.error > 0.1f * length(extent)) continue;
      EXPECT_GT(box.max.x - box.min.x, 0.8f * extent.x) << k;
      EXPECT_GT(box.max.z - box.min.z, 0.8f * extent.z) << k;
    }
    coarse_runs += range.level_count > 1 ? 1 : 0;
  }
  EXPECT_GT(coarse_runs, 0);
  // Near the eye the full mesh, far away the coarsest level.
  auto& range = batch.ranges.front();
  ASSERT_GT(range.level_count, 1);
  auto center = (range.bounds.min + range.bounds.max) * 0.5f;
  EXPECT_EQ(detail_level(range.bounds, range.levels, range.level_count, center, 1000), 0);
  EXPECT_EQ(detail_level(range.bounds, range.levels, range.level_count, center + vec3f{0, 1e6f, 0}, 1000),
            range.level_count - 1);
  // No detail given away: the full mesh at any distance (lossless levels aside).
  for (int k = 1; k < range.level_count; k++) {
    if (range.levels[k].error > 0) {
      EXPECT_LT(detail_level(range.bounds, range.levels, range.level_count, center + vec3f{0, 1e6f, 0}, 1000, 0), k);
    }
  }
}

// The sun's map covers what the eye sees and holds the casters: every
// corner of the scene lies in its depth range, and a point in view maps
// inside it.
TEST(ViewShadows, ShadowMapFitsTheView) {
  auto box = bbox3f{{-50, 0, -50}, {50, 20, 50}};
  auto camera = framing_camera(box, 0.7f, 1.5f);
  auto eye = camera_frame(camera);
  auto near_plane = 0.0f, far_plane = 0.0f;
  fit_depth_range(box, eye, camera.yfov, 1.5f, near_plane, far_plane);
  auto sun = normalize(vec3f{0.3f, 1, 0.4f});
  auto light = fit_shadow_view(box, {}, eye, camera.yfov, 1.5f, near_plane, far_plane,
                               4 * camera.distance, sun, 2048);
  ASSERT_TRUE(light.valid);
  EXPECT_GT(light.texel, 0);
  auto map = [&](const vec3f& p) {
    return vec3f{(float)(light.clip.at(0, 0) * p.x + light.clip.at(0, 1) * p.y + light.clip.at(0, 2) * p.z + light.clip.at(0, 3)),
                 (float)(light.clip.at(1, 0) * p.x + light.clip.at(1, 1) * p.y + light.clip.at(1, 2) * p.z + light.clip.at(1, 3)),
                 (float)(light.clip.at(2, 0) * p.x + light.clip.at(2, 1) * p.y + light.clip.at(2, 2) * p.z + light.clip.at(2, 3))};
  };
  for (int k = 0; k < 8; k++) {
    auto p = map(box_corner(box, k));
    EXPECT_LE(std::abs(p.z), 1.0f) << k;
    EXPECT_LE(std::abs(p.x), 1.0f) << k;  // the whole box is in view
    EXPECT_LE(std::abs(p.y), 1.0f) << k;
  }
  // Nearer the sun, smaller depth.
  EXPECT_LT(map({0, 20, 0}).z, map({0, 0, 0}).z);
  // A sun below the horizon casts no map.
  EXPECT_FALSE(fit_shadow_view(box, {}, eye, camera.yfov, 1.5f, near_plane, far_plane, 100,
                               {0, -1, 0}, 2048).valid);

  // The same city on a flat ground ten times as wide, seen from the same
  // eye: the map holds the city as before, at the texel it had without the
  // ground, and the ground beyond the city's shadows lies outside it.
  auto ground = bbox3f{{-500, 0, -500}, {500, 20, 500}};
  fit_depth_range(ground, eye, camera.yfov, 1.5f, near_plane, far_plane);
  auto wide = fit_shadow_view(ground, {}, eye, camera.yfov, 1.5f, near_plane, far_plane,
                              4 * camera.distance, sun, 2048);
  auto fitted = fit_shadow_view(ground, box, eye, camera.yfov, 1.5f, near_plane, far_plane,
                                4 * camera.distance, sun, 2048);
  ASSERT_TRUE(wide.valid && fitted.valid);
  EXPECT_GT(wide.texel, 2 * light.texel);
  EXPECT_NEAR(fitted.texel, light.texel, 0.05f * light.texel);
  light = fitted;
  for (int k = 0; k < 8; k++) {
    auto p = map(box_corner(box, k));
    EXPECT_LE(std::abs(p.x), 1.0f) << k;
    EXPECT_LE(std::abs(p.y), 1.0f) << k;
    EXPECT_LE(std::abs(p.z), 1.0f) << k;
  }
  auto beyond = map({-200, 0, -200});
  EXPECT_GT(std::max(std::abs(beyond.x), std::abs(beyond.y)), 1.0f);
}

// A city block of buildings on a ground with a sky, as a binary glTF file:
// the list made on the worker thread is the one made in the calling thread,
// and so is the one made when no thread can be had (loaded before the call
// returns).
TEST(ViewLoading, WorkerThreadGivesTheSameDrawList) {
  auto dir = scratch_dir("view-loading");
  auto view = loaded_scene{};
  add_square(view, "ground", 0, 0, 400, 0, {0.4f, 0.5f, 0.3f});
  for (int i = 0; i < 12; i++)
    for (int j = 0; j < 12; j++)
      add_walls(view, "b" + std::to_string(i * 12 + j), -180 + 30.0f * i, -180 + 30.0f * j, 12,
                5.0f + (float)((i * 7 + j * 3) % 11));
  add_sky(view.scene, pi / 4);
  auto error = std::string{};
  auto file = dir / "city.glb";
  ASSERT_TRUE(save_gltf_scene(file, view.scene, error)) << error;

  auto direct = scene_load{};
  ASSERT_TRUE(load_draw_list(file, draw_options{}, direct)) << direct.error;
  for (auto refused : {false, true}) {
    SCOPED_TRACE(refused ? "no thread to be had" : "on the worker thread");
    auto work = background_load{};
    {
      auto refusal = std::optional<thread_refusal>{};
      if (refused) refusal.emplace();
      start_background_load(work, file, draw_options{});
      if (refusal) {
        EXPECT_GT(refusal->refused(), 0);
        EXPECT_FALSE(work.worker.joinable());
      }
    }
    if (work.worker.joinable()) work.worker.join();
    ASSERT_TRUE(work.finished && work.ok) << work.load.error;
    EXPECT_EQ(work.share(), 1.0f);
    auto& a = direct.list;
    auto& b = work.load.list;
    EXPECT_GT(a.instance_count, 100u);
    EXPECT_EQ(a.instance_count, b.instance_count);
    EXPECT_EQ(a.triangles, b.triangles);
    ASSERT_EQ(a.batches.size(), b.batches.size());
    for (size_t k = 0; k < a.batches.size(); k++) {
      EXPECT_EQ(a.batches[k].positions, b.batches[k].positions);
      EXPECT_EQ(a.batches[k].texcoords, b.batches[k].texcoords);
      EXPECT_EQ(a.batches[k].indices, b.batches[k].indices);
      ASSERT_EQ(a.batches[k].ranges.size(), b.batches[k].ranges.size());
      for (size_t r = 0; r < a.batches[k].ranges.size(); r++) {
        EXPECT_EQ(a.batches[k].ranges[r].bounds.min, b.batches[k].ranges[r].bounds.min);
        EXPECT_EQ(a.batches[k].ranges[r].bounds.max, b.batches[k].ranges[r].bounds.max);
        EXPECT_EQ(a.batches[k].ranges[r].level_count, b.batches[k].ranges[r].level_count);
      }
    }
    EXPECT_EQ(a.has_sun, b.has_sun);
    EXPECT_EQ(a.sun_direction, b.sun_direction);
    EXPECT_TRUE(b.has_sun);  // the file's light
  }

  // A file that cannot be read is the worker's error, one line naming it.
  auto broken = background_load{};
  start_background_load(broken, dir / "none.glb", draw_options{});
  broken.worker.join();
  EXPECT_TRUE(broken.finished);
  EXPECT_FALSE(broken.ok);
  EXPECT_EQ(broken.load.error, dir / "none.glb: file not found");
}

// The list in parts, the tiles nearest an eye first: one part is the whole
// list itself; cut into two or three, the parts hold the whole list's runs
// each once, each part the tiles nearer the eye than those of the parts
// after it, every part with the whole scene's looks, bounds and light.
TEST(DrawList, StagedListHoldsTheWholeListNearestTilesFirst) {
  auto whole_city = small_city();
  const auto whole = make_draw_list(whole_city, draw_options{});
  const auto whole_runs = runs_of({&whole});
  struct part_case {
    vec3f               eye;
    std::vector<double> shares;
    int                 block;
    size_t              parts;
  } cases[] = {
      {{-150, 40, -150}, {}, 1, 1},         {{0, 300, 0}, {}, 1, 1},
      {{-150, 40, -150}, {0.1}, 1, 2},      {{160, 10, 0}, {0.2}, 1, 2},
      {{0, 300, 0}, {0.05, 0.5}, 1, 3},     {{-150, 40, 150}, {0.3, 0.6}, 1, 3},
      {{-150, 40, -150}, {0.0}, 1, 1},      {{-150, 40, -150}, {1.0}, 1, 1},
      // Blocks of 2 x 2 of the 3 x 3 tiles: a corner of four, two sides of
      // two and the corner tile; blocks of 4 x 4 hold all nine.
      {{-150, 40, -150}, {0.1, 0.5}, 2, 3}, {{150, 40, 150}, {0.1, 0.5}, 2, 3},
      {{-150, 40, -150}, {0.1}, 4, 1},
  };
  for (auto threads : {1, 2})
    for (auto& c : cases) {
      auto city = small_city();
      auto options = draw_options{};
      options.threads = threads;
      options.release_shapes = threads == 2;
      auto parts = parts_of(city, options, c.eye, c.shares, c.block);
      auto at = "eye " + std::to_string(c.eye.x) + " " + std::to_string(c.eye.z) + ", " +
                std::to_string(c.shares.size()) + " shares, blocks of " + std::to_string(c.block) +
                ", " + std::to_string(threads) + " threads";
      ASSERT_EQ(parts.size(), c.parts) << at;
      if (c.parts == 1) {
        EXPECT_EQ(digest_of(parts[0].list), digest_of(whole)) << at;
      }
      auto lists = std::vector<const draw_list*>{};
      auto triangles = size_t{0}, instances = size_t{0}, warnings = size_t{0};
      auto tiles = 0;
      for (size_t p = 0; p < parts.size(); p++) {
        auto& part = parts[p];
        lists.push_back(&part.list);
        triangles += part.list.triangles, instances += part.list.instance_count;
        warnings += part.list.warnings.size();
        tiles += part.tiles;
        EXPECT_EQ(part.last, p + 1 == parts.size()) << at;
        EXPECT_GT(part.tiles, 0) << at;
        EXPECT_EQ(part.scene_tiles, 9) << at;
        if (p > 0) {
          EXPECT_GT(part.share, parts[p - 1].share) << at;
        }
        if (p < c.shares.size()) {
          EXPECT_GE(part.share, c.shares[p]) << at;
        }
        EXPECT_EQ(part.list.looks.size(), whole.looks.size()) << at;
        EXPECT_EQ(part.list.textures.size(), whole.textures.size()) << at;
        EXPECT_EQ(part.list.bounds.min, whole.bounds.min) << at;
        EXPECT_EQ(part.list.bounds.max, whole.bounds.max) << at;
        EXPECT_EQ(part.list.focus.min, whole.focus.min) << at;
        EXPECT_EQ(part.list.focus.max, whole.focus.max) << at;
        EXPECT_EQ(part.list.tile_grid, whole.tile_grid) << at;
        EXPECT_EQ(part.list.has_sun, whole.has_sun) << at;
        EXPECT_EQ(part.list.has_camera, whole.has_camera) << at;
        // Whole blocks, nearer the eye than every block of a later part.
        for (auto& [block, box] : blocks_of(part.list, c.block))
          for (size_t q = p + 1; q < parts.size(); q++)
            for (auto& [later, later_box] : blocks_of(parts[q].list, c.block)) {
              EXPECT_NE(block, later) << at;
              EXPECT_LE(box_distance(box, c.eye), box_distance(later_box, c.eye)) << at;
            }
      }
      EXPECT_EQ(parts.back().share, 1.0) << at;
      EXPECT_EQ(tiles, 9) << at;
      // The far picture, drawn part by part, comes whole with the last; the
      // first part has one of its own tiles alone.
      for (size_t p = 1; p + 1 < parts.size(); p++) EXPECT_TRUE(parts[p].list.far.albedo.empty()) << at;
      EXPECT_TRUE(parts.back().list.far.albedo == whole.far.albedo) << at;
      EXPECT_TRUE(parts.back().list.far.facing == whole.far.facing) << at;
      if (parts.size() > 1) {
        auto& first = parts[0].list;
        ASSERT_EQ(first.far.tiles.size(), whole.far.tiles.size()) << at;
        auto own = 0, others = 0;
        for (size_t t = 0; t < first.far.tiles.size(); t++) {
          auto has = first.far.tiles[t].min.x <= first.far.tiles[t].max.x;
          auto in_first = false;
          for (auto& batch : first.batches)
            for (auto& range : batch.ranges) in_first = in_first || range.tile == (int)t;
          for (auto& group : first.instanced)
            for (auto& run : group.runs) {
              auto c = (run.bounds.min + run.bounds.max) * 0.5f;
              auto cell = tile_cell(first, (int)t);
              in_first = in_first || (cell.min.x <= c.x && c.x <= cell.max.x && cell.min.z <= c.z && c.z <= cell.max.z);
            }
          own += has && in_first ? 1 : 0;
          others += has && !in_first ? 1 : 0;
        }
        EXPECT_GT(own, 0) << at;
        EXPECT_EQ(others, 0) << at << ": a tile of a later part in the first part's picture";
      }
      EXPECT_EQ(runs_of(lists), whole_runs) << at;
      EXPECT_EQ(triangles, whole.triangles) << at;
      EXPECT_EQ(instances, whole.instance_count) << at;
      EXPECT_EQ(warnings, whole.warnings.size()) << at;
      // A batch cut into parts starts as low as the whole one.
      for (auto& batch : whole.batches) {
        auto lowest = std::numeric_limits<float>::max();
        for (auto& part : parts)
          for (auto& b : part.list.batches)
            if (b.look == batch.look && b.layer == batch.layer) lowest = std::min(lowest, b.height);
        EXPECT_EQ(lowest, batch.height) << at;
      }
    }
}

// The first part holds the tile under the eye, and is small: far less
// than the whole city for a tenth of it.
TEST(DrawList, FirstStageIsTheTileUnderTheEye) {
  auto city = small_city();
  auto whole = make_draw_list(city, draw_options{});
  auto eye = vec3f{150, 2, 150};
  auto corner = small_city();
  auto parts = parts_of(corner, draw_options{}, eye, {0.1});
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].tiles, 1);
  auto tiles = blocks_of(parts[0].list);
  ASSERT_EQ(tiles.size(), 1u);
  EXPECT_EQ(box_distance(tiles.begin()->second, eye), 0.0f);
  EXPECT_LT(parts[0].list.triangles * 4, whole.triangles);
  EXPECT_GT(parts[0].list.triangles, 0u);
}

// A scene with nothing to draw is one empty part, complete on its own.
TEST(DrawList, EmptySceneIsOneEmptyStage) {
  auto empty = loaded_scene{};
  add_instance(empty.scene, "nothing");
  auto parts = parts_of(empty, draw_options{}, {0, 0, 0}, {0.1, 0.5});
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_TRUE(parts[0].last);
  EXPECT_EQ(parts[0].tiles, 0);
  EXPECT_TRUE(parts[0].list.batches.empty());
  EXPECT_TRUE(parts[0].list.instanced.empty());
  EXPECT_EQ(parts[0].list.instance_count, 0u);
}

// Stopped after the first part, no other part is made or handed over, and
// the call says so; a stop asked before any fill hands over nothing.
TEST(DrawList, StoppedStagingEndsEarly) {
  for (auto stop_after : {0, 1}) {
    auto city = small_city();
    auto taken = 0;
    auto staging = draw_staging{};
    staging.shares = {0.2, 0.5};
    staging.block_tiles = 1;
    staging.take = [&](draw_part&) { taken++; };
    staging.stopped = [&] { return taken >= stop_after; };
    EXPECT_FALSE(make_draw_list_parts(city, draw_options{}, staging));
    EXPECT_EQ(taken, stop_after);
  }
}

// On the worker in parts, the parts hold the list made in the calling
// thread, run for run; asked to stop, the worker makes none and says so.
TEST(ViewLoading, StagedWorkerGivesTheWholeListNearestFirst) {
  auto dir = scratch_dir("view-loading-parts");
  auto view = loaded_scene{};
  add_square(view, "ground", 0, 0, 400, 0, {0.4f, 0.5f, 0.3f});
  // Buildings of twelve storeys, each a loop of walls: enough triangles
  // for a grid of tiles.
  for (int i = 0; i < 40; i++)
    for (int j = 0; j < 40; j++) {
      auto& s = *add_walls(view, "b" + std::to_string(i * 40 + j), -190 + 9.5f * i, -190 + 9.5f * j, 4, 3)->shape;
      auto floor = s.positions;
      for (int k = 1; k < 12; k++) {
        auto base = (int)s.positions.size();
        for (auto p : floor) s.positions.push_back({p.x, p.y + 3.0f * (float)k, p.z});
        for (int q = 0; q < 4; q++) s.quads.push_back({base + 4 * q, base + 4 * q + 1, base + 4 * q + 2, base + 4 * q + 3});
      }
    }
  auto error = std::string{};
  auto file = dir / "city.glb";
  ASSERT_TRUE(save_gltf_scene(file, view.scene, error)) << error;
  auto direct = scene_load{};
  ASSERT_TRUE(load_draw_list(file, draw_options{}, direct)) << direct.error;
  ASSERT_GT(direct.list.tile_grid, 2);

  auto work = background_load{};
  work.in_parts = true;
  work.staging.shares = {0.1, 0.4};
  work.staging.block_tiles = 1;
  auto header_bounds = bbox3f{};
  work.staging.first_eye = [&](const draw_list& header) {
    header_bounds = header.bounds;
    return vec3f{-190, 10, -190};
  };
  start_background_load(work, file, draw_options{});
  work.worker.join();
  ASSERT_TRUE(work.finished && work.ok) << work.load.error;
  EXPECT_EQ(header_bounds.min, direct.list.bounds.min);
  EXPECT_EQ(header_bounds.max, direct.list.bounds.max);
  auto parts = std::vector<draw_part>(1);
  while (work.take_part(parts.back())) parts.emplace_back();
  parts.pop_back();
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_TRUE(parts.back().last);
  auto lists = std::vector<const draw_list*>{};
  for (auto& part : parts) lists.push_back(&part.list);
  EXPECT_EQ(runs_of(lists), runs_of({&direct.list}));
  EXPECT_TRUE(work.load.list.batches.empty());
  // The corner tile comes first.
  auto first = blocks_of(parts[0].list);
  EXPECT_TRUE(first.count(0)) << first.size();

  auto stopped = background_load{};
  stopped.in_parts = true;
  stopped.stop = true;
  start_background_load(stopped, file, draw_options{});
  stopped.worker.join();
  EXPECT_TRUE(stopped.finished);
  EXPECT_FALSE(stopped.ok);
  auto part = draw_part{};
  EXPECT_FALSE(stopped.take_part(part));
}

// Runs small on screen take their coarsest level whatever their errors,
// never so with the full detail asked for.
TEST(ViewDetail, SmallRunsOnScreenTakeTheirCoarsestLevel) {
  auto box = bbox3f{{0, 0, 0}, {100, 20, 100}};
  draw_level levels[3] = {{0, 300, 0}, {300, 30, 0.1f}, {330, 3, 1e6f}};
  auto ppu = 720 / (2 * std::tan(0.35f));
  // by_error: the level where the far picture stands for small tiles.
  struct {
    float distance, pixels;
    int   level, by_error;
    bool  small;
  } cases[] = {{10, 2, 0, 0, false}, {1000, 2, 1, 1, false}, {1e5f, 2, 2, 1, true}, {1e5f, 0, 0, 0, false}};
  for (auto& c : cases) {
    auto eye = vec3f{50, 10, 100 + c.distance};
    EXPECT_EQ(small_on_screen(box, eye, ppu, c.pixels), c.small) << c.distance;
    EXPECT_EQ(detail_level(box, levels, 3, eye, ppu, c.pixels), c.level) << c.distance;
    EXPECT_EQ(detail_level(box, levels, 3, eye, ppu, c.pixels, false), c.by_error) << c.distance;
  }
}

// The coarser levels are made on several threads at once and put into the
// list in a fixed order: one thread and four give the same list, baked
// runs and instanced shapes alike, with levels that are really coarser.
TEST(ViewDetail, LevelsAreTheSameOnAnyNumberOfThreads) {
  auto view = loaded_scene{};
  for (int i = 0; i < 60; i++)
    for (int j = 0; j < 60; j++)
      add_walls(view, "b", (float)i, (float)j, 0.5f, 0.2f + 0.01f * (float)((i * 7 + j) % 13));
  // One tree-like shape of many triangles, shared by enough instances to
  // be drawn instanced.
  auto tree = add_walls(view, "tree", 0, 0, 0.3f, 1.0f);
  for (int k = 0; k < 40; k++) {
    auto& s = *tree->shape;
    auto base = (int)s.positions.size();
    auto a = 0.15f * (float)k;
    s.positions.insert(s.positions.end(), {{std::cos(a), 1.0f + a, std::sin(a)},
                                           {std::cos(a + 0.1f), 1.0f + a, std::sin(a + 0.1f)},
                                           {0, 1.2f + a, 0}});
    s.triangles.push_back({base, base + 1, base + 2});
  }
  for (int k = 1; k < 12; k++) {
    auto copy = add_complete_instance(view.scene, "tree" + std::to_string(k));
    copy->shape = tree->shape;
    copy->material = tree->material;
    copy->frame.o = {70.0f + (float)k, 0, 5};
  }
  auto lists = std::vector<draw_list>{};
  for (auto threads : {1, 4}) {
    auto options = draw_options{};
    options.threads = threads;
    lists.push_back(make_draw_list(view, options));
  }
  auto& a = lists[0];
  auto& b = lists[1];
  ASSERT_EQ(a.batches.size(), b.batches.size());
  auto coarse = 0;
  for (size_t k = 0; k < a.batches.size(); k++) {
    EXPECT_EQ(a.batches[k].indices, b.batches[k].indices);
    ASSERT_EQ(a.batches[k].ranges.size(), b.batches[k].ranges.size());
    for (size_t r = 0; r < a.batches[k].ranges.size(); r++) {
      auto& x = a.batches[k].ranges[r];
      auto& y = b.batches[k].ranges[r];
      ASSERT_EQ(x.level_count, y.level_count);
      for (int l = 0; l < x.level_count; l++) {
        EXPECT_EQ(x.levels[l].first, y.levels[l].first);
        EXPECT_EQ(x.levels[l].count, y.levels[l].count);
        EXPECT_EQ(x.levels[l].error, y.levels[l].error);
        if (l > 0) {
          EXPECT_LT(x.levels[l].count, x.levels[0].count);
        }
      }
      coarse += x.level_count > 1 ? 1 : 0;
    }
  }
  EXPECT_GT(coarse, 0);
  ASSERT_EQ(a.instanced.size(), 1u);
  ASSERT_EQ(b.instanced.size(), 1u);
  EXPECT_EQ(a.instanced[0].mesh.indices, b.instanced[0].mesh.indices);
  ASSERT_EQ(a.instanced[0].level_count, b.instanced[0].level_count);
  EXPECT_GT(a.instanced[0].level_count, 1);
  for (int l = 0; l < a.instanced[0].level_count; l++) {
    EXPECT_EQ(a.instanced[0].levels[l].first, b.instanced[0].levels[l].first);
    EXPECT_EQ(a.instanced[0].levels[l].count, b.instanced[0].levels[l].count);
  }
}

namespace {

// The far picture's texel over a point of the plan.
struct far_texel {
  vec4b albedo, facing;
};
far_texel far_at(const draw_list& list, float x, float z) {
  auto& far = list.far;
  auto i = (int)((x - list.focus.min.x) / (list.focus.max.x - list.focus.min.x) * (float)far.width);
  auto j = (int)((z - list.focus.min.z) / (list.focus.max.z - list.focus.min.z) * (float)far.height);
  i = std::clamp(i, 0, far.width - 1), j = std::clamp(j, 0, far.height - 1);
  auto k = (size_t)j * (size_t)far.width + (size_t)i;
  return {far.albedo[k], far.facing[k]};
}

bool same_color(const vec4b& a, const vec3f& linear) {
  auto b = linear_to_srgb(vec4f{linear.x, linear.y, linear.z, 1});
  return std::abs(a.x - b.x) <= 2 && std::abs(a.y - b.y) <= 2 && std::abs(a.z - b.z) <= 2 && a.w == 255;
}

}  // namespace

// The city from above: each texel shows the highest surface over it, of
// stacked flat layers the higher one, walls nothing; the ground between
// tall buildings takes some of their walls' colour. Tiles hold their cell
// and the heights of what covers them.
TEST(FarImage, ShowsTheHighestSurfaceFromAbove) {
  auto view = loaded_scene{};
  const auto ground = vec3f{0.5f, 0.5f, 0.5f}, road = vec3f{0.1f, 0.1f, 0.12f};
  const auto roof = vec3f{0.6f, 0.1f, 0.1f}, leaves = vec3f{0.1f, 0.5f, 0.1f};
  add_square(view, "ground", 100, 100, 200, 0, ground);
  add_square(view, "road", 150, 100, 20, 0.001f, road);
  // A tall block with a roof, and a hollow one: walls alone.
  add_walls(view, "tower", 50, 50, 20, 40);
  add_square(view, "tower_roof", 50, 50, 20, 40, roof);
  add_walls(view, "hollow", 50, 150, 30, 10);
  // Trees: one shape drawn instanced.
  auto tree = add_shape(view.scene, "tree");
  tree->positions = {{-2, 3, -2}, {2, 3, -2}, {2, 3, 2}, {-2, 3, 2}};
  tree->quads = {{0, 1, 2, 3}};
  auto material = add_material(view.scene, "leaves");
  material->color = leaves;
  for (int k = 0; k < 10; k++) {
    auto instance = add_instance(view.scene, "tree" + std::to_string(k));
    instance->shape = tree, instance->material = material;
    instance->frame.o = {120 + 6.0f * (float)k, 0, 170};
  }
  auto list = make_draw_list(view);
  ASSERT_EQ(list.instanced.size(), 1u);
  auto& far = list.far;
  ASSERT_EQ(far.width, list.tile_grid * far_tile_texels);
  ASSERT_EQ(far.albedo.size(), (size_t)far.width * (size_t)far.height);

  struct {
    const char* what;
    float       x, z;
    vec3f       color;
  } probes[] = {
      {"roof", 50, 50, roof},          {"road", 150, 100, road},
      {"open ground", 150, 40, ground}, {"inside walls alone", 50, 150, ground},
      {"tree", 132, 170, leaves},
  };
  for (auto& p : probes) {
    auto texel = far_at(list, p.x, p.z);
    EXPECT_TRUE(same_color(texel.albedo, p.color))
        << p.what << ": " << (int)texel.albedo.x << " " << (int)texel.albedo.y << " " << (int)texel.albedo.z;
    EXPECT_GT(texel.facing.y, 250) << p.what << " faces the sky";
  }
  // Beside the tower the ground is hidden from afar: it is darker than the
  // open ground, and tinted by the walls.
  auto beside = far_at(list, 50, 62);
  auto open = far_at(list, 150, 40);
  EXPECT_LT(beside.albedo.x + beside.albedo.y + beside.albedo.z, open.albedo.x + open.albedo.y + open.albedo.z);
  EXPECT_GT(beside.albedo.x, beside.albedo.z) << "the walls are warmer than the ground";

  ASSERT_EQ(far.tiles.size(), (size_t)list.tile_grid * (size_t)list.tile_grid);
  auto highest = 0.0f;
  for (int t = 0; t < (int)far.tiles.size(); t++) {
    auto& box = far.tiles[(size_t)t];
    auto cell = tile_cell(list, t);
    EXPECT_EQ(box.min.x, cell.min.x);
    EXPECT_EQ(box.max.z, cell.max.z);
    EXPECT_GE(box.min.y, 0.0f);
    EXPECT_LE(box.max.y, 40.001f);
    highest = std::max(highest, box.max.y);
  }
  EXPECT_NEAR(highest, 40.0f, 0.01f) << "the tower's tile reaches its roof";
}

// The picture is the same on any number of threads and in any order of
// its meshes (a list made in parts is drawn part by part), and a list
// without a plan to draw gets none.
TEST(FarImage, SameOnAnyNumberOfThreadsAndNoneForAnEmptyScene) {
  auto view = small_city();
  auto options = draw_options{};
  options.threads = 1;
  auto one = make_draw_list(view, options);
  options.threads = 3;
  auto three = make_draw_list(view, options);
  ASSERT_GT(one.tile_grid, 1);
  EXPECT_TRUE(one.far.albedo == three.far.albedo);
  EXPECT_TRUE(one.far.facing == three.far.facing);
  auto empty = loaded_scene{};
  EXPECT_EQ(make_draw_list(empty).far.width, 0);

  // One sloping roof in two colours, one over the other: the same one
  // shows whichever is drawn first.
  auto level = loaded_scene{};
  auto red = add_square(level, "a", 0, 0, 10, 1, {0.8f, 0.1f, 0.1f});
  for (auto& p : red->shape->positions) p.y += 0.3f * p.x;
  auto blue = add_complete_instance(level.scene, "b");
  blue->shape = red->shape;
  blue->material->color = {0.1f, 0.1f, 0.8f};
  auto both = make_draw_list(level);
  ASSERT_EQ(both.batches.size(), 2u);
  auto reversed = both;
  std::swap(reversed.batches[0], reversed.batches[1]);
  auto again = start_far_image(both);
  draw_far_image(again, reversed);
  EXPECT_TRUE(finish_far_image(again).albedo == both.far.albedo);
}

// The job runner: every job runs once whatever the number of threads; a
// job that fails stops the rest and the call throws once all threads are
// done, so nothing is left running on the caller's data.
TEST(ViewJobs, EveryJobOnceAndAFailureStopsTheRest) {
  for (int threads : {1, 2, 5}) {
    auto runs = std::vector<std::atomic<int>>(200);
    run_jobs(runs.size(), threads, [&](size_t k, bool) { runs[k]++; });
    for (auto& r : runs) EXPECT_EQ(r.load(), 1) << threads << " threads";

    auto done = std::atomic<int>{0};
    EXPECT_THROW(run_jobs(1000, threads,
                          [&](size_t k, bool) {
                            if (k == 3) throw std::bad_alloc();
                            // Long enough that the failure is seen well
                            // before the other threads could run them all.
                            std::this_thread::sleep_for(std::chrono::milliseconds(1));
                            done++;
                          }),
                 std::bad_alloc);
    auto after = done.load();
    EXPECT_LT(after, 1000) << threads << " threads: the jobs after the failure were left";
    EXPECT_EQ(done.load(), after) << "no job runs once the call has returned";
  }
}

// Coordinates far past the picture, infinite or not numbers (a damaged
// file's) draw nothing there and leave the rest as it is.
TEST(FarImage, WildCoordinatesDrawNothing) {
  auto list = draw_list{};
  list.focus = {{0, 0, 0}, {100, 10, 100}};
  list.tile_grid = 1;
  list.looks = {draw_look{}};
  auto inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  auto batch = draw_batch{};
  batch.positions = {{10, 1, 10}, {20, 1, 10}, {10, 1, 20},      // a good one
                     {-1e30f, 1, 0}, {1e30f, 1, 5}, {0, 1, 1e30f},  // huge
                     {-inf, 1, 0}, {inf, 1, 50}, {50, 1, inf},      // infinite
                     {nan, 1, 0}, {5, nan, 5}, {6, 1, nan}};         // not numbers
  for (uint16_t k = 0; k < 12; k++) batch.indices.push_back(k);
  auto range = draw_range{};
  range.vertex_count = 12;
  range.bounds = list.focus;
  range.levels[0] = {0, 12, 0};
  batch.ranges = {range};
  list.batches = {batch};
  make_far_image(list);
  ASSERT_EQ(list.far.width, far_tile_texels);
  auto covered = 0;
  for (auto& p : list.far.albedo) covered += p.w == 255 ? 1 : 0;
  EXPECT_GT(covered, 0) << "the good triangle";
  EXPECT_LT(covered, far_tile_texels * far_tile_texels / 10);
  EXPECT_TRUE(std::isfinite(list.far.tiles[0].min.y) && std::isfinite(list.far.tiles[0].max.y));
}
