// What the exports hold for other programs: flat layers a step apart, walls
// facing out of their buildings with normals, the georeference. The .glb
// files blockgen writes are read back here, by a reader of their own.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <thread>
#include <nlohmann/json.hpp>
#include <optional>

#include "scene/flat_layers.h"
#include "scene/surface_normals.h"
#include "test_util.h"
#include "thread_refusal.h"

namespace fs = std::filesystem;

namespace {

struct plan_tri {
  double x[3], z[3];
};

struct glb_mesh {
  std::string            name;
  int                    material = -1;
  std::vector<vec3f>     positions, normals;  // world space, three per triangle
};

// The triangles of every node with a mesh, placed by the node's matrix.
std::vector<glb_mesh> read_glb(const std::string& path, nlohmann::json& document) {
  auto bytes = read_file(path);
  auto meshes = std::vector<glb_mesh>{};
  if (bytes.size() < 20 || bytes.compare(0, 4, "glTF") != 0) return meshes;
  uint32_t json_length = 0;
  std::memcpy(&json_length, bytes.data() + 12, 4);
  document = nlohmann::json::parse(bytes.substr(20, json_length));
  auto bin = bytes.data() + 20 + json_length + 8;
  auto view_data = [&](int accessor, size_t& count, int& type, int& stride) {
    auto& a = document["accessors"][(size_t)accessor];
    auto& v = document["bufferViews"][a["bufferView"].get<size_t>()];
    count = a["count"];
    type = a["componentType"];
    stride = v.value("byteStride", 0);
    return bin + v.value("byteOffset", size_t{0}) + a.value("byteOffset", size_t{0});
  };
  auto read_vec3 = [&](int accessor) {
    size_t count;
    int type, stride;
    auto data = view_data(accessor, count, type, stride);
    auto out = std::vector<vec3f>(count);
    for (size_t i = 0; i < count; i++) std::memcpy(&out[i], data + i * (size_t)(stride ? stride : 12), 12);
    return out;
  };
  for (auto& node : document["nodes"]) {
    if (!node.contains("mesh")) continue;
    auto m = std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    if (node.contains("matrix")) m = node["matrix"].get<std::vector<double>>();
    auto place = [&](const vec3f& p, double w) {
      return vec3f{(float)(m[0] * p.x + m[4] * p.y + m[8] * p.z + m[12] * w),
                   (float)(m[1] * p.x + m[5] * p.y + m[9] * p.z + m[13] * w),
                   (float)(m[2] * p.x + m[6] * p.y + m[10] * p.z + m[14] * w)};
    };
    for (auto& primitive : document["meshes"][node["mesh"].get<size_t>()]["primitives"]) {
      if (primitive.value("mode", 4) != 4) continue;
      auto mesh = glb_mesh{};
      mesh.name = node["name"];
      mesh.material = primitive.value("material", -1);
      auto positions = read_vec3(primitive["attributes"]["POSITION"]);
      auto normals = primitive["attributes"].contains("NORMAL")
                         ? read_vec3(primitive["attributes"]["NORMAL"])
                         : std::vector<vec3f>{};
      size_t count;
      int type, stride;
      auto data = view_data(primitive["indices"], count, type, stride);
      for (size_t i = 0; i < count; i++) {
        uint32_t index = 0;
        if (type == 5121) index = (uint8_t)data[i];
        if (type == 5123) std::memcpy(&index, data + 2 * i, 2);
        if (type == 5125) std::memcpy(&index, data + 4 * i, 4);
        mesh.positions.push_back(place(positions.at(index), 1));
        if (!normals.empty()) mesh.normals.push_back(place(normals.at(index), 0));
      }
      meshes.push_back(std::move(mesh));
    }
  }
  return meshes;
}

double cross2(double ax, double az, double bx, double bz) { return ax * bz - az * bx; }

bool inside(const plan_tri& t, double x, double z) {
  auto d0 = cross2(t.x[1] - t.x[0], t.z[1] - t.z[0], x - t.x[0], z - t.z[0]);
  auto d1 = cross2(t.x[2] - t.x[1], t.z[2] - t.z[1], x - t.x[1], z - t.z[1]);
  auto d2 = cross2(t.x[0] - t.x[2], t.z[0] - t.z[2], x - t.x[2], z - t.z[2]);
  return (d0 > 0 && d1 > 0 && d2 > 0) || (d0 < 0 && d1 < 0 && d2 < 0);
}

// Two triangles share area: a corner of one strictly inside the other, or
// their centroids, or two edges that cross properly.
bool share_area(const plan_tri& a, const plan_tri& b) {
  for (int k = 0; k < 3; k++)
    if (inside(a, b.x[k], b.z[k]) || inside(b, a.x[k], a.z[k])) return true;
  if (inside(a, (b.x[0] + b.x[1] + b.x[2]) / 3, (b.z[0] + b.z[1] + b.z[2]) / 3)) return true;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) {
      double p[2] = {a.x[i], a.z[i]}, q[2] = {a.x[(i + 1) % 3], a.z[(i + 1) % 3]};
      double r[2] = {b.x[j], b.z[j]}, s[2] = {b.x[(j + 1) % 3], b.z[(j + 1) % 3]};
      auto side = [](const double* o, const double* u, const double* v) {
        return cross2(u[0] - o[0], u[1] - o[1], v[0] - o[0], v[1] - o[1]);
      };
      auto d1 = side(p, q, r), d2 = side(p, q, s), d3 = side(r, s, p), d4 = side(r, s, q);
      auto eps = 1e-9;
      if (((d1 > eps && d2 < -eps) || (d1 < -eps && d2 > eps)) &&
          ((d3 > eps && d4 < -eps) || (d3 < -eps && d4 > eps)))
        return true;
    }
  return false;
}

