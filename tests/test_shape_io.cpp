// Shape files: PLY, OBJ and C++ literals through load_shape and save_shape.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <random>
#include <regex>

#include "scene/obj_scene.h"
#include "scene/ply.h"
#include "scene/scene.h"
#include "scene/shape_io.h"
#include "support/files.h"
#include "test_util.h"

namespace {

// A unit square in the ground plane as two triangles, with every vertex array.
scene_shape square_triangles() {
  auto shape = scene_shape{};
  shape.positions = {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}};
  shape.normals = {{0, 1, 0}, {0, 1, 0}, {0, 1, 0}, {0, 1, 0}};
  shape.texcoords = {{0, 0}, {1, 0}, {1, 1}, {0.25f, 0.1f}};
  shape.triangles = {{0, 1, 2}, {0, 2, 3}};
  return shape;
}

// Two quads side by side over six distinct positions.
scene_shape strip_quads() {
  auto shape = scene_shape{};
  shape.positions = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {1, 1, 0}, {2, 1, 0}};
  shape.quads = {{0, 1, 4, 3}, {1, 2, 5, 4}};
  return shape;
}

struct load_result {
  bool        ok    = false;
  std::string error = "";
  scene_shape shape = {};
};

load_result load(const std::string& path, bool facevarying = false, bool flip = true) {
  auto result = load_result{};
  result.ok = load_shape(path, result.shape, result.error, facevarying, flip);
  return result;
}

void expect_same_arrays(const scene_shape& a, const scene_shape& b) {
  EXPECT_EQ(a.positions, b.positions);
  EXPECT_EQ(a.normals, b.normals);
  EXPECT_EQ(a.texcoords, b.texcoords);
  EXPECT_EQ(a.colors, b.colors);
  EXPECT_EQ(a.radius, b.radius);
  EXPECT_EQ(a.points, b.points);
  EXPECT_EQ(a.lines, b.lines);
  EXPECT_EQ(a.triangles, b.triangles);
  EXPECT_EQ(a.quads, b.quads);
  EXPECT_EQ(a.quadspos, b.quadspos);
  EXPECT_EQ(a.quadsnorm, b.quadsnorm);
  EXPECT_EQ(a.quadstexcoord, b.quadstexcoord);
}

template <typename T>
bool all_in_range(const std::vector<T>& elements, size_t count) {
  auto ints = [](const auto& e) {
    if constexpr (std::is_same_v<std::decay_t<decltype(e)>, int>) return std::vector<int>{e};
    else if constexpr (std::is_same_v<std::decay_t<decltype(e)>, vec2i>) return std::vector<int>{e.x, e.y};
    else if constexpr (std::is_same_v<std::decay_t<decltype(e)>, vec3i>) return std::vector<int>{e.x, e.y, e.z};
    else return std::vector<int>{e.x, e.y, e.z, e.w};
  };
  for (auto& e : elements)
    for (auto i : ints(e))
      if (i < 0 || (size_t)i >= count) return false;
  return true;
}

// Either a documented failure, or a shape whose indices all address vertices.
void expect_sound_outcome(const load_result& result, const std::string& path) {
  if (!result.ok) {
    // A stated suffix, alone or followed by what is wrong in parentheses.
    auto error = result.error;
    auto stated = [&](const char* suffix) {
      auto head = path + suffix;
      return error == head || (error.rfind(head + " (", 0) == 0 && error.back() == ')');
    };
    EXPECT_TRUE(stated(": parse error") || stated(": read error") || error == path + ": empty shape")
        << error;
    return;
  }
  auto& s = result.shape;
  auto n = s.positions.size();
  EXPECT_GT(n, 0u);
  EXPECT_TRUE(all_in_range(s.points, n));
  EXPECT_TRUE(all_in_range(s.lines, n));
  EXPECT_TRUE(all_in_range(s.triangles, n));
  EXPECT_TRUE(all_in_range(s.quads, n));
  for (auto size : {s.normals.size(), s.texcoords.size(), s.colors.size(), s.radius.size()})
    EXPECT_TRUE(size == 0 || size == n);
}

std::string ply_text(const std::string& body) { return "ply\nformat ascii 1.0\n" + body; }

}  // namespace

