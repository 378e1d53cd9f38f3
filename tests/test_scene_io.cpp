#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <tuple>

#include "scene/json_scene.h"
#include "scene/obj_scene.h"
#include "scene/pbrt_scene.h"
#include "scene/scene_files.h"
#include "scene/scene_io.h"
#include "scene/scene_stats.h"
#include "scene/shape.h"
#include "scene/shape_io.h"
#include "support/files.h"
#include "test_util.h"

using progress_call = std::tuple<std::string, int, int>;
using progress_calls = std::vector<progress_call>;

// Saves through one writer into a scratch folder, recording progress.
struct scene_output {
  scratch_dir    dir;
  std::string    error = "";
  progress_calls calls = {};

  explicit scene_output(const std::string& tag) : dir(tag) {}
  progress_callback recorder() {
    return [this](const std::string& m, int c, int t) { calls.emplace_back(m, c, t); };
  }
};

static scene_shape* add_triangle(scene_data& scene, const std::string& name) {
  auto shape = add_shape(scene, name);
  shape->positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  shape->triangles = {{0, 1, 2}};
  return shape;
}

// ---------------------------------------------------------------------------
// Dispatch

TEST(save_scene_dispatch, extensions_match_in_lower_or_upper_case_only) {
  auto scene = scene_data{};
  add_camera(scene);
  auto out = scene_output{"dispatch"};
  EXPECT_TRUE(save_scene(out.dir / "out.JSON", scene, out.error)) << out.error;
  auto document = nlohmann::json::parse(read_file(out.dir / "out.JSON"), nullptr, false);
  EXPECT_TRUE(document.is_object());
  EXPECT_TRUE(save_scene(out.dir / "out.OBJ", scene, out.error)) << out.error;
  EXPECT_TRUE(path_exists(out.dir / "out.mtl"));
  EXPECT_TRUE(save_scene(out.dir / "out.pbrt", scene, out.error)) << out.error;
  EXPECT_NE(read_file(out.dir / "out.pbrt").find("WorldBegin"), std::string::npos);

  for (auto name : {"out.Json", "city.txt", "out.Obj", "out.pBRT", "noextension"}) {
    auto filename = out.dir / name;
    EXPECT_FALSE(save_scene(filename, scene, out.error, out.recorder())) << name;
    EXPECT_EQ(out.error, filename + ": unknown format");
    EXPECT_FALSE(path_exists(filename)) << name;
  }
  EXPECT_TRUE(out.calls.empty());
}

TEST(save_scene_dispatch, ply_output_keeps_only_the_first_shape) {
  auto scene = scene_data{};
  auto first = add_shape(scene, "first");
  first->positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  first->quads = {{0, 1, 2, 3}};
  add_triangle(scene, "second");
  add_triangle(scene, "third");
  add_complete_instance(scene, "ignored");
  auto out = scene_output{"single-ply"};
  auto filename = out.dir / "single.ply";
  ASSERT_TRUE(save_scene(filename, scene, out.error, out.recorder())) << out.error;
  EXPECT_EQ(out.calls, (progress_calls{{"save scene", 0, 1}, {"save done", 1, 1}}));
  auto loaded = scene_shape{};
  ASSERT_TRUE(load_shape(filename, loaded, out.error)) << out.error;
  EXPECT_EQ(loaded.positions.size(), 4u);
  EXPECT_EQ(loaded.quads.size(), 1u);
  // Nothing but the one file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.dir.path), {}), 1);
}

TEST(save_scene_dispatch, ply_output_fails_without_shapes_or_with_its_own_error) {
  auto scene = scene_data{};
  auto out = scene_output{"single-ply"};
  auto filename = out.dir / "single.ply";
  EXPECT_FALSE(save_scene(filename, scene, out.error, out.recorder()));
  EXPECT_EQ(out.error, filename + ": empty shape");
  EXPECT_TRUE(out.calls.empty());
  EXPECT_FALSE(path_exists(filename));

  add_triangle(scene, "s");
  auto missing = out.dir / "missing/single.PLY";
  EXPECT_FALSE(save_scene(missing, scene, out.error));
  EXPECT_EQ(out.error, missing + ": file not found");
}