std::vector<plan_tri> plan_triangles(const glb_mesh& mesh) {
  auto out = std::vector<plan_tri>{};
  for (size_t i = 0; i + 2 < mesh.positions.size(); i += 3) {
    auto t = plan_tri{};
    for (int k = 0; k < 3; k++) t.x[k] = mesh.positions[i + k].x, t.z[k] = mesh.positions[i + k].z;
    if (std::abs(cross2(t.x[1] - t.x[0], t.z[1] - t.z[0], t.x[2] - t.x[0], t.z[2] - t.z[0])) > 1e-8)
      out.push_back(t);
  }
  return out;
}

// The document of a .glb file with only its scenes kept.
nlohmann::json glb_scenes(const std::string& path) {
  auto bytes = read_file(path);
  uint32_t json_length = 0;
  if (bytes.size() >= 20) std::memcpy(&json_length, bytes.data() + 12, 4);
  if (bytes.size() < 20 + (size_t)json_length) return {};
  using json = nlohmann::json;
  return json::parse(bytes.substr(20, json_length), [](int depth, json::parse_event_t event, json& parsed) {
    return !(depth == 1 && event == json::parse_event_t::key && parsed != "scenes");
  });
}

struct invariants {
  size_t flat = 0, close_pairs = 0, walls = 0, inward = 0;
  bool   georeference = false;
};