TEST(shape_ply, round_trip_keeps_every_array) {
  auto dir = scratch_dir("shape");
  auto shape = square_triangles();
  shape.colors = {{1, 0, 0, 1}, {0, 1, 0, 0.5f}, {0, 0, 1, 1}, {1, 1, 1, 0}};
  shape.radius = {0.1f, 0.2f, 0.3f, 0.4f};
  shape.lines = {{0, 1}, {2, 3}};
  shape.points = {3, 1};
  auto error = std::string{};
  ASSERT_TRUE(save_shape(dir / "s.ply", shape, error, false)) << error;
  auto loaded = load(dir / "s.ply", false, false);
  ASSERT_TRUE(loaded.ok) << loaded.error;
  expect_same_arrays(loaded.shape, shape);

  // Upper-case extensions are the same format.
  ASSERT_TRUE(save_shape(dir / "S.PLY", strip_quads(), error)) << error;
  auto quads = load(dir / "S.PLY");
  ASSERT_TRUE(quads.ok) << quads.error;
  expect_same_arrays(quads.shape, strip_quads());
}

TEST(shape_ply, texcoords_are_flipped_on_save_and_on_load) {
  auto dir = scratch_dir("shape");
  auto shape = scene_shape{};
  shape.positions = {{0, 0, 0}};
  shape.texcoords = {{0.25f, 0.1f}};
  shape.points = {0};
  auto error = std::string{};
  ASSERT_TRUE(save_shape(dir / "t.ply", shape, error, true)) << error;
  auto model = ply_model{};
  ASSERT_TRUE(load_ply(dir / "t.ply", model, error)) << error;
  auto stored = std::vector<vec2f>{};
  ASSERT_TRUE(get_texcoords(model, stored, false));
  EXPECT_FLOAT_EQ(stored[0].x, 0.25f);
  EXPECT_FLOAT_EQ(stored[0].y, 0.9f);

  auto flipped = load(dir / "t.ply", false, true);
  ASSERT_TRUE(flipped.ok) << flipped.error;
  EXPECT_FLOAT_EQ(flipped.shape.texcoords[0].x, 0.25f);
  EXPECT_FLOAT_EQ(flipped.shape.texcoords[0].y, 0.1f);
  auto as_stored = load(dir / "t.ply", false, false);
  EXPECT_FLOAT_EQ(as_stored.shape.texcoords[0].y, 0.9f);
}

TEST(shape_ply, faces_follow_the_row_rules) {
  auto dir = scratch_dir("shape");
  auto face_sizes = [&](const std::string& path) {
    auto model = ply_model{};
    auto error = std::string{};
    EXPECT_TRUE(load_ply(path, model, error)) << error;
    for (auto& element : model.elements)
      if (element.name == "face") return element.properties.at(0).list_sizes;
    return std::vector<uint8_t>{};
  };
  auto error = std::string{};

  auto mixed = scene_shape{};
  mixed.positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  mixed.triangles = {{0, 1, 2}};
  mixed.quads = {{0, 2, 3, 3}};
  ASSERT_TRUE(save_shape(dir / "mixed.ply", mixed, error)) << error;
  EXPECT_EQ(face_sizes(dir / "mixed.ply"), (std::vector<uint8_t>{3, 3}));
  // Both rows come back as triangles since no row has four entries.
  auto loaded = load(dir / "mixed.ply");
  ASSERT_TRUE(loaded.ok) << loaded.error;
  EXPECT_EQ(loaded.shape.triangles, (std::vector<vec3i>{{0, 1, 2}, {0, 2, 3}}));
  EXPECT_TRUE(loaded.shape.quads.empty());

  ASSERT_TRUE(save_shape(dir / "quads.ply", strip_quads(), error)) << error;
  EXPECT_EQ(face_sizes(dir / "quads.ply"), (std::vector<uint8_t>{4, 4}));

  // A pentagon row read as quads: fan triangles with the third index repeated.
  write_file(dir / "penta.ply", ply_text("element vertex 5\nproperty float x\nproperty float y\n"
                                         "property float z\nelement face 2\nproperty list uchar "
                                         "int vertex_indices\nend_header\n0 0 0\n1 0 0\n2 1 0\n"
                                         "1 2 0\n0 1 0\n5 0 1 2 3 4\n4 0 1 2 3\n"));
  auto penta = load(dir / "penta.ply");
  ASSERT_TRUE(penta.ok) << penta.error;
  EXPECT_EQ(penta.shape.quads,
            (std::vector<vec4i>{{0, 1, 2, 2}, {0, 2, 3, 3}, {0, 3, 4, 4}, {0, 1, 2, 3}}));
  auto penta_fv = load(dir / "penta.ply", true);
  ASSERT_TRUE(penta_fv.ok) << penta_fv.error;
  EXPECT_EQ(penta_fv.shape.quadspos, penta.shape.quads);
  EXPECT_TRUE(penta_fv.shape.quadsnorm.empty());
  EXPECT_TRUE(penta_fv.shape.quads.empty());
}