// ---------------------------------------------------------------------------
// Statistics

TEST(scene_stats, lines_count_the_scene_with_fixed_labels_and_padding) {
  auto scene = scene_data{};
  add_camera(scene);
  add_camera(scene);
  auto shape = add_shape(scene, "s");
  shape->points = {0, 1};
  shape->lines = {{0, 1}};
  shape->triangles = {{0, 1, 2}, {0, 2, 1}};
  shape->quads = {{0, 1, 2, 3}};
  shape->quadspos = {{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}};
  shape->positions = {{0, 0, 0}, {2, 4, 6}};
  auto other = add_shape(scene, "t");
  other->triangles = {{0, 0, 0}};
  auto instance = add_instance(scene, "i");
  instance->shape = shape;
  add_environment(scene, "e");
  auto ldr = add_texture(scene, "l");
  ldr->ldr = {3, 2, std::vector<vec4b>(6)};
  auto hdr = add_texture(scene, "h");
  hdr->hdr = {5, 1, std::vector<vec4f>(5)};
  add_material(scene, "not counted");

  EXPECT_EQ(format_scene_stats(scene), (std::vector<std::string>{
                                           "cameras:                  2",
                                           "shapes:                   2",
                                           "environments:             1",
                                           "textures:                 2",
                                           "points:                   2",
                                           "lines:                    1",
                                           "triangles:                3",
                                           "quads:                    1",
                                           "fvquads:                 3",
                                           "texels4b:                 6",
                                           "texels4f:                 5",
                                           "center:       1.000000 2.000000 3.000000",
                                           "size:         2.000000 4.000000 6.000000",
                                       }));
}

TEST(scene_stats, long_counts_are_written_whole_in_64_bits) {
  // The texel count comes from the sizes alone, so no pixels are needed
  // for a thirteen-digit number (past 32 bits).
  auto scene = scene_data{};
  auto texture = add_texture(scene, "big");
  texture->ldr.width = 1000000;
  texture->ldr.height = 2000000;
  auto lines = format_scene_stats(scene);
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[9], "texels4b:     2000000000000");
}

TEST(scene_stats, a_scene_without_instances_has_the_empty_box) {
  auto scene = scene_data{};
  add_triangle(scene, "unplaced");
  auto lines = format_scene_stats(scene);
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[11], "center:       0.000000 0.000000 0.000000");
  EXPECT_EQ(lines[12], "size:         -inf -inf -inf");
}

// ---------------------------------------------------------------------------
// Writer helpers

TEST(scene_writer_names, file_names_stay_inside_their_folder) {
  for (auto name : {"building_7", "tree 1", "草地", "a.b", "con1", "nul_x", "..x"})
    EXPECT_TRUE(is_valid_file_name(name)) << name;
  for (auto name : {"", ".", "..", "a/b", "a\\b", "a:b", "a*b", "a?b", "a\"b", "a<b", "a>b",
                    "a|b", "a\tb", "a\x7f", "CON", "nul.txt", "Lpt9", "com0", "bad\xff",
                    "\xc0\xaf", "\xed\xa0\x80"})
    EXPECT_FALSE(is_valid_file_name(name)) << name;
}

TEST(scene_writer_names, same_named_materials_merge_field_by_field) {
  auto scene = scene_data{};
  auto cap = add_material(scene, "b");
  cap->color = {1, 0, 0};
  cap->specular = 0.5f;
  add_material(scene, "other");
  auto roof = add_material(scene, "b");  // a default record changes nothing
  roof->roughness = 0.25f;
  auto texture = add_texture(scene, "t");
  roof->color_tex = texture;
  auto merged = merge_materials_by_name(scene);
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_EQ(merged[0].name, "b");
  EXPECT_EQ(merged[0].color, (vec3f{1, 0, 0}));
  EXPECT_EQ(merged[0].specular, 0.5f);
  EXPECT_EQ(merged[0].roughness, 0.25f);
  EXPECT_EQ(merged[0].color_tex, texture);
  EXPECT_EQ(merged[1].name, "other");
}

// ---------------------------------------------------------------------------
// OBJ and PBRT scenes