invariants check_glb(const std::string& path, nlohmann::json& document) {
  auto result = invariants{};
  auto meshes = read_glb(path, document);
  EXPECT_FALSE(meshes.empty()) << path;
  result.georeference = document["scenes"][0].contains("extras") &&
                        document["scenes"][0]["extras"].contains("georeference");
  auto lo = vec3f{1e30f, 1e30f, 1e30f}, hi = vec3f{-1e30f, -1e30f, -1e30f};
  for (auto& mesh : meshes)
    for (auto& p : mesh.positions)
      lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)},
      hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
  auto d = hi - lo;
  auto step = 1e-4 * std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);

  // Flat meshes, with their height and box in plan.
  struct flat_entry {
    const glb_mesh* mesh;
    double height, x0, x1, z0, z1;
    std::vector<plan_tri> triangles;
  };
  auto flats = std::vector<flat_entry>{};
  auto by_name = std::map<std::string, const glb_mesh*>{};
  // Overlaps thinner than 1e-7 of the size are shared edges (float rounding).
  auto inset = [&](std::vector<plan_tri> triangles) {
    auto margin = 1e-7 * (step / 1e-4);
    for (auto& t : triangles) {
      auto cx = (t.x[0] + t.x[1] + t.x[2]) / 3, cz = (t.z[0] + t.z[1] + t.z[2]) / 3;
      for (int k = 0; k < 3; k++) {
        auto dx = cx - t.x[k], dz = cz - t.z[k], l = std::sqrt(dx * dx + dz * dz);
        if (l > 2 * margin) t.x[k] += dx / l * margin, t.z[k] += dz / l * margin;
      }
    }
    return triangles;
  };
  for (auto& mesh : meshes) {
    by_name[mesh.name] = &mesh;
    auto y0 = 1e30, y1 = -1e30;
    auto e = flat_entry{&mesh, 0, 1e30, -1e30, 1e30, -1e30, inset(plan_triangles(mesh))};
    for (auto& p : mesh.positions) {
      y0 = std::min(y0, (double)p.y), y1 = std::max(y1, (double)p.y);
      e.x0 = std::min(e.x0, (double)p.x), e.x1 = std::max(e.x1, (double)p.x);
      e.z0 = std::min(e.z0, (double)p.z), e.z1 = std::max(e.z1, (double)p.z);
    }
    if (y1 - y0 > 1e-5 || e.triangles.empty()) continue;
    e.height = y0;
    flats.push_back(std::move(e));
  }
  result.flat = flats.size();
  for (size_t i = 0; i < flats.size(); i++)
    for (size_t j = i + 1; j < flats.size(); j++) {
      auto &a = flats[i], &b = flats[j];
      if (a.mesh->material == b.mesh->material || std::abs(a.height - b.height) >= 0.99 * step) continue;
      if (a.x1 <= b.x0 || b.x1 <= a.x0 || a.z1 <= b.z0 || b.z1 <= a.z0) continue;
      auto overlap = false;
      for (auto& ta : a.triangles) {
        for (auto& tb : b.triangles)
          if (share_area(ta, tb)) {
            overlap = true;
            break;
          }
        if (overlap) break;
      }
      if (overlap) result.close_pairs++;
    }

  // Walls: a point a little along each triangle's normal lies outside the cap.
  for (auto& mesh : meshes) {
    if (mesh.name.size() < 3 || mesh.name.compare(mesh.name.size() - 2, 2, "_1") != 0) continue;
    auto cap = by_name.find(mesh.name.substr(0, mesh.name.size() - 2));
    if (cap == by_name.end()) continue;
    auto footprint = plan_triangles(*cap->second);
    if (footprint.empty()) continue;
    EXPECT_EQ(mesh.normals.size(), mesh.positions.size()) << mesh.name << ": no normals";
    if (mesh.normals.size() != mesh.positions.size()) continue;
    for (size_t i = 0; i + 2 < mesh.positions.size(); i += 3) {
      auto& a = mesh.positions[i];
      auto& b = mesh.positions[i + 1];
      auto& c = mesh.positions[i + 2];
      auto u = b - a, v = c - a;
      auto n = vec3f{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
      auto area = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
      if (!(area > 1e-9)) continue;
      // The winding and the normal attribute agree, and point out.
      auto given = mesh.normals[i] + mesh.normals[i + 1] + mesh.normals[i + 2];
      result.walls++;
      auto agree = n.x * given.x + n.y * given.y + n.z * given.z > 0;
      auto centre = (a + b + c) * (1 / 3.0f);
      auto length = std::sqrt(given.x * given.x + given.z * given.z);
      auto px = centre.x + 1e-3 * given.x / length, pz = centre.z + 1e-3 * given.z / length;
      auto in = false;
      for (auto& t : footprint) in = in || inside(t, px, pz);
      if (in || !agree || !(length > 0)) result.inward++;
    }
  }
  return result;
}

