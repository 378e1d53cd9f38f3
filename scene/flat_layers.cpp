#include "scene/flat_layers.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "scene/scene_files.h"
#include "scene/shape.h"

// Why 1e-4 of the scene's size. A perspective depth buffer of 24 bits with
// its near plane at n tells apart two depths at distance d when they differ
// by about d^2 / (n * 2^24). A viewer framing the whole scene stands about
// its size S away and puts the near plane near S / 1000 (the usual share
// for a 24-bit buffer), so one step of depth there is
// S^2 / (S / 1000 * 2^24) = 1000 S / 16777216, about 6e-5 S. A step of
// 1e-4 S is nearly two of those at the far side of the city and many more
// nearer the eye; for the city (S = 170, the diagonal of the 120-unit
// ground) it is 0.017 units, a few tens of centimetres of a real town, which
// nobody sees from the default camera. The viewer's own ranks use the same
// step, so the file and the viewer stack the layers alike.
const float layer_step_share = 1e-4f;
// Heights within this share of the size are one height; overlaps narrower
// than this share are an edge two meshes share, not an area.
const float height_tolerance_share = 1e-7f;
const float overlap_tolerance_share = 1e-7f;

float flat_layer_step(const bbox3f& bounds) {
  auto d = bounds.max - bounds.min;
  auto size = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
  return std::isfinite(size) && size > 0 ? layer_step_share * size : layer_step_share;
}