// A small city: a textured wall, a road, a shared shape placed three times
// (once rotated, scaled and moved, once without material), an emitting
// lamp, a tree's own empty shape, a lines-only fence, the sky and a camera.
struct city_fixture {
  scene_data scene;
  city_fixture() {
    auto camera = add_camera(scene);
    camera->frame = {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}, {5, 1, 2}};
    add_texture(scene, "unused_placeholder");  // no pixels: nothing to write
    auto facade = add_texture(scene, "facade");
    facade->ldr = {2, 1, {{255, 0, 0, 255}, {0, 255, 0, 255}}};
    auto sky = add_texture(scene, "sky");
    sky->hdr = {2, 1, {{1, 2, 3, 0}, {4, 5, 6, 1}}};
    auto environment = add_environment(scene, "sky");
    environment->emission = {1, 1, 1};
    environment->emission_tex = sky;

    auto wall = add_material(scene, "wall");
    wall->color = {0.5f, 0.25f, 0.125f};
    wall->color_tex = facade;
    auto road = add_material(scene, "road");
    road->color = {0.2f, 0.2f, 0.2f};
    road->specular = 0.7f;
    road->roughness = 0.9f;
    auto lamp = add_material(scene, "lamp");
    lamp->emission = {5, 5, 5};

    auto tri = add_triangle(scene, "tri");
    tri->normals = {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
    tri->texcoords = {{0, 0}, {1, 0}, {0, 1}};
    auto place = [&](const std::string& name, scene_shape* shape, scene_material* material,
                     const frame3f& frame) {
      auto instance = add_instance(scene, name);
      instance->shape = shape;
      instance->material = material;
      instance->frame = frame;
    };
    place("a", tri, wall, {});
    // A quarter turn about y, twice the size, ten units along x.
    place("b", tri, road, {{0, 0, -2}, {0, 2, 0}, {2, 0, 0}, {10, 0, 0}});
    place("c", add_shape(scene, "tree_own"), road, {});
    place("d", tri, nullptr, {});
    auto fence = add_shape(scene, "fence");
    fence->positions = {{0, 0, 0}, {1, 0, 0}};
    fence->lines = {{0, 1}};
    place("fence", fence, road, {});
    place("lamp", tri, lamp, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 3, 0}});
  }
};

// The statements of a text file, one vector of blank-separated words per line.
static std::vector<std::vector<std::string>> read_statements(const std::string& path) {
  auto lines = std::vector<std::vector<std::string>>{};
  auto stream = std::istringstream{read_file(path)};
  for (auto line = std::string{}; std::getline(stream, line);) {
    auto words = std::vector<std::string>{};
    auto in = std::istringstream{line};
    for (auto word = std::string{}; in >> word;) words.push_back(word);
    if (!words.empty() && words[0][0] != '#') lines.push_back(words);
  }
  return lines;
}

static std::vector<std::vector<std::string>> select(
    const std::vector<std::vector<std::string>>& statements, const std::string& keyword) {
  auto selected = std::vector<std::vector<std::string>>{};
  for (auto& s : statements)
    if (s[0] == keyword) selected.push_back(s);
  return selected;
}

using words = std::vector<std::string>;