std::vector<fs::path> city_folders() {
  auto folders = std::vector<fs::path>{fs::path(SAMPLES_DIR) / "town"};
  auto root = fs::path(SHARED_DIR) / "osm";
  if (fs::is_directory(root))
    for (auto& folder : fs::directory_iterator(root))
      if (folder.is_directory()) folders.push_back(folder.path());
  return folders;
}

}  // namespace

TEST(export_glb, flat_layers_are_a_step_apart_and_walls_face_out) {
  for (auto& folder : city_folders()) {
    SCOPED_TRACE(folder.filename().string());
    auto work = scratch_dir{"export-" + folder.filename().string()};
    auto input = work.path / "input";
    fs::create_directories(input);
    copy_assets(input.string());
    for (auto& entry : fs::directory_iterator(folder))
      if (entry.path().extension() == ".geojson") fs::copy(entry.path(), input / entry.path().filename());
    auto run = run_program(BLOCKGEN_PATH, {"-o", work / "city.glb", input.string()});
    ASSERT_EQ(run.status, 0) << run.out;
    auto first = nlohmann::json{};
    auto found = check_glb(work / "city.glb", first);
    std::cout << folder.filename().string() << ": " << found.flat << " flat meshes, "
              << found.close_pairs << " close overlapping pairs, " << found.inward << " of "
              << found.walls << " wall triangles facing in\n";
    EXPECT_GT(found.flat, 10u);
    EXPECT_EQ(found.close_pairs, 0u);
    EXPECT_LE((double)found.inward, 0.01 * (double)found.walls);
    EXPECT_TRUE(found.georeference);
    // A conversion of the .glb keeps where the city lies.
    run = run_program(CONVERT_PATH, {"--scene", work / "city.glb", "--output", work / "again/city.glb"});
    ASSERT_EQ(run.status, 0) << run.err;
    auto again = glb_scenes(work / "again/city.glb");
    EXPECT_EQ(again["scenes"][0]["extras"]["georeference"],
              first["scenes"][0]["extras"]["georeference"]);
  }
}

// Ranks on small cases: layers of described heights, crossing meshes of one
// height, meshes that only share an edge, and layers lifted once already.
TEST(flat_layers, ranks_separate_what_overlaps_and_only_that) {
  auto scene = scene_data{};
  auto square = [&](const std::string& name, float x, float z, float half, float w, float y) {
    auto instance = add_complete_instance(scene, name);
    instance->shape->positions = {{x - half, y, z - w}, {x + half, y, z - w}, {x + half, y, z + w},
                                  {x - half, y, z + w}};
    instance->shape->triangles = {{0, 1, 2}, {0, 2, 3}};
    return instance;
  };
  square("ground", 0, 0, 60, 60, 0);
  square("park", 0, 0, 10, 10, 0.0001f);
  square("road_a", 0, 0, 5, 1, 0.0003f);
  auto b = square("road_b", 0, 0, 1, 5, 0.0003f);   // crosses road_a
  square("road_c", 7, 0, 2, 1, 0.0003f);            // shares road_a's end edge
  square("lake", 40, 40, 3, 3, 0.0002f);            // on the ground only
  b->frame = {};
  auto pointers = std::vector<const scene_instance*>{};
  for (auto& instance : scene.instances) pointers.push_back(instance.get());
  auto layers = rank_flat_layers(pointers);
  auto expected = std::vector<int>{0, 1, 2, 3, 2, 1};
  EXPECT_EQ(layers.ranks, expected);
  EXPECT_NEAR(layers.step, 1e-4f * std::sqrt(120.f * 120 * 2 + 0.0003f * 0.0003f), 1e-6f);
  // Lifted once, nothing moves again.
  EXPECT_EQ(lift_flat_layers(scene), 5u);
  auto again = rank_flat_layers(pointers);
  EXPECT_EQ(again.ranks, std::vector<int>(6, 0));
}