namespace {

// Cities with this many flat meshes are sorted, and ranked, on two threads.
constexpr size_t two_threads_from = 65536;
// How many meshes ahead the ranking asks for the memory it will read.
constexpr size_t prefetch_ahead = 8;

void prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

bool has_faces(const scene_shape& shape) {
  return !shape.positions.empty() &&
         (!shape.triangles.empty() || !shape.quads.empty() || !shape.quadspos.empty());
}

vec3f corner(const bbox3f& box, int k) {
  return {k & 1 ? box.max.x : box.min.x, k & 2 ? box.max.y : box.min.y,
          k & 4 ? box.max.z : box.min.z};
}

// A triangle in plan (x, z), with its box.
struct plan_triangle {
  float x[3], z[3];
  float min_x() const { return std::min({x[0], x[1], x[2]}); }
  float max_x() const { return std::max({x[0], x[1], x[2]}); }
  float min_z() const { return std::min({z[0], z[1], z[2]}); }
  float max_z() const { return std::max({z[0], z[1], z[2]}); }
};
// The triangles of every mesh built so far, each mesh's one after another:
// a city has hundreds of thousands of flat meshes of a few triangles each.
using triangle_pool = std::deque<plan_triangle>;

struct flat_mesh {
  uint32_t index  = 0;  // into the instances
  float    min_x = 0, max_x = 0, min_z = 0, max_z = 0;  // its box in plan
  float    height = 0;
  int      rank   = 0;
  uint32_t first  = UINT32_MAX;  // its triangles in the pool, once built
  uint32_t count  = 0;
  uint8_t  side   = 0;  // the pool its triangles go to (below)
  bool     built() const { return first != UINT32_MAX; }
};

// The faces of a flat mesh in plan, placed by the instance's frame; faces
// without area are left out.
void build_triangles(flat_mesh& mesh, const scene_shape& shape, const frame3f& frame,
                     triangle_pool& pool) {
  mesh.first = (uint32_t)pool.size();
  auto faces = shape.quadspos.empty() ? quads_to_triangles(shape.triangles, shape.quads)
                                      : quads_to_triangles({}, shape.quadspos);
  auto count = shape.positions.size();
  for (auto& f : faces) {
    if (f.x < 0 || f.y < 0 || f.z < 0 || (size_t)f.x >= count || (size_t)f.y >= count ||
        (size_t)f.z >= count)
      continue;
    auto t = plan_triangle{};
    int corners[3] = {f.x, f.y, f.z};
    for (int k = 0; k < 3; k++) {
      auto p = transform_point(frame, shape.positions[(size_t)corners[k]]);
      t.x[k] = p.x, t.z[k] = p.z;
    }
    auto area = (t.x[1] - t.x[0]) * (t.z[2] - t.z[0]) - (t.x[2] - t.x[0]) * (t.z[1] - t.z[0]);
    if (!(std::abs(area) > 0) || !std::isfinite(area)) continue;
    pool.push_back(t);
  }
  mesh.count = (uint32_t)(pool.size() - mesh.first);
}

// Separating axes: two triangles overlap by area when no edge direction's
// normal keeps their projections more than `eps` from overlapping.
bool triangles_overlap(const plan_triangle& a, const plan_triangle& b, float eps) {
  for (auto* t : {&a, &b}) {
    for (int k = 0; k < 3; k++) {
      auto ex = t->x[(k + 1) % 3] - t->x[k], ez = t->z[(k + 1) % 3] - t->z[k];
      auto length = std::sqrt(ex * ex + ez * ez);
      if (!(length > 0)) continue;
      auto nx = -ez / length, nz = ex / length;
      auto lo_a = INFINITY, hi_a = -INFINITY, lo_b = INFINITY, hi_b = -INFINITY;
      for (int j = 0; j < 3; j++) {
        auto pa = a.x[j] * nx + a.z[j] * nz, pb = b.x[j] * nx + b.z[j] * nz;
        lo_a = std::min(lo_a, pa), hi_a = std::max(hi_a, pa);
        lo_b = std::min(lo_b, pb), hi_b = std::max(hi_b, pb);
      }
      if (hi_a <= lo_b + eps || hi_b <= lo_a + eps) return false;
    }
  }
  return true;
}

bool boxes_overlap(float a0, float a1, float b0, float b1, float eps) {
  return a1 > b0 + eps && b1 > a0 + eps;
}

// `near_b` is scratch, kept by the caller so that the test of a pair, made
// tens of millions of times in a dense city, allocates nothing.
bool meshes_overlap(const flat_mesh& a, const flat_mesh& b, const triangle_pool* pools, float eps,
                    std::vector<const plan_triangle*>& near_b) {
  // Only the faces within the boxes' common part can meet.
  auto lo_x = std::max(a.min_x, b.min_x), hi_x = std::min(a.max_x, b.max_x);
  auto lo_z = std::max(a.min_z, b.min_z), hi_z = std::min(a.max_z, b.max_z);
  auto within = [&](const plan_triangle& t) {
    return boxes_overlap(t.min_x(), t.max_x(), lo_x, hi_x, eps) &&
           boxes_overlap(t.min_z(), t.max_z(), lo_z, hi_z, eps);
  };
  near_b.clear();
  auto& pool_a = pools[a.side];
  auto& pool_b = pools[b.side];
  for (auto k = b.first; k < b.first + b.count; k++)
    if (within(pool_b[k])) near_b.push_back(&pool_b[k]);
  if (near_b.empty()) return false;
  for (auto k = a.first; k < a.first + a.count; k++) {
    auto& ta = pool_a[k];
    if (!within(ta)) continue;
    for (auto tb : near_b) {
      if (!boxes_overlap(ta.min_x(), ta.max_x(), tb->min_x(), tb->max_x(), eps) ||
          !boxes_overlap(ta.min_z(), ta.max_z(), tb->min_z(), tb->max_z(), eps))
        continue;
      if (triangles_overlap(ta, *tb, eps)) return true;
    }
  }
  return false;
}

// What one thread's ranking keeps: the highest rank among the meshes it
// may meet, the first mesh still within reach, and scratch.
struct ranking {
  int                               top_rank    = 0;
  size_t                            reach_first = 0;
  scene_shape                       scratch     = {};
  std::vector<int>                  taken       = {};
  std::vector<size_t>               own         = {};  // the ranked mesh's cell entries
  std::vector<const plan_triangle*> near_b      = {};
};

// The meshes' sides of a cut through the plan: a mesh wholly on one side
// meets only meshes on its side or across the cut. The caller's thread
// ranks those on side 0 and those across (side 2), a helper those on side 1.
// A mesh across is ranked when every mesh before it is, with the helper
// waiting; a mesh on side 1 waits for the meshes across before it. Ranks
// are those of one thread: each mesh meets the same meshes, all ranked.
// The meshes across get their triangles at once, so that no two threads
// build into one pool at the same time: the caller's builds into the
// helper's pool only while the helper waits. False when no helper can be
// started (nothing is ranked then); else `ranked` tells whether every
// shape could be had.
template <typename RankMesh, typename Build, typename Prefetch>
bool rank_two_sides(std::vector<flat_mesh>& meshes, const RankMesh& rank_mesh, const Build& build,
                    const Prefetch& prefetch_cells, bool& ranked) {
  auto own = std::vector<uint32_t>{}, helpers = std::vector<uint32_t>{};
  auto across_before = std::vector<uint32_t>{};  // for each of the helper's, the meshes across before it
  auto across = uint32_t{0};
  for (size_t m = 0; m < meshes.size(); m++) {
    if (meshes[m].side == 1) {
      helpers.push_back((uint32_t)m);
      across_before.push_back(across);
    } else {
      own.push_back((uint32_t)m);
      across += meshes[m].side == 2;
    }
  }
  // The helper's next mesh (all before it that are its own are ranked) and
  // the top rank it has met; the meshes across ranked so far and their top.
  auto helper_next = std::atomic<size_t>{0}, across_done = std::atomic<size_t>{0};
  auto helper_top = std::atomic<int>{0}, across_top = std::atomic<int>{0};
  auto failed = std::atomic<bool>{false};
  auto helper_error = std::exception_ptr{};
  auto wait_for = [&](const auto& ready) {
    for (int spins = 0; !ready(); spins++) {
      if (failed.load(std::memory_order_relaxed)) return false;
      if (spins >= 64) std::this_thread::yield();
    }
    return true;
  };
  auto helper_side = [&] {
    auto r = ranking{};
    try {
      for (size_t k = 0; k < helpers.size() && !failed; k++) {
        auto m = helpers[k];
        helper_top.store(r.top_rank, std::memory_order_relaxed);
        helper_next.store(m, std::memory_order_release);
        if (!wait_for([&] { return across_done.load(std::memory_order_acquire) >= across_before[k]; }))
          break;
        r.top_rank = std::max(r.top_rank, across_top.load(std::memory_order_relaxed));
        if (k + prefetch_ahead < helpers.size()) prefetch_cells(meshes[helpers[k + prefetch_ahead]]);
        if (!rank_mesh(m, r)) {
          failed = true;
          break;
        }
      }
    } catch (...) {
      helper_error = std::current_exception();
      failed = true;
    }
    helper_top.store(r.top_rank, std::memory_order_relaxed);
    helper_next.store(meshes.size(), std::memory_order_release);
  };
  auto helper = std::thread{};
  try {
    helper = std::thread(helper_side);
  } catch (const std::system_error&) {
    return false;
  }
  auto error = std::exception_ptr{};
  try {
    auto r = ranking{}, r_across = ranking{};
    auto top_across = 0;
    for (size_t k = 0; k < own.size() && !failed; k++) {
      auto m = own[k];
      // (Not the cells of a mesh across: the helper may be moving on in them.)
      if (k + prefetch_ahead < own.size() && meshes[own[k + prefetch_ahead]].side == 0)
        prefetch_cells(meshes[own[k + prefetch_ahead]]);
      if (meshes[m].side == 0) {
        if (!rank_mesh(m, r)) failed = true;
        continue;
      }
      if (!wait_for([&] { return helper_next.load(std::memory_order_acquire) > m; })) break;
      // The mesh across meets meshes of both sides and has the highest
      // rank of both to bound them.
      r_across.top_rank = std::max({r_across.top_rank, r.top_rank, helper_top.load(std::memory_order_relaxed)});
      if (!rank_mesh(m, r_across) || (!meshes[m].built() && !build(meshes[m], r_across.scratch))) {
        failed = true;
        break;
      }
      r.top_rank = std::max(r.top_rank, meshes[m].rank);
      top_across = std::max(top_across, meshes[m].rank);
      across_top.store(top_across, std::memory_order_relaxed);
      across_done.fetch_add(1, std::memory_order_release);
    }
  } catch (...) {
    error = std::current_exception();
    failed = true;
  }
  helper.join();
  if (error) std::rethrow_exception(error);
  if (helper_error) std::rethrow_exception(helper_error);
  ranked = !failed;
  return true;
}

// The column of cells a cut through the plan goes along, left of it, for
// two threads (0: none): the one that least keeps the busier side, and
// the meshes across that the two wait on, alone. `when_worth` asks that
// the city be big enough and the cut take a third off.
template <typename CellRange>
int cut_column(const std::vector<flat_mesh>& meshes, int grid, bool when_worth, const CellRange& cell_range) {
  if (grid < 2) return 0;
  if (when_worth && (meshes.size() < two_threads_from || std::thread::hardware_concurrency() < 2)) return 0;
  // ends[c]: meshes whose last column is c; starts[c]: whose first is c.
  auto ends = std::vector<size_t>((size_t)grid, 0), starts = std::vector<size_t>((size_t)grid, 0);
  for (auto& mesh : meshes) {
    int x0, x1, z0, z1;
    cell_range(mesh, x0, x1, z0, z1);
    starts[(size_t)x0]++, ends[(size_t)x1]++;
  }
  auto best = 0;
  auto best_cost = meshes.size();
  size_t left = 0, right = meshes.size() - starts[0];  // wholly left of, wholly right of the cut
  for (int c = 1; c < grid; c++) {
    left += ends[(size_t)c - 1];
    auto cost = std::max(left, right) + (meshes.size() - left - right);
    if (cost < best_cost) best = c, best_cost = cost;
    right -= starts[(size_t)c];
  }
  if (when_worth && best_cost * 3 > meshes.size() * 2) return 0;
  return !when_worth && best == 0 ? grid / 2 : best;
}

}  // namespace

