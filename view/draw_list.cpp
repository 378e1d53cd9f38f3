#include "view/draw_list.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <meshoptimizer.h>

#include "scene/flat_layers.h"
#include "scene/gltf_scene.h"

#include "scene/shape.h"
#include "scene/matrix.h"

namespace {

// Meshes whose heights spread less than this share of the scene's size lie
// flat; their layer ranks (rank_flat_layers) decide which one shows.
constexpr float flat_tolerance  = 1e-7f;
constexpr int   max_layer_rank  = 15;
// Tiles of the plan hold about this many triangles on average.
constexpr double tile_triangles = 20000;
constexpr int    max_grid       = 64;
// Runs smaller on screen than this many times the pixels a level may stray
// are drawn at their coarsest level.
constexpr float  small_run_pixels = 48;



bool is_empty(const bbox3f& box) { return !(box.min.x <= box.max.x); }

bool has_faces(const scene_shape& shape) {
  return !shape.positions.empty() &&
         (!shape.triangles.empty() || !shape.quads.empty() || !shape.quadspos.empty());
}

// The triangles a shape's faces make (before any are found degenerate).
size_t shape_triangles(const scene_shape& shape) {
  return shape.triangles.size() + 2 * shape.quads.size() + 2 * shape.quadspos.size();
}

float luminance(const vec3f& c) { return 0.2126f * c.x + 0.7152f * c.y + 0.0722f * c.z; }

vec3f brightest_one(const vec3f& c) {
  auto m = std::max({c.x, c.y, c.z});
  return m > 0 && std::isfinite(m) ? c * (1 / m) : vec3f{1, 1, 1};
}

// Looks are keyed by what they show, not by material record: a city gives
// every building a material of its own, in a handful of distinct looks.
struct look_key {
  vec3f                color, emission;
  const scene_texture* texture;
  bool operator<(const look_key& o) const {
    auto a = std::make_tuple(color.x, color.y, color.z, emission.x, emission.y, emission.z, texture);
    auto b = std::make_tuple(o.color.x, o.color.y, o.color.z, o.emission.x, o.emission.y,
                             o.emission.z, o.texture);
    return a < b;
  }
};

bool usable_texture(const scene_texture* texture) {
  if (!texture) return false;
  if (!texture->hdr.pixels.empty())
    return texture->hdr.width > 0 && texture->hdr.height > 0 &&
           texture->hdr.pixels.size() == (size_t)texture->hdr.width * texture->hdr.height;
  return texture->ldr.width > 0 && texture->ldr.height > 0 &&
         texture->ldr.pixels.size() == (size_t)texture->ldr.width * texture->ldr.height;
}

float texture_aspect(const scene_texture& texture) {
  auto& w = texture.hdr.pixels.empty() ? texture.ldr.width : texture.hdr.width;
  auto& h = texture.hdr.pixels.empty() ? texture.ldr.height : texture.hdr.height;
  return h > 0 ? (float)w / (float)h : 1;
}

// A shape's triangles with the texture coordinates the look needs: its own,
// or for an image on a shape without any, the façade coordinates.
draw_mesh shape_mesh(const scene_shape& shape, const scene_texture* texture) {
  auto mesh = draw_mesh{};
  auto triangles = std::vector<vec3i>{};
  if (texture && shape.texcoords.empty()) {
    auto textured = make_facade_texcoords(shape, texture_aspect(*texture));
    mesh.positions = std::move(textured.positions);
    mesh.texcoords = std::move(textured.texcoords);
    triangles = std::move(textured.triangles);
  } else if (!shape.quadspos.empty()) {
    auto quads = std::vector<vec4i>{};
    auto normals = std::vector<vec3f>{};
    auto texcoords = std::vector<vec2f>{};
    if (!make_indexed_quads(shape.quadspos, {}, texture ? shape.quadstexcoord : std::vector<vec4i>{},
                            shape.positions, {}, texture ? shape.texcoords : std::vector<vec2f>{},
                            quads, mesh.positions, normals, texcoords))
      return {};
    if (texture) mesh.texcoords = std::move(texcoords);
    triangles = quads_to_triangles({}, quads);
  } else {
    mesh.positions = shape.positions;
    if (texture && shape.texcoords.size() == shape.positions.size()) mesh.texcoords = shape.texcoords;
    triangles = quads_to_triangles(shape.triangles, shape.quads);
  }
  mesh.indices.reserve(triangles.size() * 3);
  for (auto& t : triangles) {
    if (t.x == t.y || t.y == t.z || t.z == t.x) continue;  // nothing to draw
    mesh.indices.insert(mesh.indices.end(), {(uint32_t)t.x, (uint32_t)t.y, (uint32_t)t.z});
  }
  if (!mesh.texcoords.empty() && mesh.texcoords.size() != mesh.positions.size()) mesh.texcoords.clear();
  return mesh;
}

struct instance_info {
  const scene_instance* instance = nullptr;
  int                   look     = 0;
  uint32_t              shape    = 0;  // into build_state::uses
  bool                  flat     = false;
  int                   rank     = 0;  // layer rank of a flat mesh, capped
  float                 height   = 0;
  float                 spread   = -1;  // height range of a baked mesh
  bbox3f                box      = {};
  int                   tile     = 0;
};

// The looks of a list and the textures they use, found by what they show.
struct look_table {
  std::map<look_key, int>                         looks;
  std::unordered_map<const scene_texture*, int>   textures;