// Small meshes far apart on a big plan, closer than the grid's cells and
// than a 16-bit share of the plan: pairs that overlap by a little get
// ranks of their own, pairs a little apart keep one rank.
TEST(flat_layers, small_meshes_on_a_big_plan_rank_by_their_exact_overlap) {
  auto scene = scene_data{};
  auto square = [&](const std::string& name, float x, float z, float half, float y) {
    auto instance = add_complete_instance(scene, name);
    instance->shape->positions = {{x - half, y, z - half}, {x + half, y, z - half},
                                  {x + half, y, z + half}, {x - half, y, z + half}};
    instance->shape->triangles = {{0, 1, 2}, {0, 2, 3}};
  };
  square("ground", 0, 0, 5000, 0);
  struct pair_case {
    float gap;  // between the two squares' facing edges; below 0 they overlap
    bool  apart;
  };
  auto cases = std::vector<pair_case>{{-0.02f, true}, {-0.005f, true}, {0.01f, false}, {0.04f, false}};
  auto expected = std::vector<int>{0};
  for (int k = 0; k < 40; k++) {
    auto& c = cases[(size_t)k % cases.size()];
    auto x = -4000.0f + 197.3f * (float)k, z = 3100.0f - 151.7f * (float)k;
    square("p" + std::to_string(k) + "a", x, z, 0.025f, 0.0002f);
    square("p" + std::to_string(k) + "b", x + 0.05f + c.gap, z, 0.025f, 0.0002f);
    expected.push_back(1);
    expected.push_back(c.apart ? 2 : 1);
  }
  auto pointers = std::vector<const scene_instance*>{};
  for (auto& instance : scene.instances) pointers.push_back(instance.get());
  EXPECT_EQ(rank_flat_layers(pointers).ranks, expected);
}

namespace {

struct flat_rect {
  float x0, x1, z0, z1, y;
};

// Rectangles in stacks on a ground of 100 x 100: roads of one height that
// cross (ranks climb), layers a fraction of a step above them, and roofs
// far above, in random places.
std::vector<flat_rect> stacked_rects(unsigned seed) {
  auto random = std::mt19937(seed);
  auto uniform = [&](float a, float b) { return std::uniform_real_distribution<float>(a, b)(random); };
  auto rects = std::vector<flat_rect>{{-50, 50, -50, 50, 0}};  // the ground
  // The step is 1e-4 of the diagonal of the bounds, about 0.014 here.
  const float step = 1e-4f * std::sqrt(100.f * 100 * 2);
  for (int i = 0; i < 600; i++) {
    auto x = std::round(uniform(-45, 40)), z = std::round(uniform(-45, 40));
    auto kind = i % 4;
    if (kind == 0) rects.push_back({x, x + 12, z, z + 1, 0.3f * step});        // roads along x
    else if (kind == 1) rects.push_back({x, x + 1, z, z + 12, 0.3f * step});   // roads along z
    else if (kind == 2) rects.push_back({x, x + 3, z, z + 3, std::round(uniform(1, 4)) * 0.6f * step});
    else rects.push_back({x, x + 4, z, z + 4, 3 + std::round(uniform(0, 3))});  // roofs
  }
  return rects;
}

// The rule of rank_flat_layers, every earlier rectangle tried: lifted a
// step above what it overlaps below, apart from what it overlaps at its
// height. Rectangles overlap by area when both extents overlap.
std::vector<int> ranks_by_every_pair(const std::vector<flat_rect>& rects, float step, float same, float eps) {
  auto order = std::vector<size_t>(rects.size());
  for (size_t i = 0; i < order.size(); i++) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return rects[a].y < rects[b].y; });
  auto ranks = std::vector<int>(rects.size(), 0);
  for (size_t k = 0; k < order.size(); k++) {
    auto& r = rects[order[k]];
    auto low = 0;
    auto taken = std::vector<int>{};
    for (size_t j = 0; j < k; j++) {
      auto& o = rects[order[j]];
      if (!(r.x1 > o.x0 + eps && o.x1 > r.x0 + eps && r.z1 > o.z0 + eps && o.z1 > r.z0 + eps)) continue;
      if (r.y - o.y <= same) {
        taken.push_back(ranks[order[j]]);
      } else {
        auto need = (float)ranks[order[j]] + 1 - (r.y - o.y) / step;
        low = std::max(low, (int)std::ceil(need - 0.01f));
      }
    }
    std::sort(taken.begin(), taken.end());
    auto rank = low;
    for (auto t : taken)
      if (t == rank) rank++;
    ranks[order[k]] = rank;
  }
  return ranks;
}