bbox3f placed_box(const bbox3f& local, const frame3f& frame) {
  auto box = bbox3f{};
  for (int k = 0; k < 8; k++) expand(box, transform_point(frame, corner(local, k)));
  return box;
}

flat_layer_ranks rank_flat_layers(const std::vector<const scene_instance*>& instances) {
  // World boxes from the corners of each shape's own box.
  auto shape_boxes = std::unordered_map<const scene_shape*, bbox3f>{};
  auto boxes = std::vector<bbox3f>(instances.size());
  for (size_t i = 0; i < instances.size(); i++) {
    auto instance = instances[i];
    if (!instance || !instance->shape || !has_faces(*instance->shape)) continue;
    auto found = shape_boxes.find(instance->shape);
    if (found == shape_boxes.end()) {
      auto box = bbox3f{};
      for (auto& p : instance->shape->positions) expand(box, p);
      found = shape_boxes.emplace(instance->shape, box).first;
    }
    boxes[i] = placed_box(found->second, instance->frame);
  }
  return rank_flat_layers(instances, std::move(boxes));
}

namespace {

// The place of each flat item's name among theirs (equal names share one),
// so that the ranking's sort compares numbers: a city's flat meshes share a
// few heights, and their names would be compared millions of times, each
// time read from the instance records all over memory. The names are sorted
// once by their first sixteen bytes, held together, the rest compared only
// when those are equal. Items that cannot be flat get place 0.
std::vector<uint32_t> name_places(const std::vector<const scene_instance*>& instances,
                                  const std::vector<bbox3f>& boxes) {
  auto bounds = bbox3f{};
  for (auto& box : boxes)
    if (box.min.x <= box.max.x) expand(bounds, box.min), expand(bounds, box.max);
  auto same_height = height_tolerance_share * (flat_layer_step(bounds) / layer_step_share);
  struct keyed {
    uint64_t head[2];
    uint32_t index;
  };
  auto keys = std::vector<keyed>{};
  for (size_t i = 0; i < boxes.size(); i++) {
    auto& box = boxes[i];
    if (!instances[i] || !(box.min.x <= box.max.x) || !(box.max.y - box.min.y <= same_height)) continue;
    auto& name = instances[i]->name;
    auto key = keyed{{0, 0}, (uint32_t)i};
    // Big-endian, padded with zeros: the numbers order as the bytes do.
    for (size_t k = 0; k < 16 && k < name.size(); k++)
      key.head[k / 8] |= (uint64_t)(unsigned char)name[k] << (56 - 8 * (k % 8));
    keys.push_back(key);
  }
  auto name_of = [&](const keyed& k) -> const std::string& { return instances[k.index]->name; };
  std::sort(keys.begin(), keys.end(), [&](const keyed& a, const keyed& b) {
    if (a.head[0] != b.head[0]) return a.head[0] < b.head[0];
    if (a.head[1] != b.head[1]) return a.head[1] < b.head[1];
    return name_of(a) < name_of(b);
  });
  auto places = std::vector<uint32_t>(instances.size(), 0);
  auto place = uint32_t{0};
  for (size_t k = 0; k < keys.size(); k++) {
    if (k > 0 && (keys[k].head[0] != keys[k - 1].head[0] || keys[k].head[1] != keys[k - 1].head[1] ||
                  name_of(keys[k]) != name_of(keys[k - 1])))
      place++;
    places[keys[k].index] = place;
  }
  return places;
}

}  // namespace