  int look_of(draw_list& list, const scene_material* material) {
    auto key = look_key{{0.7f, 0.7f, 0.7f}, {0, 0, 0}, nullptr};
    if (material) {
      key.color = material->color;
      key.emission = material->emission;
      if (usable_texture(material->color_tex)) key.texture = material->color_tex;
    }
    auto found = looks.find(key);
    if (found != looks.end()) return found->second;
    auto look = draw_look{key.color, key.emission, -1};
    if (key.texture) {
      auto t = textures.find(key.texture);
      if (t == textures.end()) {
        t = textures.emplace(key.texture, (int)list.textures.size()).first;
        list.textures.push_back(key.texture);
      }
      look.texture = t->second;
    }
    list.looks.push_back(look);
    return looks[key] = (int)list.looks.size() - 1;
  }
};

// Shapes are known by a number of their own while the list is made (in
// the order of their first instance): counts and bounds per shape are
// arrays, not maps keyed by address, which a city of a million instances
// pays for in hashing and cache misses.
struct build_state {
  draw_list&                 list;
  const draw_options&        options;
  const progress_callback&   progress;
  look_table                 looks   = {};
  std::vector<uint32_t>      shape_of = {};  // by scene instance; UINT32_MAX: not drawn
  std::vector<int>           uses    = {};  // instances per shape
  std::vector<int>           left    = {};  // instances not yet in the list
  std::vector<bbox3f>        shape_boxes = {};  // each shape's own bounds
  std::vector<instance_info> infos   = {};
  int                        total   = 1;  // progress steps
};

bool is_instanced(const build_state& state, const instance_info& info) {
  return state.uses[info.shape] >= state.options.instancing_threshold;
}

// Numbers the shapes with faces that the instances use: a sort of the
// addresses, so that no per-instance lookup is needed.
void number_shapes(build_state& state, const scene_data& scene) {
  auto order = std::vector<std::pair<const scene_shape*, uint32_t>>{};
  order.reserve(scene.instances.size());
  for (size_t i = 0; i < scene.instances.size(); i++) {
    auto shape = scene.instances[i]->shape;
    if (shape && has_faces(*shape)) order.emplace_back(shape, (uint32_t)i);
  }
  // By address, then by instance: each shape's first instance leads.
  std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return std::less<const scene_shape*>{}(a.first, b.first);
    return a.second < b.second;
  });
  state.shape_of.assign(scene.instances.size(), UINT32_MAX);
  auto firsts = std::vector<uint32_t>{};  // the first instance of each run of one shape
  for (size_t k = 0; k < order.size(); k++) {
    if (k == 0 || order[k].first != order[k - 1].first) firsts.push_back(order[k].second);
    state.shape_of[order[k].second] = (uint32_t)firsts.size() - 1;
  }
  // Renumbered in the order of first instances, so that the numbers do
  // not depend on where the allocator put the shapes.
  auto by_first = std::vector<uint32_t>(firsts.size());
  for (uint32_t s = 0; s < (uint32_t)firsts.size(); s++) by_first[s] = s;
  std::sort(by_first.begin(), by_first.end(),
            [&](uint32_t a, uint32_t b) { return firsts[a] < firsts[b]; });
  auto renumbered = std::vector<uint32_t>(firsts.size());
  for (uint32_t s = 0; s < (uint32_t)by_first.size(); s++) renumbered[by_first[s]] = s;
  state.uses.assign(firsts.size(), 0);
  for (auto& id : state.shape_of)
    if (id != UINT32_MAX) id = renumbered[id], state.uses[id]++;
}

// First pass: which shapes are shared, where every mesh lies, which ones
// lie flat and at what height, and the bounds of everything.
void collect_instances(build_state& state, const scene_data& scene) {
  auto& list = state.list;
  number_shapes(state, scene);
  state.left = state.uses;
  // Per shape: 0 not checked, 1 valid, 2 indices out of range.
  auto checked = std::vector<unsigned char>(state.uses.size(), 0);
  state.shape_boxes.assign(state.uses.size(), bbox3f{});
  state.infos.reserve(scene.instances.size());
  auto invalid = false;
  for (size_t i = 0; i < scene.instances.size(); i++) {
    auto id = state.shape_of[i];
    if (id == UINT32_MAX) continue;
    auto& instance = *scene.instances[i];
    auto& shape = *instance.shape;
    if (!checked[id]) checked[id] = has_valid_indices(shape) ? 1 : 2;
    if (checked[id] == 2) {
      invalid = true;
      continue;
    }
    auto info = instance_info{&instance, state.looks.look_of(list, instance.material), id};
    auto& box = info.box;
    auto& local = state.shape_boxes[id];
    if (is_instanced(state, info)) {
      if (is_empty(local))
        for (auto& p : shape.positions) expand(local, p);
      for (int k = 0; k < 8; k++) expand(box, transform_point(instance.frame, box_corner(local, k)));
    } else {
      auto low = std::numeric_limits<float>::max(), high = -low;
      auto fresh = is_empty(local);
      for (auto& p : shape.positions) {
        if (fresh) expand(local, p);
        auto w = transform_point(instance.frame, p);
        expand(box, w);
        low = std::min(low, w.y), high = std::max(high, w.y);
      }
      info.height = low;
      info.spread = high - low;
    }
    expand(list.bounds, box.min);
    expand(list.bounds, box.max);
    state.infos.push_back(info);
    if (state.progress && i % 4096 == 0) state.progress("prepare scene", (int)i, state.total);
  }
  if (invalid) list.warnings.push_back("warning: shapes with indices out of range are not shown");
}