std::vector<scene_shape> rect_shapes(const std::vector<flat_rect>& rects, std::vector<bbox3f>& boxes) {
  auto shapes = std::vector<scene_shape>(rects.size());
  boxes.clear();
  for (size_t i = 0; i < rects.size(); i++) {
    auto& r = rects[i];
    shapes[i].positions = {{r.x0, r.y, r.z0}, {r.x1, r.y, r.z0}, {r.x1, r.y, r.z1}, {r.x0, r.y, r.z1}};
    shapes[i].triangles = {{0, 1, 2}, {0, 2, 3}};
    boxes.push_back({{r.x0, r.y, r.z0}, {r.x1, r.y, r.z1}});
  }
  return shapes;
}

// The ranks of rectangles on `threads` threads, and those of the rule;
// empty when the ranking fails.
std::vector<int> rect_ranks(const std::vector<flat_rect>& rects, int threads, std::vector<int>& by_rule) {
  auto boxes = std::vector<bbox3f>{};
  auto shapes = rect_shapes(rects, boxes);
  auto result = flat_layer_ranks{};
  auto ranked = rank_flat_boxes(
      boxes, [](size_t, size_t) { return false; },
      [&](size_t i, scene_shape&, frame3f& frame) {
        frame = {};
        return &shapes[i];
      },
      result, threads);
  auto size = result.step / 1e-4f;
  by_rule = ranks_by_every_pair(rects, result.step, 1e-7f * size, 1e-7f * size);
  return ranked ? result.ranks : std::vector<int>{};
}

}  // namespace

// Ranks on one thread and on two (the plan cut in two, and with no second
// thread to be had) are those the rule gives when every pair is tried:
// random stacks with roads across the cut, and a mesh over six crossing
// roads beyond the cut or across it while its own side ranks low, which
// must still rise over them.
TEST(flat_layers, ranks_are_those_of_trying_every_pair) {
  const float step = 1e-4f * std::sqrt(100.f * 100 * 2);
  auto over_stack = [&](const flat_rect& roads, const flat_rect& over) {
    auto rects = std::vector<flat_rect>{{-50, 50, -50, 50, 0}};  // the ground
    // As many small squares on each side keep the cut near the middle.
    for (int i = 0; i < 40; i++)
      for (auto x : {-45.0f, 15.0f})
        rects.push_back({x + (float)(i % 8) * 4, x + (float)(i % 8) * 4 + 1, 20 + (float)(i / 8) * 4,
                         21 + (float)(i / 8) * 4, 0.3f * step});
    for (int i = 0; i < 6; i++) rects.push_back(roads);
    rects.push_back(over);
    return rects;
  };
  struct city_case {
    std::string            what;
    std::vector<flat_rect> rects;
    int                    last = -1;  // the rank of the last rectangle, when told
  };
  auto cases = std::vector<city_case>{
      // The mesh over the roads lies 4.5 steps above their ranks 1 to 6:
      // beyond the reach of what its own side ranks.
      {"across, over roads on the right", over_stack({20, 30, 0, 1, 0.3f * step}, {-20, 25, 0, 1, 4.8f * step}), 3},
      {"on the right, over roads across", over_stack({-10, 10, 10, 11, 0.3f * step}, {6, 9, 10, 11, 4.8f * step}), 3},
  };
  for (unsigned seed : {1u, 2u, 3u}) cases.push_back({"seed " + std::to_string(seed), stacked_rects(seed)});
  for (auto& c : cases) {
    auto expected = std::vector<int>{};
    for (auto [threads, refused] : {std::pair{1, false}, std::pair{2, false}, std::pair{2, true}}) {
      auto refusal = std::optional<thread_refusal>{};
      if (refused) refusal.emplace();
      auto ranks = rect_ranks(c.rects, threads, expected);
      EXPECT_EQ(ranks, expected) << c.what << " on " << threads << " threads" << (refused ? ", none to be had" : "");
      if (refusal) {
        EXPECT_GT(refusal->refused(), 0) << c.what;
      }
    }
    // Crossing roads climb past the layers just above them.
    EXPECT_GE(*std::max_element(expected.begin(), expected.end()), 4) << c.what;
    if (c.last >= 0) {
      EXPECT_EQ(expected.back(), c.last) << c.what;
    }
  }
}