TEST(obj_scene, instances_are_placed_in_world_space_with_global_indices) {
  auto city = city_fixture{};
  auto out = scene_output{"obj-scene"};
  auto filename = out.dir / "city.obj";
  ASSERT_TRUE(save_obj_scene(filename, city.scene, out.error, out.recorder())) << out.error;
  auto obj = read_statements(filename);

  EXPECT_EQ(select(obj, "mtllib"), (std::vector<words>{{"mtllib", "city.mtl"}}));
  // The empty tree shape is left out; the fence keeps its line.
  EXPECT_EQ(select(obj, "o"), (std::vector<words>{
                                  {"o", "a"}, {"o", "b"}, {"o", "d"}, {"o", "fence"}, {"o", "lamp"}}));
  auto materials = select(obj, "usemtl");
  ASSERT_EQ(materials.size(), 5u);
  EXPECT_EQ(materials[0][1], "wall");
  EXPECT_EQ(materials[1][1], "road");
  auto fallback = materials[2][1];
  EXPECT_TRUE(fallback != "wall" && fallback != "road" && fallback != "lamp");

  auto v = select(obj, "v");
  ASSERT_EQ(v.size(), 3u * 4 + 2);
  EXPECT_EQ(v[3], (words{"v", "10", "0", "0"}));
  EXPECT_EQ(v[4], (words{"v", "10", "0", "-2"}));
  EXPECT_EQ(v[5], (words{"v", "10", "2", "0"}));
  EXPECT_EQ(v[11], (words{"v", "0", "3", "0"}));
  // Normals turn with the frame and keep unit length despite the scale.
  auto vn = select(obj, "vn");
  ASSERT_EQ(vn.size(), 12u);  // the fence has none
  EXPECT_EQ(vn[0], (words{"vn", "0", "0", "1"}));
  EXPECT_EQ(vn[3], (words{"vn", "1", "0", "0"}));
  // Texture coordinates count v up.
  auto vt = select(obj, "vt");
  ASSERT_EQ(vt.size(), 12u);
  EXPECT_EQ(vt[0], (words{"vt", "0", "1"}));
  EXPECT_EQ(vt[2], (words{"vt", "0", "0"}));

  EXPECT_EQ(select(obj, "f"), (std::vector<words>{{"f", "1/1/1", "2/2/2", "3/3/3"},
                                                  {"f", "4/4/4", "5/5/5", "6/6/6"},
                                                  {"f", "7/7/7", "8/8/8", "9/9/9"},
                                                  {"f", "12/10/10", "13/11/11", "14/12/12"}}));
  EXPECT_EQ(select(obj, "l"), (std::vector<words>{{"l", "10", "11"}}));
}

TEST(obj_scene, materials_and_textures_are_written_beside_the_scene) {
  auto city = city_fixture{};
  auto out = scene_output{"obj-scene"};
  auto filename = out.dir / "city.obj";
  ASSERT_TRUE(save_obj_scene(filename, city.scene, out.error, out.recorder())) << out.error;
  EXPECT_EQ(out.calls, (progress_calls{{"save scene", 0, 4},
                                       {"save scene", 1, 4},
                                       {"save texture", 2, 4},
                                       {"save texture", 3, 4},
                                       {"save texture", 4, 4}}));
  EXPECT_FALSE(path_exists(out.dir / "textures/unused_placeholder.png"));
  EXPECT_TRUE(path_exists(out.dir / "textures/facade.png"));
  EXPECT_TRUE(path_exists(out.dir / "textures/sky.hdr"));

  auto mtl = read_statements(out.dir / "city.mtl");
  auto names = select(mtl, "newmtl");
  // In name order, as the JSON scene file keys them, then the fallback.
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0], (words{"newmtl", "lamp"}));
  EXPECT_EQ(names[2], (words{"newmtl", "wall"}));
  auto kd = select(mtl, "Kd");
  EXPECT_EQ(kd[2], (words{"Kd", "0.5", "0.25", "0.125"}));
  EXPECT_EQ(select(mtl, "map_Kd"), (std::vector<words>{{"map_Kd", "textures/facade.png"}}));
  auto ke = select(mtl, "Ke");
  EXPECT_EQ(ke[0], (words{"Ke", "5", "5", "5"}));
  auto ns = select(mtl, "Ns");
  EXPECT_EQ(ns[0], (words{"Ns", "1000"}));  // roughness 0 is a mirror-sharp highlight
  EXPECT_LT(std::stof(ns[1][1]), 10.0f);    // the rough road
}

TEST(obj_scene, an_independent_reader_loads_geometry_and_materials) {
  if (!path_exists("/usr/bin/assimp")) GTEST_SKIP() << "assimp is not installed";
  auto city = city_fixture{};
  auto out = scene_output{"obj-assimp"};
  auto filename = out.dir / "city.obj";
  ASSERT_TRUE(save_obj_scene(filename, city.scene, out.error)) << out.error;
  auto run = run_program("/usr/bin/assimp", {"info", filename});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Materials:          4"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("'wall'"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("'textures/facade.png'"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Faces:              5"), std::string::npos) << run.out;
}