// Layer ranks of the flat meshes, as the exports lift them (capped): the
// viewer pulls each one towards the eye by its rank. Only the flat ones
// keep theirs (a mesh the viewer holds upright is drawn unpulled).
// The ranking's boxes come from the shapes' own bounds found already.
void rank_flat_meshes(build_state& state) {
  auto& infos = state.infos;
  auto instances = std::vector<const scene_instance*>{};
  instances.reserve(infos.size());
  auto boxes = std::vector<bbox3f>{};
  boxes.reserve(infos.size());
  for (auto& info : infos) {
    instances.push_back(info.instance);
    boxes.push_back(placed_box(state.shape_boxes[info.shape], info.instance->frame));
  }
  state.shape_boxes = {};
  auto ranked = rank_flat_layers(instances, std::move(boxes), state.options.threads);
  for (size_t k = 0; k < infos.size(); k++)
    infos[k].rank = infos[k].flat && ranked.ranks[k] > 0 ? std::min(ranked.ranks[k], max_layer_rank) : 0;
}

// Marks the flat meshes, and finds the focus: the bounds without flat
// meshes that cover more than half the plan.
void mark_flat_meshes(build_state& state, float size) {
  auto& list = state.list;
  for (auto& info : state.infos) {
    info.flat = info.spread >= 0 && info.spread <= size * flat_tolerance;
  }
  auto plan_area = [](const bbox3f& b) { return (b.max.x - b.min.x) * (b.max.z - b.min.z); };
  for (auto& info : state.infos) {
    if (info.flat && plan_area(info.box) > 0.5f * plan_area(list.bounds)) continue;
    expand(list.focus, info.box.min);
    expand(list.focus, info.box.max);
  }
  if (is_empty(list.focus)) list.focus = list.bounds;
}

// Tiles of the plan, so that a view draws only the part of a big city it
// sees, and draws far tiles coarser. The instances are sorted by tile.
void assign_tiles(build_state& state) {
  auto& focus = state.list.focus;
  auto total_triangles = size_t{0};
  for (auto& info : state.infos) total_triangles += shape_triangles(*info.instance->shape);
  auto grid = std::clamp((int)std::ceil(std::sqrt((double)total_triangles / tile_triangles)), 1, max_grid);
  state.list.tile_grid = grid;
  auto cell = [&](float v, float low, float high) {
    auto t = high > low ? (v - low) / (high - low) : 0.0f;
    return std::clamp((int)(t * (float)grid), 0, grid - 1);
  };
  for (auto& info : state.infos) {
    auto center = (info.box.min + info.box.max) * 0.5f;
    info.tile = cell(center.x, focus.min.x, focus.max.x) * grid + cell(center.z, focus.min.z, focus.max.z);
  }
  // By tile, each tile's instances in the order they came: counted, then
  // placed (a grid has at most a few thousand tiles).
  auto starts = std::vector<size_t>((size_t)grid * (size_t)grid + 1, 0);
  for (auto& info : state.infos) starts[(size_t)info.tile + 1]++;
  for (size_t t = 1; t < starts.size(); t++) starts[t] += starts[t - 1];
  auto sorted = std::vector<instance_info>(state.infos.size());
  for (auto& info : state.infos) sorted[starts[(size_t)info.tile]++] = info;
  state.infos = std::move(sorted);
}

// Appends one instance's mesh to its batch, in the batch's last run when
// that run is of the same tile and has room for the vertices.
void append_mesh(draw_batch& batch, int& last_tile, const instance_info& info, draw_mesh& mesh,
                 bool textured) {
  if (mesh.positions.size() > 0xffff) {
    // Too many vertices for one run: each triangle's corners of their own.
    auto split = draw_mesh{};
    for (auto index : mesh.indices) {
      split.positions.push_back(mesh.positions[index]);
      if (!mesh.texcoords.empty()) split.texcoords.push_back(mesh.texcoords[index]);
    }
    for (size_t k = 0; k < mesh.indices.size(); k += 3 * 21845) {
      auto part = draw_mesh{};
      auto end = std::min(mesh.indices.size(), k + 3 * 21845);
      part.positions.assign(split.positions.begin() + (long)k, split.positions.begin() + (long)end);
      if (!split.texcoords.empty())
        part.texcoords.assign(split.texcoords.begin() + (long)k, split.texcoords.begin() + (long)end);
      for (auto i = k; i < end; i++) part.indices.push_back((uint32_t)(i - k));
      append_mesh(batch, last_tile, info, part, textured);
    }
    return;
  }
  if (batch.ranges.empty() || last_tile != info.tile ||
      batch.ranges.back().vertex_count + mesh.positions.size() > 0xffff) {
    auto range = draw_range{};
    range.base_vertex = (uint32_t)batch.positions.size();
    range.levels[0].first = batch.indices.size();
    range.flat = true;
    batch.ranges.push_back(range);
    last_tile = info.tile;
    batch.ranges.back().tile = info.tile;
  }
  auto& range = batch.ranges.back();
  range.flat = range.flat && info.flat;
  auto base = range.vertex_count;
  auto identity = info.instance->frame == frame3f{};
  for (auto& p : mesh.positions) {
    auto w = identity ? p : transform_point(info.instance->frame, p);
    batch.positions.push_back(w);
    expand(range.bounds, w);
  }
  if (textured) {
    if (mesh.texcoords.empty()) mesh.texcoords.assign(mesh.positions.size(), vec2f{});
    batch.texcoords.insert(batch.texcoords.end(), mesh.texcoords.begin(), mesh.texcoords.end());
  }
  for (auto index : mesh.indices) batch.indices.push_back((uint16_t)(base + index));
  range.vertex_count += (uint32_t)mesh.positions.size();
  range.levels[0].count += mesh.indices.size();
}