TEST(shape_ply, empty_shape_writes_only_the_header) {
  auto dir = scratch_dir("shape");
  auto error = std::string{};
  ASSERT_TRUE(save_shape(dir / "empty.ply", scene_shape{}, error)) << error;
  EXPECT_EQ(read_file(dir / "empty.ply"),
            "ply\nformat binary_little_endian 1.0\ncomment written by blockgen\n"
            "comment city scene shape\nend_header\n");
  // Read back it has no positions.
  auto loaded = load(dir / "empty.ply");
  EXPECT_FALSE(loaded.ok);
  EXPECT_EQ(loaded.error, dir / "empty.ply" + ": empty shape");
}

TEST(shape_ply, colors_without_alpha_are_opaque) {
  auto dir = scratch_dir("shape");
  write_file(dir / "c.ply", ply_text("element vertex 2\nproperty float x\nproperty float y\n"
                                     "property float z\nproperty float red\nproperty float green\n"
                                     "property float blue\nend_header\n0 0 0 0.5 0.25 1\n"
                                     "1 1 1 0 0 0\n"));
  auto loaded = load(dir / "c.ply");
  ASSERT_TRUE(loaded.ok) << loaded.error;
  EXPECT_EQ(loaded.shape.colors, (std::vector<vec4f>{{0.5f, 0.25f, 1, 1}, {0, 0, 0, 1}}));
  EXPECT_TRUE(loaded.shape.triangles.empty());
}

TEST(shape_ply, failures_name_the_file) {
  auto dir = scratch_dir("shape");
  write_file(dir / "nopos.ply", ply_text("element vertex 2\nproperty float red\nend_header\n1\n2\n"));
  auto nopos = load(dir / "nopos.ply");
  EXPECT_FALSE(nopos.ok);
  EXPECT_EQ(nopos.error, dir / "nopos.ply" + ": empty shape");

  ASSERT_TRUE((write_file(dir / "tree.Ply", "ply\n"), true));
  auto mixed_case = load(dir / "tree.Ply");
  EXPECT_FALSE(mixed_case.ok);
  EXPECT_EQ(mixed_case.error, dir / "tree.Ply" + ": unknown format");

  auto error = std::string{};
  EXPECT_FALSE(save_shape(dir / "tree.Obj", square_triangles(), error));
  EXPECT_EQ(error, dir / "tree.Obj" + ": unknown format");
  EXPECT_FALSE(save_shape(dir / "tree.stl", square_triangles(), error));
  EXPECT_EQ(error, dir / "tree.stl" + ": unknown format");

  auto missing = load(dir / "missing.ply");
  EXPECT_EQ(missing.error, dir / "missing.ply" + ": file not found");
  auto bad_header = (write_file(dir / "bad.ply", "ply\nformat ascii 1.0\nelement\n"), load(dir / "bad.ply"));
  EXPECT_EQ(bad_header.error,
            dir / "bad.ply" + ": parse error (line 3: element without a name and a row count)");
}

TEST(shape_ply, indices_outside_the_vertices_are_rejected) {
  auto dir = scratch_dir("shape");
  auto head = std::string{"element vertex 3\nproperty float x\nproperty float y\nproperty float z\n"};
  struct index_case {
    const char* what;
    std::string body;
    const char* problem;
  };
  auto cases = std::vector<index_case>{
      {"face past the end", head + "element face 1\nproperty list uchar int vertex_indices\n"
                                   "end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n",
       "face index 3 out of range, the file has 3 vertices"},
      {"negative face index", head + "element face 1\nproperty list uchar int vertex_indices\n"
                                     "end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 -1 2\n",
       "face index negative or beyond the int range"},
      {"face index that wraps as unsigned", head + "element face 1\nproperty list uchar uint "
                                           "vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n"
                                           "4 0 1 2 4294967295\n",
       "face index negative or beyond the int range"},
      {"line past the end", head + "element line 1\nproperty list uchar int vertex_indices\n"
                                   "end_header\n0 0 0\n1 0 0\n0 1 0\n2 0 7\n",
       "line index 7 out of range, the file has 3 vertices"},
      {"point past the end", head + "element point 1\nproperty list uchar int vertex_indices\n"
                                    "end_header\n0 0 0\n1 0 0\n0 1 0\n1 3\n",
       "point index 3 out of range, the file has 3 vertices"},
  };
  for (auto& [what, body, problem] : cases) {
    SCOPED_TRACE(what);
    write_file(dir / "bad.ply", ply_text(body));
    for (auto facevarying : {false, true}) {
      auto loaded = load(dir / "bad.ply", facevarying);
      if (facevarying && std::string{what}.find("face") == std::string::npos) {
        // Face-varying loads read faces only.
        EXPECT_TRUE(loaded.ok) << loaded.error;
        continue;
      }
      EXPECT_FALSE(loaded.ok);
      EXPECT_EQ(loaded.error, dir / "bad.ply" + ": parse error (" + problem + ")");
    }
  }
}