// A shape that cannot be had, or whose reading throws, on either side of
// the cut or across it, ends the ranking on two threads as on one: false
// or the exception, never a wait for the other thread.
TEST(flat_layers, a_shape_that_cannot_be_had_ends_the_ranking_on_any_side) {
  auto rects = stacked_rects(4);
  auto boxes = std::vector<bbox3f>{};
  auto shapes = rect_shapes(rects, boxes);
  struct failure_case {
    const char* where;
    std::function<bool(const flat_rect&)> fails;
  } cases[] = {
      {"left", [](const flat_rect& r) { return r.x1 < -10; }},
      {"right", [](const flat_rect& r) { return r.x0 > 10; }},
      {"across", [](const flat_rect& r) { return r.x0 < -49; }},  // the ground
  };
  for (auto& c : cases)
    for (auto threads : {1, 2})
      for (auto throws : {false, true}) {
        auto asked = 0;
        auto shape_of = [&](size_t i, scene_shape&, frame3f& frame) -> const scene_shape* {
          frame = {};
          if (!c.fails(rects[i])) return &shapes[i];
          asked++;
          if (throws) throw std::runtime_error("unreadable");
          return nullptr;
        };
        auto result = flat_layer_ranks{};
        auto name_less = [](size_t, size_t) { return false; };
        if (throws)
          EXPECT_THROW(rank_flat_boxes(boxes, name_less, shape_of, result, threads), std::runtime_error)
              << c.where << " on " << threads;
        else
          EXPECT_FALSE(rank_flat_boxes(boxes, name_less, shape_of, result, threads))
              << c.where << " on " << threads;
        EXPECT_GE(asked, 1) << c.where;
      }
}

// A city's worth of meshes (sorted in two halves at once, or on one thread
// when no second one can be had): pairs of squares that overlap at one
// height, given in a shuffled order; of each pair the first by name keeps
// rank 0 and the other takes rank 1.
TEST(flat_layers, ranks_of_many_meshes_follow_their_names_in_any_order) {
  auto scene = scene_data{};
  const int pairs = 36000;
  for (int i = 0; i < pairs; i++) {
    auto x = (float)(i % 200) * 3, z = (float)(i / 200) * 3;
    for (auto offset : {0.0f, 0.5f}) {
      // "b..." overlaps "a..." and comes after it by name, not by place.
      auto instance = add_complete_instance(scene, (offset > 0 ? "a" : "b") + std::to_string(i));
      instance->shape->positions = {{x + offset, 0, z}, {x + offset + 1, 0, z}, {x + offset + 1, 0, z + 1},
                                    {x + offset, 0, z + 1}};
      instance->shape->triangles = {{0, 1, 2}, {0, 2, 3}};
    }
  }
  auto pointers = std::vector<const scene_instance*>{};
  for (auto& instance : scene.instances) pointers.push_back(instance.get());
  std::shuffle(pointers.begin(), pointers.end(), std::mt19937(5));
  for (auto refused : {false, true}) {
    auto refusal = std::optional<thread_refusal>{};
    if (refused) refusal.emplace();
    auto layers = rank_flat_layers(pointers);
    ASSERT_EQ(layers.ranks.size(), pointers.size());
    auto wrong = 0;
    for (size_t k = 0; k < pointers.size(); k++)
      wrong += layers.ranks[k] != (pointers[k]->name[0] == 'a' ? 0 : 1);
    EXPECT_EQ(wrong, 0) << (refused ? "no thread to be had" : "");
    if (refusal && std::thread::hardware_concurrency() >= 2) {
      EXPECT_GT(refusal->refused(), 0);
    }
  }
}