void release_shape(scene_shape& shape) {
  shape.triangles = {}, shape.quads = {}, shape.quadspos = {}, shape.quadstexcoord = {};
  shape.quadsnorm = {}, shape.positions = {}, shape.normals = {}, shape.texcoords = {};
  shape.colors = {};
}
// Second pass: geometry into batches by look and rank, shared shapes into
// instanced groups by shape and look. Each batch and group is filled on
// its own, from its instances in tile order, on as many threads as asked;
// the batches are then put in the order of their first mesh, the groups in
// that of their first instance, so the list is the same on any number.
// A list made in parts fills each part's tiles apart, from one plan.
struct fill_unit {
  bool     instanced = false;
  int      look = 0, rank = 0;
  uint32_t shape = 0;
  size_t   first = 0, count = 0;  // its instances in fill_plan::members
  // Filled in, part by part:
  draw_batch     batch = {};
  draw_instances group = {};
  size_t         first_mesh = SIZE_MAX;  // the instance of its first mesh
  size_t         triangles = 0, instances = 0;
};

struct fill_plan {
  std::vector<fill_unit> units   = {};
  std::vector<uint32_t>  members = {};  // instances unit by unit, in tile order
  // Instances a shape still has to give: the last one to use it frees it.
  std::vector<std::atomic<int>> left;
  std::atomic<size_t>           done     = 0;  // instances filled, in all parts
  size_t                        reported = 0;
};

// Which batch or group each instance goes to, each one numbered in the
// order of its first instance.
void plan_fill(build_state& state, fill_plan& plan) {
  auto& infos = state.infos;
  auto& units = plan.units;
  auto unit_of = std::vector<uint32_t>(infos.size());
  {
    auto batch_index = std::map<std::pair<int, int>, uint32_t>{};
    auto group_index = std::map<std::pair<uint32_t, int>, uint32_t>{};
    for (size_t i = 0; i < infos.size(); i++) {
      auto& info = infos[i];
      auto instanced = is_instanced(state, info);
      auto& index = instanced ? group_index[{info.shape, info.look}] : batch_index[{info.look, info.rank}];
      if (index == 0) {
        auto u = fill_unit{};
        u.instanced = instanced, u.look = info.look, u.rank = info.rank, u.shape = info.shape;
        units.push_back(std::move(u));
        index = (uint32_t)units.size();
      }
      unit_of[i] = index - 1;
      units[index - 1].count++;
    }
  }
  plan.members.assign(infos.size(), 0);
  {
    auto fill = std::vector<size_t>(units.size());
    for (size_t u = 1; u < units.size(); u++) fill[u] = units[u].first = units[u - 1].first + units[u - 1].count;
    for (size_t i = 0; i < infos.size(); i++) plan.members[fill[unit_of[i]]++] = (uint32_t)i;
  }
  plan.left = std::vector<std::atomic<int>>(state.left.size());
  for (size_t s = 0; s < plan.left.size(); s++) plan.left[s] = state.left[s];
  state.left = {};
}