TEST(shape_ply, facevarying_quads_become_indexed_vertices) {
  auto dir = scratch_dir("shape");
  auto shape = scene_shape{};
  shape.positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  shape.texcoords = {{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0.5f, 0.5f}, {0.25f, 0.25f}};
  shape.quadspos = {{0, 1, 2, 3}, {1, 0, 3, 2}};
  shape.quadstexcoord = {{0, 1, 2, 3}, {1, 0, 4, 5}};
  auto error = std::string{};
  ASSERT_TRUE(save_shape(dir / "fv.ply", shape, error, false)) << error;
  auto loaded = load(dir / "fv.ply", false, false);
  ASSERT_TRUE(loaded.ok) << loaded.error;
  // Corners (1,1) and (0,0) are shared; (3,4) and (2,5) are new vertices.
  EXPECT_EQ(loaded.shape.quads, (std::vector<vec4i>{{0, 1, 2, 3}, {1, 0, 4, 5}}));
  EXPECT_EQ(loaded.shape.positions,
            (std::vector<vec3f>{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 1, 0}, {1, 1, 0}}));
  EXPECT_EQ(loaded.shape.texcoords, (std::vector<vec2f>{{0, 0}, {1, 0}, {1, 1}, {0, 1},
                                                        {0.5f, 0.5f}, {0.25f, 0.25f}}));

  // Indices that address nothing cannot be converted: nothing is written.
  shape.quadstexcoord[1].w = 6;
  EXPECT_FALSE(save_shape(dir / "bad.ply", shape, error));
  EXPECT_EQ(error, dir / "bad.ply" + ": write error");
  EXPECT_FALSE(path_exists(dir / "bad.ply"));

  // Vertex arrays of different lengths cannot share one element either.
  auto uneven = square_triangles();
  uneven.normals.pop_back();
  EXPECT_FALSE(save_shape(dir / "uneven.ply", uneven, error));
  EXPECT_EQ(error, dir / "uneven.ply" + ": write error");
  EXPECT_FALSE(path_exists(dir / "uneven.ply"));
}

TEST(shape_cpp, layout_is_exact) {
  auto dir = scratch_dir("shape");
  auto shape = scene_shape{};
  shape.positions = {{1, 2, 3}, {0.5f, -1, 0}};
  shape.texcoords = {{0.25f, 0.1f}};
  shape.radius = {2};
  shape.points = {0};
  shape.lines = {{0, 1}};
  shape.triangles = {{0, 1, 2}};
  shape.quadstexcoord = {{4, 5, 6, -7}};
  auto error = std::string{};
  ASSERT_TRUE(save_shape(dir / "s.cpp", shape, error)) << error;
  EXPECT_EQ(read_file(dir / "s.cpp"),
            "auto shape_positions = vector<vec3f>{\n"
            "{1.000000,2.000000,3.000000},\n"
            "{0.500000,-1.000000,0.000000},\n"
            "};\n\n"
            "auto shape_texcoords = vector<vec2f>{\n"
            "{0.250000,0.100000},\n"
            "};\n\n"
            "auto shape_radius = vector<float>{\n"
            "2.000000,\n"
            "};\n\n"
            "auto shape_points = vector<int>{\n"
            "0,\n"
            "};\n\n"
            "auto shape_lines = vector<vec2i>{\n"
            "{0,1},\n"
            "};\n\n"
            "auto shape_triangles = vector<vec3i>{\n"
            "{0,1,2},\n"
            "};\n\n"
            "auto shape_quadstexcoord = vector<vec4i>{\n"
            "{4,5,6,-7},\n"
            "};\n\n");
  ASSERT_TRUE(save_shape(dir / "S.CPP", scene_shape{}, error)) << error;
  EXPECT_EQ(read_file(dir / "S.CPP"), "");
}