TEST(obj_scene, face_varying_quads_keep_their_own_indices) {
  auto scene = scene_data{};
  auto instance = add_complete_instance(scene, "q");
  auto& shape = *instance->shape;
  shape.positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  shape.texcoords = {{0.5f, 0.5f}};
  shape.quadspos = {{0, 1, 2, 3}, {0, 1, 2, 2}};
  shape.quadstexcoord = {{0, 0, 0, 0}, {0, 0, 0, 0}};
  auto out = scene_output{"obj-fv"};
  ASSERT_TRUE(save_obj_scene(out.dir / "q.obj", scene, out.error)) << out.error;
  EXPECT_EQ(select(read_statements(out.dir / "q.obj"), "f"),
            (std::vector<words>{{"f", "1/1", "2/1", "3/1", "4/1"}, {"f", "1/1", "2/1", "3/1"}}));
}

TEST(obj_scene, failures_name_the_scene_and_the_file_that_failed) {
  auto city = city_fixture{};
  auto out = scene_output{"obj-fail"};
  auto filename = out.dir / "city.obj";
  // A folder in the way of the material file.
  std::filesystem::create_directory(out.dir.path / "city.mtl");
  EXPECT_FALSE(save_obj_scene(filename, city.scene, out.error));
  EXPECT_EQ(out.error, filename + ": error in " + out.dir / "city.mtl" + ": file not found");

  // A file in the way of the textures folder.
  auto other = out.dir / "other.obj";
  write_file(out.dir / "textures", "");
  EXPECT_FALSE(save_obj_scene(other, city.scene, out.error, out.recorder()));
  auto prefix = other + ": error in " + out.dir / "textures/facade.png" + ": ";
  EXPECT_EQ(out.error.substr(0, prefix.size()), prefix) << out.error;
  EXPECT_EQ(out.calls.back(), (progress_call{"save texture", 2, 4}));
}

TEST(obj_scene, bad_names_and_indices_are_refused_before_writing) {
  auto city = city_fixture{};
  city.scene.textures[1]->name = "../facade";
  auto out = scene_output{"obj-refuse"};
  auto filename = out.dir / "city.obj";
  EXPECT_FALSE(save_obj_scene(filename, city.scene, out.error));
  EXPECT_EQ(out.error, filename + ": error in texture name \"../facade\" is not a valid file name");
  EXPECT_FALSE(path_exists(filename));

  auto broken = city_fixture{};
  broken.scene.shapes[0]->triangles = {{0, 1, 3}};
  EXPECT_FALSE(save_obj_scene(filename, broken.scene, out.error));
  EXPECT_EQ(out.error, filename + ": error in shape \"tri\": index out of range");
  EXPECT_FALSE(path_exists(filename));
}

// The quoted strings and statements of a PBRT file, read token by token.
struct pbrt_statement {
  std::string              keyword;
  std::vector<std::string> args;  // strings keep their quotes; '[' and ']' kept
};

static std::vector<pbrt_statement> read_pbrt(const std::string& path) {
  auto text = read_file(path);
  auto statements = std::vector<pbrt_statement>{};
  for (size_t i = 0; i < text.size();) {
    auto c = text[i];
    if (c == '#') {
      i = text.find('\n', i);
      if (i == std::string::npos) break;
    } else if (std::isspace((unsigned char)c)) {
      i++;
    } else if (c == '"') {
      auto end = text.find('"', i + 1);
      statements.back().args.push_back(text.substr(i, end + 1 - i));
      i = end + 1;
    } else if (c == '[' || c == ']') {
      statements.back().args.push_back(std::string(1, c));
      i++;
    } else {
      auto end = i;
      while (end < text.size() && !std::isspace((unsigned char)text[end]) && text[end] != '"' &&
             text[end] != '[' && text[end] != ']')
        end++;
      auto word = text.substr(i, end - i);
      if (std::isalpha((unsigned char)word[0]))
        statements.push_back({word, {}});
      else
        statements.back().args.push_back(word);
      i = end;
    }
  }
  return statements;
}