// Fills the batches and groups of one part into `list`: the instances in
// the tiles that `part_of_tile` gives to `part`, or all of them when it is
// empty. False when `stopped` said so (the list is then incomplete).
bool fill_part(build_state& state, fill_plan& plan, const std::vector<int>& part_of_tile, int part,
               draw_list& list, const std::function<bool()>& stopped = {}) {
  auto& infos = state.infos;
  auto& units = plan.units;
  // Each unit's instances in this part, still in tile order.
  auto part_members = std::vector<uint32_t>{};
  auto spans = std::vector<std::pair<size_t, size_t>>(units.size());
  auto members = plan.members.data();
  if (part_of_tile.empty()) {
    for (size_t u = 0; u < units.size(); u++) spans[u] = {units[u].first, units[u].count};
  } else {
    for (size_t u = 0; u < units.size(); u++) {
      auto start = part_members.size();
      for (auto m = units[u].first; m < units[u].first + units[u].count; m++)
        if (part_of_tile[(size_t)infos[plan.members[m]].tile] == part) part_members.push_back(plan.members[m]);
      spans[u] = {start, part_members.size() - start};
    }
    members = part_members.data();
  }
  for (auto& work : units) {
    work.batch = draw_batch{}, work.group = draw_instances{}, work.first_mesh = SIZE_MAX;
    work.triangles = 0, work.instances = 0;
  }
  auto stop = std::atomic<bool>{false};
  auto fill_one = [&](size_t u, bool caller) {
    auto& work = units[u];
    auto [first, count] = spans[u];
    if (count == 0) return;
    auto& look = list.looks[(size_t)work.look];
    auto texture = look.texture >= 0 ? list.textures[(size_t)look.texture] : nullptr;
    auto last_tile = -1;  // of the last run
    if (work.instanced) {
      work.group = draw_instances{work.look, shape_mesh(*infos[members[first]].instance->shape, texture), {}};
      // A shape with nothing to draw: its instances are left out.
      if (work.group.mesh.indices.empty()) return void(plan.done += count);
    }
    for (auto m = first; m < first + count; m++) {
      auto i = (size_t)members[m];
      auto& info = infos[i];
      auto shape = info.instance->shape;
      if (work.instanced) {
        auto& group = work.group;
        if (group.runs.empty() || last_tile != info.tile) {
          group.runs.push_back({group.frames.size(), 0, {}});
          last_tile = info.tile;
        }
        auto& run = group.runs.back();
        run.count++;
        expand(run.bounds, info.box.min);
        expand(run.bounds, info.box.max);
        group.frames.push_back(info.instance->frame);
        work.triangles += group.mesh.indices.size() / 3;
        work.instances++;
      } else if (auto mesh = shape_mesh(*shape, texture); !mesh.indices.empty()) {
        auto& batch = work.batch;
        if (work.first_mesh == SIZE_MAX) {
          work.first_mesh = i;
          batch.look = work.look, batch.layer = work.rank, batch.height = info.height;
        }
        batch.height = std::min(batch.height, info.height);
        append_mesh(batch, last_tile, info, mesh, texture != nullptr);
        work.triangles += mesh.indices.size() / 3;
        work.instances++;
      }
      if (state.options.release_shapes && --plan.left[info.shape] == 0) release_shape(*shape);
      auto done = ++plan.done;
      if (stopped && (m - first) % 1024 == 1023 && (stop || stopped())) return void(stop = true);
      if (caller && state.progress && done >= plan.reported + 4096) {
        plan.reported = done;
        state.progress("prepare scene", (int)(infos.size() + done), state.total);
      }
    }
  };
  // The largest first, so that no thread is left with a big one at the end.
  auto order = std::vector<size_t>(units.size());
  for (size_t u = 0; u < order.size(); u++) order[u] = u;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return spans[a].second > spans[b].second; });
  run_jobs(order.size(), state.options.threads, [&](size_t k, bool caller) {
    if (stopped && !stop && stopped()) stop = true;
    if (!stop) fill_one(order[k], caller);
  });
  if (stop) return false;

  auto batches = std::vector<fill_unit*>{};
  for (auto& work : units) {
    list.triangles += work.triangles;
    list.instance_count += work.instances;
    if (work.instanced && !work.group.mesh.indices.empty()) list.instanced.push_back(std::move(work.group));
    if (!work.instanced && work.first_mesh != SIZE_MAX) batches.push_back(&work);
  }
  std::sort(batches.begin(), batches.end(),
            [](const fill_unit* a, const fill_unit* b) { return a->first_mesh < b->first_mesh; });
  for (auto work : batches) list.batches.push_back(std::move(work->batch));
  for (auto& work : units) work.batch = draw_batch{}, work.group = draw_instances{};
  return true;
}

// One run's or instanced shape's coarser levels, made apart from the list
// so that both processors can make them at once.
struct simplify_job {
  draw_batch*     batch = nullptr;  // a run of this batch, or
  draw_range*     range = nullptr;
  draw_instances* group = nullptr;  // an instanced shape
  std::vector<uint32_t> out = {};
  draw_level      levels[max_levels - 1] = {};
  int             made = 0;
  size_t          weight = 0;  // indices of the full mesh
};

void run_simplify_job(simplify_job& job) {
  if (job.group) {
    auto& mesh = job.group->mesh;
    job.made = make_coarser_levels(mesh.positions.data(), mesh.positions.size(), mesh.indices.data(),
                                   mesh.indices.size(), job.out, job.levels, max_levels - 1);
    return;
  }
  auto& full = job.range->levels[0];
  auto source = std::vector<uint32_t>(job.batch->indices.begin() + (long)full.first,
                                      job.batch->indices.begin() + (long)(full.first + full.count));
  job.made = make_coarser_levels(job.batch->positions.data() + job.range->base_vertex,
                                 job.range->vertex_count, source.data(), source.size(), job.out,
                                 job.levels, max_levels - 1);
}

// The levels go into the list in the order of the jobs, whichever thread
// made them, so the list is the same on any number of processors.
void add_levels_of_detail(draw_list& list, size_t simplify_from, int thread_count) {
  auto jobs = std::vector<simplify_job>{};
  for (auto& batch : list.batches)
    for (auto& range : batch.ranges)
      if (range.levels[0].count >= 3 * simplify_from) {
        auto job = simplify_job{};
        job.batch = &batch, job.range = &range, job.weight = range.levels[0].count;
        jobs.push_back(std::move(job));
      }
  for (auto& group : list.instanced) {
    group.levels[0] = {0, group.mesh.indices.size(), 0};
    if (group.mesh.indices.size() < 3 * simplify_from) continue;
    auto job = simplify_job{};
    job.group = &group, job.weight = group.mesh.indices.size();
    jobs.push_back(std::move(job));
  }
  run_jobs(jobs.size(), thread_count, [&](size_t k, bool) { run_simplify_job(jobs[k]); });
  for (auto& job : jobs) {
    if (job.group) {
      auto& mesh = job.group->mesh;
      for (int k = 0; k < job.made; k++) {
        job.group->levels[k + 1] = job.levels[k];
        job.group->levels[k + 1].first += mesh.indices.size();
      }
      mesh.indices.insert(mesh.indices.end(), job.out.begin(), job.out.end());
      job.group->level_count = 1 + job.made;
    } else {
      auto& indices = job.batch->indices;
      for (int k = 0; k < job.made; k++) {
        job.range->levels[k + 1] = job.levels[k];
        job.range->levels[k + 1].first += indices.size();
      }
      for (auto index : job.out) indices.push_back((uint16_t)index);
      job.range->level_count = 1 + job.made;
    }
    job.out = {};
  }
  for (auto& batch : list.batches) {
    batch.indices.shrink_to_fit();
    batch.positions.shrink_to_fit();
    batch.texcoords.shrink_to_fit();
  }
}