TEST(shape_obj, triangles_and_quads_round_trip) {
  auto dir = scratch_dir("shape");
  auto error = std::string{};
  auto triangles = square_triangles();
  ASSERT_TRUE(save_shape(dir / "t.obj", triangles, error)) << error;
  auto text = read_file(dir / "t.obj");
  EXPECT_NE(text.find("v 1 0 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("vn 0 1 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("vt 0.25 0.9\n"), std::string::npos) << text;
  EXPECT_NE(text.find("f 1/1/1 3/3/3 4/4/4\n"), std::string::npos) << text;
  auto loaded = load(dir / "t.obj");
  ASSERT_TRUE(loaded.ok) << loaded.error;
  EXPECT_EQ(loaded.shape.positions, triangles.positions);
  EXPECT_EQ(loaded.shape.normals, triangles.normals);
  EXPECT_EQ(loaded.shape.triangles, triangles.triangles);
  ASSERT_EQ(loaded.shape.texcoords.size(), 4u);
  EXPECT_FLOAT_EQ(loaded.shape.texcoords[3].y, 0.1f);

  auto quads = strip_quads();
  quads.quads.push_back({0, 1, 4, 4});
  ASSERT_TRUE(save_shape(dir / "Q.OBJ", quads, error)) << error;
  text = read_file(dir / "Q.OBJ");
  EXPECT_NE(text.find("f 1 2 5 4\n"), std::string::npos) << text;
  EXPECT_NE(text.find("f 1 2 5\n"), std::string::npos) << text;
  auto loaded_quads = load(dir / "Q.OBJ");
  ASSERT_TRUE(loaded_quads.ok) << loaded_quads.error;
  expect_same_arrays(loaded_quads.shape, quads);
}

TEST(shape_obj, lines_points_colors_and_facevarying) {
  auto dir = scratch_dir("shape");
  auto error = std::string{};
  auto lines = strip_quads();
  lines.quads.clear();
  lines.lines = {{0, 1}, {1, 2}, {4, 5}};
  lines.colors = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}, {1, 1, 0, 1}, {0, 1, 1, 1}, {1, 0, 1, 1}};
  ASSERT_TRUE(save_shape(dir / "l.obj", lines, error)) << error;
  auto loaded = load(dir / "l.obj");
  ASSERT_TRUE(loaded.ok) << loaded.error;
  expect_same_arrays(loaded.shape, lines);

  auto points = strip_quads();
  points.quads.clear();
  points.points = {5, 0, 3};
  ASSERT_TRUE(save_shape(dir / "p.obj", points, error)) << error;
  EXPECT_NE(read_file(dir / "p.obj").find("p 6\n"), std::string::npos);
  auto loaded_points = load(dir / "p.obj");
  ASSERT_TRUE(loaded_points.ok) << loaded_points.error;
  expect_same_arrays(loaded_points.shape, points);

  auto fv = scene_shape{};
  fv.positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  fv.normals = {{0, 0, 1}};
  fv.texcoords = {{0, 0}, {1, 0}, {1, 1}};
  fv.quadspos = {{0, 1, 2, 3}, {0, 2, 3, 3}};
  fv.quadsnorm = {{0, 0, 0, 0}, {0, 0, 0, 0}};
  fv.quadstexcoord = {{0, 1, 2, 0}, {2, 1, 0, 0}};
  ASSERT_TRUE(save_shape(dir / "fv.obj", fv, error, false)) << error;
  EXPECT_NE(read_file(dir / "fv.obj").find("f 1/1/1 2/2/1 3/3/1 4/1/1\n"), std::string::npos);
  auto loaded_fv = load(dir / "fv.obj", true, false);
  ASSERT_TRUE(loaded_fv.ok) << loaded_fv.error;
  expect_same_arrays(loaded_fv.shape, fv);

  // Loaded as an indexed shape, each distinct corner becomes a vertex.
  auto indexed = load(dir / "fv.obj", false, false);
  ASSERT_TRUE(indexed.ok) << indexed.error;
  EXPECT_EQ(indexed.shape.quads, (std::vector<vec4i>{{0, 1, 2, 3}, {4, 5, 3, 3}}));
  ASSERT_EQ(indexed.shape.positions.size(), 6u);
  EXPECT_EQ(indexed.shape.positions[4], (vec3f{0, 0, 0}));
  EXPECT_EQ(indexed.shape.texcoords[4], (vec2f{1, 1}));
  EXPECT_EQ(indexed.shape.positions[5], (vec3f{1, 1, 0}));
  EXPECT_EQ(indexed.shape.texcoords[5], (vec2f{1, 0}));
  EXPECT_EQ(indexed.shape.normals.size(), 6u);
}