static std::string unquote(const std::string& text) { return text.substr(1, text.size() - 2); }

// The value that follows a parameter such as "string filename", or "".
static std::string parameter(const pbrt_statement& s, const std::string& name) {
  for (size_t i = 0; i + 1 < s.args.size(); i++) {
    if (s.args[i] != "\"" + name + "\"") continue;
    return s.args[i + 1] == "[" ? s.args[i + 2] : s.args[i + 1];
  }
  return "";
}

TEST(pbrt_scene, blocks_balance_and_every_reference_is_defined) {
  auto city = city_fixture{};
  auto out = scene_output{"pbrt-scene"};
  auto filename = out.dir / "city.pbrt";
  ASSERT_TRUE(save_pbrt_scene(filename, city.scene, out.error, out.recorder())) << out.error;
  EXPECT_EQ(out.calls, (progress_calls{{"save scene", 0, 5},
                                       {"save scene", 1, 5},
                                       {"save shape", 2, 5},
                                       {"save texture", 3, 5},
                                       {"save texture", 4, 5},
                                       {"save texture", 5, 5}}));

  auto statements = read_pbrt(filename);
  ASSERT_FALSE(statements.empty());
  EXPECT_EQ(statements.back().keyword, "WorldEnd");
  auto depth = 0, worlds = 0;
  auto in_object = false;
  auto materials = std::set<std::string>{}, objects = std::set<std::string>{},
       textures = std::set<std::string>{};
  auto files = std::vector<std::string>{};
  for (auto& s : statements) {
    if (s.keyword == "WorldBegin") worlds++;
    if (s.keyword == "AttributeBegin") depth++;
    if (s.keyword == "AttributeEnd") {
      EXPECT_GE(--depth, 0);
    }
    if (s.keyword == "ObjectBegin") {
      EXPECT_FALSE(in_object);
      in_object = true;
      objects.insert(s.args.at(0));
    }
    if (s.keyword == "ObjectEnd") {
      EXPECT_TRUE(in_object);
      in_object = false;
    }
    if (s.keyword == "MakeNamedMaterial") materials.insert(s.args.at(0));
    if (s.keyword == "NamedMaterial") {
      EXPECT_TRUE(materials.count(s.args.at(0))) << s.args[0];
    }
    if (s.keyword == "ObjectInstance") {
      EXPECT_TRUE(objects.count(s.args.at(0))) << s.args[0];
      EXPECT_GT(depth, 0);
    }
    for (size_t i = 0; i + 2 < s.args.size(); i++) {
      if (s.args[i].rfind("\"texture ", 0) == 0) {
        EXPECT_TRUE(textures.count(s.args[i + 2])) << s.args[i + 2];
      }
    }
    if (s.keyword == "Texture") textures.insert(s.args.at(0));
    for (auto name : {"filename", "mapname"}) {
      auto value = parameter(s, std::string("string ") + name);
      if (!value.empty() && s.keyword != "Film") files.push_back(unquote(value));
    }
  }
  EXPECT_EQ(worlds, 1);
  EXPECT_EQ(depth, 0);
  EXPECT_FALSE(in_object);
  EXPECT_EQ(objects.size(), 3u);  // tri with wall, with road, and bare
  for (auto& file : files) EXPECT_TRUE(path_exists(out.dir / file)) << file;
  EXPECT_EQ(std::set<std::string>(files.begin(), files.end()),
            (std::set<std::string>{"shapes/tri.ply", "textures/sky.hdr", "textures/facade.png"}));
}