// The sky's mean brightness above the horizon sets the exposure, its mean
// colours above and below tint the soft light.
void add_sky(draw_list& list, const scene_environment& environment) {
  list.sky = environment.emission_tex;
  list.sky_frame = environment.frame;
  auto& image = list.sky->hdr;
  auto above = vec3f{}, below = vec3f{};
  auto rows = image.height / 2;
  for (int i = 0; i < image.height; i++) {
    auto sum = vec3f{};
    for (int j = 0; j < image.width; j++) {
      auto& p = image.pixels[(size_t)i * image.width + j];
      if (std::isfinite(p.x + p.y + p.z)) sum = sum + vec3f{p.x, p.y, p.z};
    }
    (i < rows ? above : below) = (i < rows ? above : below) + sum;
  }
  auto mean = luminance(above) / std::max(1, rows * image.width);
  list.sky_exposure = mean > 0 && std::isfinite(mean) ? 0.55f / mean : 1;
  if (luminance(above) > 0) {
    auto tint = above * (1 / luminance(above));
    list.sky_ambient = lerp({1, 1, 1}, tint, 0.25f) * 0.26f;
  }
  if (luminance(below) > 0) {
    auto tint = below * (1 / luminance(below));
    list.ground_ambient = lerp({1, 1, 1}, tint, 0.25f) * 0.12f;
  }
  if (!list.has_sun) {
    // The glow around the sun is bluish: sunlight itself stays warm white.
    auto direction = vec3f{};
    if (environment_sun_direction(environment, direction)) {
      list.has_sun = true;
      list.sun_direction = direction;
    }
  }
}

// Lighting: the scene's own sun, else the sky's; the sky as background;
// and the scene's first camera.
void add_lighting_and_camera(draw_list& list, const loaded_scene& view, bool use_sky) {
  auto& scene = view.scene;
  if (use_sky) {
    if (view.has_sun) {
      list.has_sun = true;
      list.sun_direction = normalize(view.sun_direction);
      list.sun_color = brightest_one(view.sun_color);
    }
    for (auto& environment : scene.environments) {
      auto texture = environment->emission_tex;
      if (!texture || texture->hdr.pixels.empty() || !usable_texture(texture)) continue;
      add_sky(list, *environment);
      break;
    }
  }
  if (!scene.cameras.empty()) {
    auto& camera = *scene.cameras.front();
    auto frame = camera.frame;
    if (is_finite(frame.x) && is_finite(frame.y) && is_finite(frame.z) && is_finite(frame.o) &&
        length(cross(frame.x, frame.y)) > 0) {
      list.has_camera = true;
      list.camera = frame;
      list.camera_yfov = camera_yfov(camera);
    }
  }
}

// What every list is made from: the instances with their looks, bounds,
// flat layers and ranks, sorted by tile of the plan.
void prepare_instances(build_state& state, const loaded_scene& view) {
  auto& list = state.list;
  state.total = (int)view.scene.instances.size() * 2 + 1;
  if (state.progress) state.progress("prepare scene", 0, state.total);
  collect_instances(state, view.scene);
  auto size = is_empty(list.bounds) ? 1.0f : length(list.bounds.max - list.bounds.min);
  mark_flat_meshes(state, size);
  rank_flat_meshes(state);
  assign_tiles(state);
}

draw_list build_draw_list(const loaded_scene& view, const draw_options& options,
                          const progress_callback& progress) {
  auto list = draw_list{};
  auto state = build_state{list, options, progress};
  prepare_instances(state, view);
  {
    auto plan = fill_plan{};
    plan_fill(state, plan);
    fill_part(state, plan, {}, 0, list);
  }
  state.infos = {};
  add_levels_of_detail(list, options.simplify_from, options.threads);
  add_lighting_and_camera(list, view, options.use_sky);
  make_far_image(list, options.threads);
  if (progress) progress("prepare scene", state.total, state.total);
  return list;
}