namespace {

// An OBJ text and what its reader says of it.
struct obj_case {
  const char* what;
  std::string text;
  const char* message;
};

}  // namespace

TEST(shape_obj, bad_files_are_refused) {
  auto dir = scratch_dir("shape");
  auto square = std::string{"v 0 0 0\nv 1 0 0\nv 1 1 0\nvt 0 0\n"};
  auto cases = std::vector<obj_case>{
      {"index past the end", square + "f 1 2 9\n",
       ": parse error (line 5: face index 9 out of range, the file has 3 vertices)"},
      {"no elements", square, ": empty shape"},
      {"empty file", "", ": empty shape"},
      {"two objects", square + "o a\nf 1 2 3\no b\nf 3 2 1\n", ": empty shape"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dir / "bad.obj", c.text);
    auto loaded = load(dir / "bad.obj");
    EXPECT_FALSE(loaded.ok);
    EXPECT_EQ(loaded.error, dir / "bad.obj" + c.message);
  }
  auto relative = (write_file(dir / "rel.obj", square + "f -3 -2 -1\n"), load(dir / "rel.obj"));
  ASSERT_TRUE(relative.ok) << relative.error;
  EXPECT_EQ(relative.shape.triangles, (std::vector<vec3i>{{0, 1, 2}}));

  auto error = std::string{};
  auto uneven = square_triangles();
  uneven.texcoords.pop_back();
  EXPECT_FALSE(save_shape(dir / "uneven.obj", uneven, error));
  EXPECT_EQ(error, dir / "uneven.obj" + ": write error");
  EXPECT_FALSE(path_exists(dir / "uneven.obj"));

  auto nothing = strip_quads();
  nothing.quads.clear();
  EXPECT_FALSE(save_shape(dir / "none.obj", nothing, error));
  EXPECT_EQ(error, dir / "none.obj" + ": empty shape");
  EXPECT_EQ(load(dir / "missing.obj").error, dir / "missing.obj" + ": file not found");
}

// The shape loader and the scene reader read OBJ text alike: the same
// refusals, and the same triangles over the same corners.
namespace {

struct corner_values {
  vec3f position = {};
  vec2f texcoord = {};
  bool  operator==(const corner_values& other) const {
    return position == other.position && texcoord == other.texcoord;
  }
};

// Every triangle as its three corners' values; quads as their two fan triangles.
std::vector<corner_values> triangle_corners(const scene_shape& shape) {
  auto corners = std::vector<corner_values>{};
  auto add = [&](int v) {
    auto texcoord = shape.texcoords.empty() ? vec2f{} : shape.texcoords[(size_t)v];
    corners.push_back({shape.positions[(size_t)v], texcoord});
  };
  for (auto& t : shape.triangles) add(t.x), add(t.y), add(t.z);
  for (auto& q : shape.quads) {
    add(q.x), add(q.y), add(q.z);
    if (q.w != q.z) add(q.x), add(q.z), add(q.w);
  }
  return corners;
}

std::string read_as_scene(const std::string& path, const std::string& text,
                          std::vector<corner_values>& corners) {
  auto scene = loaded_scene{};
  auto error = std::string{};
  if (!parse_obj_scene(path, text, no_files(), scene, error)) return error;
  for (auto& shape : scene.scene.shapes) {
    auto more = triangle_corners(*shape);
    corners.insert(corners.end(), more.begin(), more.end());
  }
  return "";
}

}  // namespace