flat_layer_ranks rank_flat_layers(const std::vector<const scene_instance*>& instances,
                                  std::vector<bbox3f> boxes, int threads) {
  auto result = flat_layer_ranks{};
  auto places = name_places(instances, boxes);
  rank_flat_boxes(
      std::move(boxes), [&](size_t a, size_t b) { return places[a] < places[b]; },
      [&](size_t i, scene_shape&, frame3f& frame) {
        frame = instances[i]->frame;
        return instances[i]->shape;
      },
      result, threads);
  return result;
}

bool rank_flat_boxes(std::vector<bbox3f> boxes,
                     const std::function<bool(size_t, size_t)>& name_less,
                     const std::function<const scene_shape*(size_t, scene_shape&, frame3f&)>& shape_of,
                     flat_layer_ranks& result, int threads) {
  result = flat_layer_ranks{};
  result.ranks.assign(boxes.size(), 0);
  auto bounds = bbox3f{};
  for (auto& box : boxes)
    if (box.min.x <= box.max.x) expand(bounds, box.min), expand(bounds, box.max);
  if (!(bounds.min.x <= bounds.max.x)) return true;
  result.step = flat_layer_step(bounds);
  auto size = result.step / layer_step_share;
  auto same_height = height_tolerance_share * size;
  auto eps = overlap_tolerance_share * size;

  auto is_flat = [&](const bbox3f& box) {
    return box.min.x <= box.max.x && box.max.y - box.min.y <= same_height &&
           std::isfinite(box.min.x + box.max.x + box.min.y + box.min.z + box.max.z);
  };
  // Counted first: a list grown as it fills holds up to twice its size
  // at once, and a city's flat meshes are hundreds of thousands.
  auto meshes = std::vector<flat_mesh>{};
  meshes.reserve((size_t)std::count_if(boxes.begin(), boxes.end(), is_flat));
  for (size_t i = 0; i < boxes.size(); i++) {
    auto& box = boxes[i];
    if (!is_flat(box)) continue;
    auto mesh = flat_mesh{};
    mesh.index = (uint32_t)i, mesh.height = box.min.y;
    mesh.min_x = box.min.x, mesh.max_x = box.max.x, mesh.min_z = box.min.z, mesh.max_z = box.max.z;
    meshes.push_back(std::move(mesh));
  }
  std::vector<bbox3f>().swap(boxes);  // the meshes keep what they need
  auto lower = [&](const flat_mesh& a, const flat_mesh& b) {
    if (a.height != b.height) return a.height < b.height;
    if (name_less(a.index, b.index)) return true;
    if (name_less(b.index, a.index)) return false;
    return a.index < b.index;
  };
  // A city's meshes are sorted in two halves at once, then merged: the
  // order is total (ties go by index), so it is the same either way.
  auto sorted = false;
  if (meshes.size() >= two_threads_from) {
    auto middle = meshes.begin() + (long)(meshes.size() / 2);
    try {
      auto helper = std::thread([&] { std::sort(meshes.begin(), middle, lower); });
      std::sort(middle, meshes.end(), lower);
      helper.join();
      std::inplace_merge(meshes.begin(), middle, meshes.end(), lower);
      sorted = true;
    } catch (const std::system_error&) {
      // No second thread: one sort below.
    }
  }
  if (!sorted) std::sort(meshes.begin(), meshes.end(), lower);

  // A grid over the plan finds the meshes a mesh may overlap.
  auto grid = std::clamp((int)std::sqrt((double)meshes.size()), 1, 256);
  auto cell_of = [&](float v, float lo, float hi) {
    auto t = hi > lo ? (v - lo) / (hi - lo) : 0.0f;
    return std::clamp((int)(t * (float)grid), 0, grid - 1);
  };
  auto cell_range = [&](const flat_mesh& mesh, int& x0, int& x1, int& z0, int& z1) {
    x0 = cell_of(mesh.min_x, bounds.min.x, bounds.max.x);
    x1 = cell_of(mesh.max_x, bounds.min.x, bounds.max.x);
    z0 = cell_of(mesh.min_z, bounds.min.z, bounds.max.z);
    z1 = cell_of(mesh.max_z, bounds.min.z, bounds.max.z);
  };
  // Each cell's meshes in one array, in the order they are taken: a mesh
  // meets only those before it (a list per cell, grown as meshes are
  // taken, costs a few allocations per mesh and twice the memory).
  auto cell_start = std::vector<size_t>((size_t)grid * (size_t)grid + 1, 0);
  for (auto& mesh : meshes) {
    int x0, x1, z0, z1;
    cell_range(mesh, x0, x1, z0, z1);
    for (int cx = x0; cx <= x1; cx++)
      for (int cz = z0; cz <= z1; cz++) cell_start[(size_t)cx * (size_t)grid + (size_t)cz + 1]++;
  }
  for (size_t c = 1; c < cell_start.size(); c++) cell_start[c] += cell_start[c - 1];
  // Each entry carries its mesh's plan extent within the entry's cell, in
  // 256ths of the cell rounded outwards, so that the scan of a cell reads
  // one array in order and reads the record only of meshes that come near:
  // every pair whose boxes overlap passes the rounded test, and the exact
  // one follows.
  auto in_cell = [&](float v, float lo, float hi, int c, bool up) {
    auto t = hi > lo ? (v - lo) / (hi - lo) : 0.0f;
    auto u = (t * (float)grid - (float)c) * 256.0f;
    return (uint8_t)std::clamp(up ? std::ceil(u) + 1 : std::floor(u) - 1, 0.0f, 255.0f);
  };
  struct cell_extent {
    uint8_t min_x, max_x, min_z, max_z;
  };
  auto extent_in = [&](const flat_mesh& mesh, int cx, int cz) {
    return cell_extent{in_cell(mesh.min_x, bounds.min.x, bounds.max.x, cx, false),
                       in_cell(mesh.max_x, bounds.min.x, bounds.max.x, cx, true),
                       in_cell(mesh.min_z, bounds.min.z, bounds.max.z, cz, false),
                       in_cell(mesh.max_z, bounds.min.z, bounds.max.z, cz, true)};
  };
  // The entry also carries its mesh's height and, once it is ranked, its
  // rank, so that a mesh that cannot change the rank of the one being
  // ranked is passed over without reading its record.
  struct cell_entry {
    uint32_t    mesh;
    cell_extent extent;
    float       height;
    int         rank;
  };
  auto cell_meshes = std::vector<cell_entry>(cell_start.back());
  // Beside each entry, whether its cell is its mesh's first column (1)
  // and first row (2): a pair that shares several cells meets in the
  // first of them, the cell of the larger first column and row of the two.
  auto cell_firsts = std::vector<uint8_t>(cell_start.back());
  {
    auto fill = std::vector<size_t>(cell_start.begin(), cell_start.end() - 1);
    for (size_t m = 0; m < meshes.size(); m++) {
      int x0, x1, z0, z1;
      cell_range(meshes[m], x0, x1, z0, z1);
      for (int cx = x0; cx <= x1; cx++)
        for (int cz = z0; cz <= z1; cz++) {
          auto k = fill[(size_t)cx * (size_t)grid + (size_t)cz]++;
          cell_meshes[k] = {(uint32_t)m, extent_in(meshes[m], cx, cz), meshes[m].height, 0};
          cell_firsts[k] = (uint8_t)((cx == x0 ? 1 : 0) | (cz == z0 ? 2 : 0));
        }
    }
  }

  // The triangles of the meshes on each side of the cut and across it.
  triangle_pool pools[3];
  auto cut = threads == 1 ? 0 : cut_column(meshes, grid, threads == 0, cell_range);
  for (auto& mesh : meshes) {
    int x0, x1, z0, z1;
    cell_range(mesh, x0, x1, z0, z1);
    mesh.side = cut <= 0 ? 0 : x1 < cut ? 0 : x0 >= cut ? 1 : 2;
  }
  // Each cell's first entry within reach (below): it only moves on.
  auto cell_reach = std::vector<size_t>(cell_start.begin(), cell_start.end() - 1);
  // The rank a mesh needs to stand a step above one of rank `rank` lying
  // `below` under it; a little slack keeps layers lifted once where they
  // are. It never falls as `rank` grows.
  auto needed_rank = [&](int rank, float below) {
    return (int)std::ceil((float)rank + 1 - below / result.step - 0.01f);
  };
  auto build = [&](flat_mesh& mesh, scene_shape& scratch) {
    auto frame = frame3f{};
    auto shape = shape_of(mesh.index, scratch, frame);
    if (!shape) return false;
    build_triangles(mesh, *shape, frame, pools[mesh.side]);
    return true;
  };
  // Ranks mesh m once every mesh before it that it may meet is ranked.
  // A mesh that lies more than (the highest rank it may meet + 2) steps
  // below this one cannot lift it, nor any later one (they lie as high or
  // higher): the meshes below `reach_first` are not looked at again. The
  // meshes are in order of height, and so are each cell's entries, so
  // those within reach end each cell's list before this mesh. (A dense
  // city has many meshes over each other, roads under the roofs, that
  // would otherwise all be met and passed over.)
  auto rank_mesh = [&](size_t m, ranking& r) {
    auto& mesh = meshes[m];
    int x0, x1, z0, z1;
    cell_range(mesh, x0, x1, z0, z1);
    auto top_rank = r.top_rank;
    while (r.reach_first < m &&
           mesh.height - meshes[r.reach_first].height > (float)(top_rank + 2) * result.step)
      r.reach_first++;
    auto low = 0;
    r.taken.clear();
    r.own.clear();
    for (int cx = x0; cx <= x1; cx++) {
      for (int cz = z0; cz <= z1; cz++) {
        auto cell = (size_t)cx * (size_t)grid + (size_t)cz;
        auto near = extent_in(mesh, cx, cz);
        // The cell's first entries out of reach, or of meshes so far below
        // for their rank that they would lift nothing (nor anything after,
        // which lies higher still), are passed over for good. (One at this
        // mesh's height, far less than a step below, always would.)
        auto& first = cell_reach[cell];
        for (; first < cell_start[cell + 1]; first++) {
          auto& entry = cell_meshes[first];
          if (entry.mesh < (uint32_t)r.reach_first) continue;
          if (entry.mesh >= (uint32_t)m || needed_rank(entry.rank, mesh.height - entry.height) > 0) break;
        }
        for (auto k = first; k < cell_start[cell + 1]; k++) {
          auto& entry = cell_meshes[k];
          auto o = entry.mesh;
          if (o >= (uint32_t)m) {  // its own: the meshes after it are not taken yet
            r.own.push_back(k);
            break;
          }
          auto& e = entry.extent;
          if (e.max_x < near.min_x || e.min_x > near.max_x || e.max_z < near.min_z ||
              e.min_z > near.max_z)
            continue;
          if ((cx != x0 && !(cell_firsts[k] & 1)) || (cz != z0 && !(cell_firsts[k] & 2))) continue;
          // A mesh below lifts this one to the rank it needs over it; one at
          // its height keeps it from the same rank, which matters from
          // `low` up only.
          auto level = mesh.height - entry.height <= same_height;
          auto needed = 0;
          if (level) {
            if (entry.rank < low) continue;
          } else {
            needed = needed_rank(entry.rank, mesh.height - entry.height);
            if (needed <= low) continue;
          }
          auto& other = meshes[o];
          if (!boxes_overlap(mesh.min_x, mesh.max_x, other.min_x, other.max_x, eps) ||
              !boxes_overlap(mesh.min_z, mesh.max_z, other.min_z, other.max_z, eps))
            continue;
          if (!mesh.built() && !build(mesh, r.scratch)) return false;
          if (!other.built() && !build(other, r.scratch)) return false;
          if (!meshes_overlap(mesh, other, pools, eps, r.near_b)) continue;
          if (level) {
            r.taken.push_back(entry.rank);
          } else {
            low = needed;
          }
        }
      }
    }
    auto rank = low;
    std::sort(r.taken.begin(), r.taken.end());
    for (auto t : r.taken)
      if (t == rank) rank++;
    mesh.rank = rank;
    for (auto k : r.own) cell_meshes[k].rank = rank;
    r.top_rank = std::max(r.top_rank, rank);
    result.ranks[mesh.index] = rank;
    return true;
  };
  // The cells of a mesh a few places on lie anywhere in the array: asked
  // for now, they are at hand when that mesh is ranked.
  auto prefetch_cells = [&](const flat_mesh& mesh) {
    int x0, x1, z0, z1;
    cell_range(mesh, x0, x1, z0, z1);
    for (int cx = x0; cx <= x1 && cx < x0 + 2; cx++)
      for (int cz = z0; cz <= z1 && cz < z0 + 2; cz++)
        prefetch(cell_meshes.data() + cell_reach[(size_t)cx * (size_t)grid + (size_t)cz]);
  };

  if (cut > 0) {
    auto ranked = false;
    if (rank_two_sides(meshes, rank_mesh, build, prefetch_cells, ranked)) return ranked;
  }
  auto r = ranking{};
  for (size_t m = 0; m < meshes.size(); m++) {
    if (m + prefetch_ahead < meshes.size()) prefetch_cells(meshes[m + prefetch_ahead]);
    if (!rank_mesh(m, r)) return false;
  }
  return true;
}

size_t lift_flat_layers(scene_data& scene) {
  auto keyed = instances_by_name(scene);
  auto pointers = std::vector<const scene_instance*>{};
  pointers.reserve(keyed.size());
  for (auto& instance : keyed) pointers.push_back(&instance);
  auto layers = rank_flat_layers(pointers);
  auto lifted = std::unordered_map<std::string, frame3f>{};
  for (size_t i = 0; i < keyed.size(); i++) {
    if (layers.ranks[i] <= 0) continue;
    auto frame = keyed[i].frame;
    frame.o.y += (float)layers.ranks[i] * layers.step;
    lifted.emplace(keyed[i].name, frame);
  }
  // Every record of a lifted name gets the frame the file shows for it.
  for (auto& instance : scene.instances) {
    auto found = lifted.find(instance->name);
    if (found != lifted.end()) instance->frame = found->second;
  }
  return lifted.size();
}