TEST(pbrt_scene, camera_lights_materials_and_frames_follow_the_scene) {
  auto city = city_fixture{};
  auto out = scene_output{"pbrt-scene"};
  auto filename = out.dir / "city.pbrt";
  ASSERT_TRUE(save_pbrt_scene(filename, city.scene, out.error)) << out.error;
  auto statements = read_pbrt(filename);
  auto find = [&](const std::string& keyword, size_t nth = 0) {
    for (auto& s : statements)
      if (s.keyword == keyword && nth-- == 0) return s;
    return pbrt_statement{};
  };
  // Eye at the origin of the frame, looking down its -z, up along its y.
  EXPECT_EQ(find("LookAt").args, (words{"5", "1", "2", "4", "1", "2", "0", "1", "0"}));
  // lens 0.05 and film 0.036 at aspect 1.5: 24 mm of film height.
  auto fov = std::stof(parameter(find("Camera"), "float fov"));
  EXPECT_NEAR(fov, 2 * std::atan(0.024 / 0.1) * 180 / 3.14159265358979, 1e-3);
  EXPECT_EQ(parameter(find("Film"), "integer yresolution"), "853");

  auto light = find("LightSource");
  EXPECT_EQ(light.args.at(0), "\"infinite\"");
  EXPECT_EQ(parameter(light, "string mapname"), "\"textures/sky.hdr\"");

  // Materials in name order: lamp, road, wall.
  auto wall = find("MakeNamedMaterial", 2), road = find("MakeNamedMaterial", 1);
  EXPECT_EQ(wall.args.at(0), "\"wall\"");
  EXPECT_EQ(parameter(wall, "string type"), "\"matte\"");
  EXPECT_FALSE(parameter(wall, "texture Kd").empty());
  EXPECT_EQ(parameter(road, "string type"), "\"disney\"");
  EXPECT_EQ(parameter(road, "float roughness"), "0.9");

  // Instance b: the four columns of its frame.
  auto transform = find("ConcatTransform", 2);
  EXPECT_EQ(transform.args, (words{"[", "0", "0", "-2", "0", "0", "2", "0", "0", "2", "0", "0",
                                   "0", "10", "0", "0", "1", "]"}));
  // The lamp carries its own mesh, as area lights do not work in objects.
  auto area = find("AreaLightSource");
  EXPECT_EQ(parameter(area, "rgb L"), "5");
  auto text = read_file(filename);
  EXPECT_EQ(text.find("tree_own"), std::string::npos);
  EXPECT_EQ(text.find("fence"), std::string::npos);
  EXPECT_FALSE(path_exists(out.dir / "shapes/fence.ply"));
  EXPECT_FALSE(path_exists(out.dir / "shapes/tree_own.ply"));
}

TEST(pbrt_scene, failures_name_the_scene_and_the_file_that_failed) {
  auto city = city_fixture{};
  auto out = scene_output{"pbrt-fail"};
  auto filename = out.dir / "city.pbrt";
  write_file(out.dir / "shapes", "");  // a file in the way of the folder
  EXPECT_FALSE(save_pbrt_scene(filename, city.scene, out.error, out.recorder()));
  EXPECT_EQ(out.error, filename + ": error in " + out.dir / "shapes/tri.ply" + ": file not found");
  EXPECT_EQ(out.calls.back(), (progress_call{"save scene", 1, 5}));

  auto refused = city_fixture{};
  refused.scene.shapes[0]->name = "..";
  auto other = out.dir / "other.pbrt";
  EXPECT_FALSE(save_pbrt_scene(other, refused.scene, out.error));
  EXPECT_EQ(out.error, other + ": error in shape name \"..\" is not a valid file name");
  EXPECT_FALSE(path_exists(other));
}

// The one list of formats: exact lower or upper case, scenes read and
// written, the PLY scene written only (its first shape).
TEST(formats, scene_names_by_extension) {
  struct row {
    const char* name;
    bool        read, write;
  };
  const row rows[] = {
      {"city.json", true, true},  {"city.JSON", true, true},   {"city.Json", false, false},
      {"city.obj", true, true},   {"city.gltf", true, true},   {"city.GLB", true, true},
      {"city.pbrt", true, true},  {"city.stl", true, true},    {"city.STL", true, true},
      {"city.ply", false, true},  {"city.geojson", false, false}, {"city.png", false, false},
      {"json", false, false},     {"dir.json/city", false, false},
  };
  for (auto& r : rows) {
    EXPECT_EQ(is_readable_scene(r.name), r.read) << r.name;
    EXPECT_EQ(is_writable_scene(r.name), r.write) << r.name;
  }
  EXPECT_EQ(format_list(format_kind::scene, false), ".obj, .pbrt, .gltf, .glb, .json or .stl");
}