TEST(shape_obj, refusals_name_the_line) {
  auto square = std::string{"v 0 0 0\nv 1 0 0\nv 1 1 0\nvt 0 0\n"};
  auto big_face = std::string{"f"};
  for (auto k = 0; k < 256; k++) big_face += " " + std::to_string(1 + k % 3);
  auto cases = std::vector<obj_case>{
      {"relative index before the start", square + "f 1 2 -9\n",
       "line 5: face index -9 out of range, the file has 3 vertices"},
      {"index zero", square + "f 0 1 2\n", "line 5: face index 0, but indices count from 1"},
      {"texcoord index past the end", square + "f 1/1 2/2 3/1\n",
       "line 5: face texture coordinate index 2 out of range, the file has 1 texture coordinate"},
      {"normal index past the end", square + "f 1//1 2//1 3//1\n",
       "line 5: face normal index 1 out of range, the file has 0 normals"},
      {"line index past the end", square + "f 1 2 3\nl 1 5\n",
       "line 6: line index 5 out of range, the file has 3 vertices"},
      {"point index past the end", square + "f 1 2 3\np 2\np 9\n",
       "line 7: point index 9 out of range, the file has 3 vertices"},
      {"zero texture coordinate index", square + "f 1/1 2/0 3/1\n",
       "line 5: face texture coordinate index 0, but indices count from 1"},
      {"zero normal index", square + "vn 0 0 1\nf 1//1 2//0 3//1\n",
       "line 6: face normal index 0, but indices count from 1"},
      {"relative normal index before the start", square + "vn 0 0 1\nf 1//1 2//1 3//2\n",
       "line 6: face normal index 2 out of range, the file has 1 normal"},
      {"coordinate not finite", "v 0 0 0\n# far away\nv 1e999 0 0\nv 0 1 0\nf 1 2 3\n",
       "line 3: a vertex coordinate is not a finite number"},
      {"face of 256 corners", square + big_face + "\n", "line 5: a face of 256 corners, more than 255"},
      {"CR, CR LF and blank lines counted as lines", "v 0 0 0\r\nv 1 0 0\rv 0 1 0\r\n\r\n  \tf 1 2 7\r\n",
       "line 5: face index 7 out of range, the file has 3 vertices"},
      {"the first of two problems", square + "f 1 2 3\nf 1 2 8\nf 1 2 9\n",
       "line 6: face index 8 out of range, the file has 3 vertices"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto expected = std::string{"in.obj: parse error ("} + c.message + ")";
    auto shape = scene_shape{};
    auto error = std::string{};
    EXPECT_FALSE(parse_shape("in.obj", c.text, shape, error));
    EXPECT_EQ(error, expected);
    auto corners = std::vector<corner_values>{};
    EXPECT_EQ(read_as_scene("in.obj", c.text, corners), expected);
  }

  // A face of fewer than three corners is no face: what it refers to is not
  // read, and the file loads.
  auto shape = scene_shape{};
  auto error = std::string{};
  EXPECT_TRUE(parse_shape("in.obj", square + "f 1 9\nf 1 2 3\n", shape, error)) << error;
  EXPECT_EQ(shape.triangles, (std::vector<vec3i>{{0, 1, 2}}));
}

TEST(shape_obj, shape_and_scene_readers_give_the_same_geometry) {
  auto grid = std::string{"v 0 0 0\nv 1 0 0\nv 2 0 0\nv 0 1 0\nv 1 1 0\nv 2 1 0\n"
                          "vt 0 0\nvt 0.5 0\nvt 1 0\nvt 0 1\nvt 0.5 1\nvt 1 1\n"};
  struct same_case {
    const char* what;
    std::string text;
    size_t      triangles;
  };
  auto cases = std::vector<same_case>{
      {"triangles sharing vertices", grid + "f 1 2 5\nf 1 5 4\nf 2 3 6\n", 3},
      {"a quad and a pentagon", grid + "f 1 2 5 4\nf 1 2 3 6 5\n", 5},
      {"texture coordinates by their own indices", grid + "f 1/6 2/5 5/4\nf 2/1 3/2 6/3 5/4\n", 3},
      {"relative indices", grid + "f -6 -5 -2\nf -5/-5 -4/-4 -1/-1\n", 2},
      {"unused and reordered vertices", grid + "f 6 2 4\nf 3 1 5\n", 2},
      {"normals the scene leaves out", grid + "vn 0 0 1\nf 1//1 2//1 5//1 4//1\n", 2},
      {"one object, a group, a material the file does not define",
       "o house\n" + grid + "g wall\nusemtl brick\nf 1/1 2/2 5/5\n", 1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto shape = scene_shape{};
    auto error = std::string{};
    ASSERT_TRUE(parse_shape("in.obj", c.text, shape, error)) << error;
    auto from_shape = triangle_corners(shape);
    auto from_scene = std::vector<corner_values>{};
    ASSERT_EQ(read_as_scene("in.obj", c.text, from_scene), "");
    EXPECT_EQ(from_shape.size(), 3 * c.triangles);
    EXPECT_TRUE(from_shape == from_scene);
  }
}

TEST(shape_obj, reader_keeps_the_console_clean) {
  auto dir = scratch_dir("shape");
  write_file(dir / "noisy.obj", "mtllib missing.mtl\nusemtl nothing\nv 0 0 0\nv 1 0 0\n"
                                "f 1 2\nf 1 2 5\nbogus line\n");
  // Both standard streams go to a file while the reader runs.
  std::fflush(stdout), std::fflush(stderr);
  auto saved_out = dup(1), saved_err = dup(2);
  auto sink = open((dir / "streams").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(sink, 0);
  dup2(sink, 1), dup2(sink, 2);
  auto loaded = load(dir / "noisy.obj");
  std::fflush(stdout), std::fflush(stderr);
  std::cout.flush(), std::cerr.flush();
  dup2(saved_out, 1), dup2(saved_err, 2);
  close(sink), close(saved_out), close(saved_err);
  EXPECT_FALSE(loaded.ok);
  EXPECT_EQ(read_file(dir / "streams"), "");
}

TEST(shape_fuzz, damaged_ply_files_fail_cleanly) {
  auto dir = scratch_dir("fuzz");
  auto shape = strip_quads();
  shape.triangles = {{0, 1, 3}};
  shape.normals = std::vector<vec3f>(6, vec3f{0, 0, 1});
  shape.lines = {{0, 5}};
  shape.points = {2};
  auto error = std::string{};
  ASSERT_TRUE(save_shape(dir / "valid.ply", shape, error)) << error;
  auto binary = read_file(dir / "valid.ply");
  auto model = ply_model{};
  ASSERT_TRUE(load_ply(dir / "valid.ply", model, error));
  model.format = ply_format::ascii;
  ASSERT_TRUE(save_ply(dir / "valid.ply", model, error)) << error;
  auto ascii = read_file(dir / "valid.ply");

  auto path = dir / "case.ply";
  auto failures = 0;
  for (auto& original : {binary, ascii}) {
    // Every prefix but the whole file is missing data.
    for (auto size = size_t{0}; size < original.size(); size++) {
      write_file(path, original.substr(0, size));
      auto loaded = load(path);
      expect_sound_outcome(loaded, path);
      failures += loaded.ok ? 0 : 1;
    }
    auto random = std::mt19937{20240611};
    for (auto round = 0; round < 1500; round++) {
      auto damaged = original;
      auto flips = 1 + random() % 4;
      for (auto k = 0u; k < flips; k++) damaged[random() % damaged.size()] = (char)(random() % 256);
      write_file(path, damaged);
      expect_sound_outcome(load(path), path);
    }
  }
  EXPECT_GT(failures, 0);
}

// An independent reader agrees on what our files hold.
namespace {

bool have_assimp() { return std::system("command -v assimp >/dev/null 2>&1") == 0; }

// The counts that `assimp info` prints for the file (faces after its own
// triangulation); -1 when absent.
std::pair<int, int> assimp_counts(const std::string& path) {
  auto run = run_program("assimp", {"info", path});
  auto count = [&](const char* label) {
    auto match = std::smatch{};
    auto pattern = std::regex{std::string{"\n"} + label + ":\\s+(\\d+)"};
    return std::regex_search(run.out, match, pattern) ? std::stoi(match[1]) : -1;
  };
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  return {count("Vertices"), count("Faces")};
}

}  // namespace

TEST(shape_assimp, reads_our_ply_and_obj_files) {
  if (!have_assimp()) GTEST_SKIP() << "assimp is not on the PATH";
  auto dir = scratch_dir("assimp");
  auto error = std::string{};

  // Six distinct vertices; each quad is read as two triangles.
  ASSERT_TRUE(save_shape(dir / "strip.ply", strip_quads(), error)) << error;
  EXPECT_EQ(assimp_counts(dir / "strip.ply"), std::make_pair(6, 4));

  auto model = ply_model{};
  model.format = ply_format::ascii;
  ASSERT_TRUE(add_positions(model, strip_quads().positions));
  ASSERT_TRUE(add_faces(model, {{0, 1, 4}, {0, 4, 3}, {1, 2, 5}}, {}));
  ASSERT_TRUE(save_ply(dir / "ascii.ply", model, error)) << error;
  EXPECT_EQ(assimp_counts(dir / "ascii.ply"), std::make_pair(6, 3));

  model.format = ply_format::binary_big_endian;
  ASSERT_TRUE(save_ply(dir / "big.ply", model, error)) << error;
  EXPECT_EQ(assimp_counts(dir / "big.ply"), std::make_pair(6, 3));

  ASSERT_TRUE(save_shape(dir / "strip.obj", strip_quads(), error)) << error;
  EXPECT_EQ(assimp_counts(dir / "strip.obj"), std::make_pair(6, 4));

  // Texture coordinates that map the square evenly, so that both triangles
  // agree on the tangents at their shared corners.
  auto textured = square_triangles();
  textured.texcoords[3] = {0, 1};
  ASSERT_TRUE(save_shape(dir / "square.obj", textured, error)) << error;
  EXPECT_EQ(assimp_counts(dir / "square.obj"), std::make_pair(4, 2));
}