// The part each tile goes to (-1: it holds nothing): the blocks of
// `block` x `block` tiles by their distance from the eye, nearest first,
// each part taking them until the parts so far hold their share of the
// triangles. An empty part (a block that holds more than a share) is
// skipped; `parts` gets one entry per part with its tiles and share. The
// distance is to the bounds of what each block holds.
std::vector<int> plan_parts(const build_state& state, const vec3f& eye, const std::vector<double>& shares,
                            int block, std::vector<draw_part>& parts) {
  auto grid = state.list.tile_grid;
  block = std::max(1, block);
  auto side = (grid + block - 1) / block;
  auto block_of = [&](int tile) { return (size_t)((tile / grid / block) * side + (tile % grid) / block); };
  auto tile_count = (size_t)grid * (size_t)grid, block_count = (size_t)side * (size_t)side;
  auto boxes = std::vector<bbox3f>(block_count);
  auto triangles = std::vector<double>(block_count, 0);
  auto tiles = std::vector<int>(block_count, 0);
  auto used = std::vector<bool>(tile_count, false);
  auto total = 0.0;
  for (auto& info : state.infos) {
    auto b = block_of(info.tile);
    expand(boxes[b], info.box.min);
    expand(boxes[b], info.box.max);
    auto count = (double)shape_triangles(*info.instance->shape);
    triangles[b] += count;
    total += count;
    if (!used[(size_t)info.tile]) used[(size_t)info.tile] = true, tiles[b]++;
  }
  // A block whose bounds stayed empty (points that are not numbers) comes
  // last, far from any eye.
  auto order = std::vector<size_t>{};
  auto scene_tiles = 0;
  for (size_t b = 0; b < block_count; b++)
    if (tiles[b] > 0) order.push_back(b), scene_tiles += tiles[b];
  auto distance = std::vector<float>(block_count, 0);
  for (auto b : order) distance[b] = box_distance(boxes[b], eye);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return distance[a] < distance[b]; });
  auto part_of_block = std::vector<int>(block_count, -1);
  auto held = 0.0;
  auto last_level = -1;
  parts.clear();
  for (auto b : order) {
    // The first share that the blocks before this one do not fill yet.
    auto level = 0;
    while (level < (int)shares.size() && held >= shares[(size_t)level] * total) level++;
    if (level != last_level) {
      parts.emplace_back();
      parts.back().scene_tiles = scene_tiles;
      last_level = level;
    }
    part_of_block[b] = (int)parts.size() - 1;
    parts.back().tiles += tiles[b];
    held += triangles[b];
    parts.back().share = total > 0 ? held / total : 1;
  }
  if (!parts.empty()) parts.back().last = true;
  auto part_of_tile = std::vector<int>(tile_count, -1);
  for (size_t t = 0; t < tile_count; t++)
    if (used[t]) part_of_tile[t] = part_of_block[block_of((int)t)];
  return part_of_tile;
}

bool build_draw_list_parts(const loaded_scene& view, const draw_options& options,
                           const draw_staging& staging, const progress_callback& progress) {
  auto header = draw_list{};
  auto state = build_state{header, options, progress};
  prepare_instances(state, view);
  add_lighting_and_camera(header, view, options.use_sky);
  if (staging.stopped && staging.stopped()) return false;
  auto eye = staging.first_eye ? staging.first_eye(header)
                               : vec3f{bbox_center(header.focus).x, header.focus.max.y + length(bbox_size(header.focus)),
                                       bbox_center(header.focus).z};
  auto parts = std::vector<draw_part>{};
  auto part_of_tile = plan_parts(state, eye, staging.shares, staging.block_tiles, parts);
  // A scene with nothing to draw is one empty part.
  if (parts.empty()) {
    parts.emplace_back();
    parts.back().last = true, parts.back().share = 1;
  }
  auto plan = fill_plan{};
  plan_fill(state, plan);
  // The far picture is drawn part by part and comes whole with the last.
  auto far = start_far_image(header);
  for (size_t p = 0; p < parts.size(); p++) {
    auto& part = parts[p];
    part.list = header;
    if (p > 0) part.list.warnings.clear();
    if (!fill_part(state, plan, part_of_tile, (int)p, part.list, staging.stopped)) return false;
    if (part.last) state.infos = {};
    add_levels_of_detail(part.list, options.simplify_from, options.threads);
    draw_far_image(far, part.list, options.threads);
    if (part.last) {
      part.list.far = finish_far_image(far, options.threads);
    } else if (p == 0) {
      // The first part's far tiles are drawn from a picture of its own, so
      // that the first frame looks as the whole one will there. The other
      // tiles have their surfaces there only in part (the ground reaches
      // into them): they keep their meshes until the whole picture comes.
      auto first = far;
      part.list.far = finish_far_image(first, options.threads);
      for (size_t t = 0; t < part.list.far.tiles.size() && t < part_of_tile.size(); t++)
        if (part_of_tile[t] != 0) part.list.far.tiles[t] = bbox3f{};
    }
    if (part.last && progress) progress("prepare scene", state.total, state.total);
    auto last = part.last;
    if (staging.take) staging.take(part);
    part = {};
    if (!last && staging.stopped && staging.stopped()) return false;
  }
  return true;
}

}  // namespace

draw_list make_draw_list(loaded_scene& scene, const draw_options& options,
                         const progress_callback& progress) {
  return build_draw_list(scene, options, progress);
}

draw_list make_draw_list(const loaded_scene& scene, bool use_sky, const progress_callback& progress,
                         int instancing_threshold) {
  auto options = draw_options{};
  options.use_sky = use_sky;
  options.instancing_threshold = instancing_threshold;
  options.release_shapes = false;
  return build_draw_list(scene, options, progress);
}

// Runs job(0) ... job(count - 1) on up to `thread_count` threads (0: one
// per processor), each taking the next job from a shared counter: jobs
// differ a lot in size, so fixed shares would leave a processor idle. A
// job that throws (runs out of memory) stops them all, and the call throws
// std::bad_alloc once every thread is done.
void run_jobs(size_t count, int thread_count, const std::function<void(size_t job, bool caller)>& job) {
  auto next = std::atomic<size_t>{0};
  auto failed = std::atomic<bool>{false};
  auto work = [&](bool caller) {
    try {
      for (auto k = next++; k < count && !failed; k = next++) job(k, caller);
    } catch (...) {
      failed = true;  // out of memory, as good as: the caller is told so
    }
  };
  auto threads = thread_count > 0 ? (size_t)thread_count
                                  : std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), 8);
  auto helpers = std::vector<std::thread>{};
  if (count > 1)
    for (size_t t = 1; t < threads; t++) {
      try {
        helpers.emplace_back(work, false);
      } catch (const std::system_error&) {
        break;  // no more threads: these do the rest
      }
    }
  work(true);
  for (auto& helper : helpers) helper.join();
  if (failed) throw std::bad_alloc();
}