// Of two flat meshes that overlap at one height, the first by name keeps
// rank 0, however their names differ: past their sixteenth byte, by length
// alone, in a byte above 127; of two equal names, the one given first.
TEST(flat_layers, the_first_by_name_keeps_its_rank) {
  struct name_pair {
    std::string first, second;
  } pairs[] = {
      {"building_street_0001_a", "building_street_0001_b"},
      {"roadroadroadroad", "roadroadroadroad2"},
      {"road", "road2"},
      {"zebra", "\xc3\xa9tang"},
      {"a", "b"},
      {"ab", "ba"},
      {"abcdefgh1", "abcdefgi0"},
      {"0123456789abcdeeZ", "0123456789abcdefA"},
      {"same", "same"},
  };
  for (auto& p : pairs)
    for (auto swapped : {false, true}) {
      auto scene = scene_data{};
      auto square = [&](const std::string& name, float x) {
        auto instance = add_complete_instance(scene, name);
        instance->shape->positions = {{x, 0, 0}, {x + 1, 0, 0}, {x + 1, 0, 1}, {x, 0, 1}};
        instance->shape->triangles = {{0, 1, 2}, {0, 2, 3}};
        return instance;
      };
      auto a = square(swapped ? p.second : p.first, swapped ? 0.5f : 0);
      auto b = square(swapped ? p.first : p.second, swapped ? 0 : 0.5f);
      auto layers = rank_flat_layers({a, b});
      // The first by name, or the first given of equal names, stays below.
      auto first_is_a = a->name < b->name || a->name == b->name;
      EXPECT_EQ(layers.ranks, (std::vector<int>{first_is_a ? 0 : 1, first_is_a ? 1 : 0}))
          << p.first << " / " << p.second << (swapped ? " swapped" : "");
    }
}

// A courtyard building: outer walls face away from the outline, courtyard
// walls into the hole, whichever way the rings run.
TEST(surface_normals, walls_face_out_of_outlines_and_into_holes) {
  for (auto reversed : {false, true}) {
    auto ring = [&](float h) {
      auto r = std::vector<vec3f>{{-h, 2, -h}, {h, 2, -h}, {h, 2, h}, {-h, 2, h}, {-h, 2, -h}};
      if (reversed) std::reverse(r.begin(), r.end());
      return r;
    };
    auto top = ring(4);
    auto hole = ring(1);
    top.insert(top.end(), hole.begin(), hole.end());
    auto scene = scene_data{};
    auto walls = add_complete_instance(scene, "b_1")->shape;
    auto n = top.size();
    walls->positions = top;
    for (size_t i = 0; i < n; i++) {
      auto p = i == 0 ? n - 1 : i - 1;
      walls->positions.push_back({top[i].x, 0, top[i].z});
      walls->positions.push_back({top[p].x, 0, top[p].z});
      walls->quads.push_back({(int)p, (int)i, (int)(n + 2 * i), (int)(n + 2 * i + 1)});
    }
    EXPECT_EQ(orient_city_surfaces(scene), 1u);
    ASSERT_EQ(walls->quads.size(), 8u);  // the two seams and the closing repeats are gone
    ASSERT_EQ(walls->normals.size(), walls->positions.size());
    for (auto& q : walls->quads) {
      auto& a = walls->positions[(size_t)q.x];
      auto& c = walls->positions[(size_t)q.z];
      auto& nn = walls->normals[(size_t)q.x];
      auto centre = (a + c) * 0.5f;
      auto outer = std::max(std::abs(centre.x), std::abs(centre.z)) > 2;
      // Outward: away from the centre on the outer walls, towards it in the courtyard.
      auto away = nn.x * centre.x + nn.z * centre.z > 0;
      EXPECT_EQ(away, outer);
      auto u = walls->positions[(size_t)q.y] - a, v = c - a;
      auto w = vec3f{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
      EXPECT_GT(w.x * nn.x + w.y * nn.y + w.z * nn.z, 0);  // counter-clockwise from outside
    }
  }
}