bool make_draw_list_parts(loaded_scene& scene, const draw_options& options,
                          const draw_staging& staging, const progress_callback& progress) {
  return build_draw_list_parts(scene, options, staging, progress);
}

float box_distance(const bbox3f& b, const vec3f& p) {
  auto d = vec3f{std::max({b.min.x - p.x, 0.0f, p.x - b.max.x}),
                 std::max({b.min.y - p.y, 0.0f, p.y - b.max.y}),
                 std::max({b.min.z - p.z, 0.0f, p.z - b.max.z})};
  return length(d);
}

void release_geometry(draw_list& list) {
  for (auto& batch : list.batches) batch.positions = {}, batch.texcoords = {}, batch.indices = {};
  for (auto& group : list.instanced) group.mesh = {}, group.frames = {};
  list.far.albedo = {}, list.far.facing = {};
}

bool spans_fewer_pixels(const bbox3f& b, const vec3f& eye, float pixels_per_unit, float pixels) {
  return length(b.max - b.min) * pixels_per_unit < pixels * box_distance(b, eye);
}

bool small_on_screen(const bbox3f& b, const vec3f& eye, float pixels_per_unit, float max_pixels) {
  return max_pixels > 0 && spans_fewer_pixels(b, eye, pixels_per_unit, small_run_pixels * max_pixels);
}

int detail_level(const bbox3f& b, const draw_level* levels, int level_count, const vec3f& eye,
                 float pixels_per_unit, float max_pixels, bool small_coarsest) {
  auto distance = box_distance(b, eye);
  // A run that the view shows only a few pixels wide (a whole city's far
  // tiles, buildings a pixel or two) takes its coarsest level: none of its
  // shapes can show more than a pixel blob.
  if (small_coarsest && level_count > 1 && small_on_screen(b, eye, pixels_per_unit, max_pixels))
    return level_count - 1;
  auto level = 0;
  for (int k = 1; k < level_count; k++)
    if (levels[k].error * pixels_per_unit <= max_pixels * distance) level = k;
  return level;
}

int make_coarser_levels(const vec3f* positions, size_t vertices, const uint32_t* indices,
                        size_t count, std::vector<uint32_t>& out, draw_level* levels,
                        int max_count) {
  auto points = (const float*)positions;
  auto scale = meshopt_simplifyScale(points, vertices, sizeof(vec3f));
  if (!(scale > 0) || !std::isfinite(scale) || vertices == 0) return 0;
  // Corners at one place become one vertex (the first of them), so that
  // the simplifier sees closed surfaces rather than loose faces.
  auto remap = std::vector<unsigned int>(vertices);
  auto unique = meshopt_generateVertexRemap(remap.data(), nullptr, vertices, points, vertices,
                                            sizeof(vec3f));
  auto first = std::vector<unsigned int>(unique, ~0u);
  for (size_t v = 0; v < vertices; v++)
    if (first[remap[v]] == ~0u) first[remap[v]] = (unsigned int)v;
  auto source = std::vector<unsigned int>(count);
  for (size_t k = 0; k < count; k++) source[k] = indices[k] < vertices ? first[remap[indices[k]]] : 0;
  // Each level strays at most this share of the mesh's size from it.
  constexpr float level_errors[] = {0.01f, 0.04f, 0.12f, 0.35f};
  auto made = 0;
  auto last = count;
  auto result = std::vector<unsigned int>(count);
  for (auto bound : level_errors) {
    if (made >= max_count || last < 12) break;
    auto error = 0.0f;
    auto kept = size_t{0};
    if (made == 0) {
      // Edge collapses keep the shapes; clustering where they stop short.
      // The outlines stay: the simplifier measures how far a surface moves
      // off its planes, and a flat road or park could lose its outline
      // without moving off its plane at all.
      kept = meshopt_simplify(result.data(), source.data(), count, points, vertices, sizeof(vec3f), 0,
                              bound, meshopt_SimplifyLockBorder, &error);
    }
    if (made > 0 || kept > last / 2) {
      kept = meshopt_simplifySloppy(result.data(), source.data(), count, points, vertices,
                                    sizeof(vec3f), 0, bound, &error);
    }
    // A level must be worth its indices.
    if (kept > last * 3 / 4) continue;
    // The simplifier's own error is the distance off the surface's planes,
    // nothing for a flat mesh that lost its outline: the level's bound is
    // the least it may be taken to stray.
    levels[made] = {out.size(), kept, std::max(error, bound) * scale};
    out.insert(out.end(), result.begin(), result.begin() + (long)kept);
    made++;
    last = kept;
  }
  // The last level: a quarter of the one before, whatever it costs in error
  // (tiny far shapes, trees in their thousands, need no more).
  if (made < max_count && last >= 48) {
    auto error = 0.0f;
    auto kept = meshopt_simplifySloppy(result.data(), source.data(), count, points, vertices,
                                       sizeof(vec3f), last / 4 / 3 * 3, 1.0f, &error);
    if (kept <= last * 3 / 4) {
      levels[made] = {out.size(), kept, std::max(error, 0.5f) * scale};
      out.insert(out.end(), result.begin(), result.begin() + (long)kept);
      made++;
    }
  }
  return made;
}

size_t draw_calls(const draw_list& list) { return list.batches.size() + list.instanced.size() + 1; }
