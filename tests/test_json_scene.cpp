#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "scene/json_scene.h"
#include "scene/scene_files.h"
#include "scene/shape_io.h"
#include "support/files.h"
#include "test_util.h"

using json = nlohmann::json;
using progress_call = std::tuple<std::string, int, int>;

// An output folder laid out as the driver leaves it before saving.
struct json_output {
  scratch_dir dir{"json-scene"};
  std::string filename = dir / "scene.json";
  std::string error = "";
  std::vector<progress_call> calls = {};

  json_output() {
    std::filesystem::create_directory(dir.path / "shapes");
    std::filesystem::create_directory(dir.path / "textures");
  }
  bool save(const scene_data& scene) {
    return save_json_scene(filename, scene, error, [this](const std::string& m, int c, int t) {
      calls.emplace_back(m, c, t);
    });
  }
  json document() const { return json::parse(read_file(filename)); }
};

// A shape of one triangle, enough for every shape writer.
static scene_shape* add_triangle(scene_data& scene, const std::string& name) {
  auto shape = add_shape(scene, name);
  shape->positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  shape->triangles = {{0, 1, 2}};
  return shape;
}

static scene_texture* add_ldr_texture(scene_data& scene, const std::string& name) {
  auto texture = add_texture(scene, name);
  texture->ldr = {2, 1, {{255, 0, 0, 255}, {0, 255, 0, 255}}};
  return texture;
}

static json numbers(std::initializer_list<float> values) {
  auto array = json::array();
  for (auto value : values) array.push_back((double)value);
  return array;
}

TEST(json_scene_document, default_records_are_null_and_absent_kinds_have_no_member) {
  auto scene = scene_data{};
  add_camera(scene);
  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  // The whole text: sorted keys, two-space indent, no escapes, null record.
  EXPECT_EQ(read_file(out.filename),
            "{\n"
            "  \"asset\": {\n"
            "    \"generator\": \"" + std::string(scene_generator_name) + "\"\n"
            "  },\n"
            "  \"cameras\": {\n"
            "    \"camera1\": null\n"
            "  }\n"
            "}");
}

TEST(json_scene_document, copyright_and_non_ascii_text_are_written_as_utf8) {
  auto scene = scene_data{};
  scene.copyright = "© OpenStreetMap 贡献者";
  add_material(scene, "草地");
  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  auto text = read_file(out.filename);
  EXPECT_NE(text.find("\"copyright\": \"© OpenStreetMap 贡献者\""), std::string::npos);
  EXPECT_NE(text.find("\"草地\": null"), std::string::npos);
  EXPECT_EQ(text.find("\\u"), std::string::npos);
  auto doc = out.document();
  EXPECT_FALSE(doc.contains("cameras"));
  EXPECT_FALSE(doc.contains("instances"));
  EXPECT_FALSE(doc.contains("environments"));
}

TEST(json_scene_document, floats_are_written_as_the_widened_double) {
  auto scene = scene_data{};
  auto material = add_material(scene, "m");
  material->specular = 0.05f;
  material->color = {2, 0, 0.5f};
  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  auto text = read_file(out.filename);
  EXPECT_NE(text.find("\"specular\": 0.05000000074505806"), std::string::npos) << text;
  EXPECT_NE(text.find("2.0,"), std::string::npos) << text;
  EXPECT_NE(text.find("0.0,"), std::string::npos) << text;
}

TEST(json_scene_document, every_non_default_field_is_written_under_its_key) {
  auto scene = scene_data{};
  auto texture = add_ldr_texture(scene, "t");
  auto camera = add_camera(scene, "c");
  camera->frame.o = {1, 2, 3};
  camera->ortho = true;
  camera->lens = 0.035f;
  camera->film = 0.024f;
  camera->aspect = 1;
  camera->focus = 3.9f;
  camera->aperture = 0.25f;
  auto environment = add_environment(scene, "e");
  environment->frame.x = {0, 0, -1};
  environment->emission = {1, 1, 1};
  environment->emission_tex = texture;
  auto m = add_material(scene, "m");
  m->emission = {1, 0, 0}, m->color = {0, 1, 0}, m->scattering = {0, 0, 1};
  m->specular = 0.5f, m->roughness = 0.25f, m->metallic = 0.75f, m->ior = 1.25f;
  m->coat = 0.125f, m->transmission = 0.5f, m->translucency = 0.25f;
  m->scanisotropy = 0.5f, m->trdepth = 2, m->opacity = 0.5f, m->thin = false;
  m->emission_tex = m->color_tex = m->specular_tex = m->metallic_tex = m->roughness_tex =
      m->transmission_tex = m->translucency_tex = m->scattering_tex = m->coat_tex =
          m->opacity_tex = m->normal_tex = texture;
  auto shape = add_triangle(scene, "s");
  shape->smooth = false;
  shape->displacement = 0.5f;
  shape->displacement_tex = texture;
  auto instance = add_instance(scene, "i");
  instance->frame.o = {4, 5, 6};
  instance->shape = shape;
  instance->material = m;

  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  auto doc = out.document();
  EXPECT_EQ(doc["cameras"]["c"], (json{{"frame", numbers({1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 2, 3})},
                                       {"ortho", true},
                                       {"lens", 0.035f},
                                       {"film", 0.024f},
                                       {"aspect", 1.0},
                                       {"focus", 3.9f},
                                       {"aperture", 0.25}}));
  EXPECT_EQ(doc["environments"]["e"],
            (json{{"frame", numbers({0, 0, -1, 0, 1, 0, 0, 0, 1, 0, 0, 0})},
                  {"emission", numbers({1, 1, 1})},
                  {"emission_tex", "t"}}));
  auto expected_material = json{
      {"emission", numbers({1, 0, 0})}, {"color", numbers({0, 1, 0})},
      {"scattering", numbers({0, 0, 1})}, {"specular", 0.5}, {"roughness", 0.25},
      {"metallic", 0.75}, {"ior", 1.25}, {"coat", 0.125}, {"transmission", 0.5},
      {"translucency", 0.25}, {"scanisotropy", 0.5}, {"trdepth", 2.0}, {"opacity", 0.5},
      {"thin", false}};
  for (auto key : {"emission_tex", "color_tex", "specular_tex", "metallic_tex", "roughness_tex",
                   "transmission_tex", "translucency_tex", "scattering_tex", "coat_tex",
                   "opacity_tex", "normal_tex"})
    expected_material[key] = "t";
  EXPECT_EQ(doc["materials"]["m"], expected_material);
  EXPECT_EQ(doc["instances"]["i"],
            (json{{"frame", numbers({1, 0, 0, 0, 1, 0, 0, 0, 1, 4, 5, 6})},
                  {"shape", "s"},
                  {"material", "m"},
                  {"smooth", false},
                  {"displacement", 0.5},
                  {"displacement_tex", "t"}}));
}

TEST(json_scene_document, subdivision_settings_go_into_the_instances_and_pick_the_file) {
  auto scene = scene_data{};
  auto smooth = add_triangle(scene, "s");
  smooth->subdivisions = 2;
  auto linear = add_triangle(scene, "l");
  linear->subdivisions = 2;
  linear->catmullclark = false;
  for (auto shape : {smooth, linear}) {
    auto instance = add_instance(scene, shape->name);
    instance->shape = shape;
    instance->material = add_material(scene, "m");
  }
  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  auto doc = out.document();
  EXPECT_EQ(doc["instances"]["s"], (json{{"material", "m"}, {"shape", "s"}, {"subdivisions", 2}}));
  EXPECT_EQ(doc["instances"]["l"],
            (json{{"catmullclark", false}, {"material", "m"}, {"shape", "l"}, {"subdivisions", 2}}));
  EXPECT_TRUE(path_exists(out.dir / "shapes/s.obj"));
  EXPECT_FALSE(path_exists(out.dir / "shapes/s.ply"));
  EXPECT_TRUE(path_exists(out.dir / "shapes/l.ply"));
  EXPECT_FALSE(path_exists(out.dir / "shapes/l.obj"));
}

TEST(json_scene_document, same_named_records_share_one_member_and_one_file) {
  auto scene = scene_data{};
  auto first = add_material(scene, "m");
  first->color = {1, 0, 0};
  first->roughness = 0.5f;
  auto second = add_material(scene, "m");
  second->color = {0, 0, 1};
  add_material(scene, "m");  // all defaults: changes nothing
  add_triangle(scene, "s");
  auto later = add_shape(scene, "s");
  later->positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  later->quads = {{0, 1, 2, 3}};

  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  EXPECT_EQ(out.document()["materials"],
            (json{{"m", {{"color", numbers({0, 0, 1})}, {"roughness", 0.5}}}}));
  auto loaded = scene_shape{};
  ASSERT_TRUE(load_shape(out.dir / "shapes/s.ply", loaded, out.error)) << out.error;
  EXPECT_EQ(loaded.positions.size(), 4u);
}

TEST(json_scene_files, textures_are_png_for_8_bit_and_hdr_for_float) {
  auto scene = scene_data{};
  add_ldr_texture(scene, "facade");
  auto sky = add_texture(scene, "sky");
  sky->hdr = {2, 1, {{1, 2, 3, 1}, {4, 5, 6, 1}}};
  sky->ldr = {1, 1, {{1, 1, 1, 1}}};  // ignored: the float image wins
  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  EXPECT_TRUE(path_exists(out.dir / "textures/facade.png"));
  EXPECT_TRUE(path_exists(out.dir / "textures/sky.hdr"));
  EXPECT_FALSE(path_exists(out.dir / "textures/sky.png"));
}

TEST(json_scene_files, an_unused_texture_without_pixels_is_counted_but_not_written) {
  // The city keeps an empty placeholder for a landmark façade it may not build.
  auto scene = scene_data{};
  add_texture(scene, "placeholder");
  add_ldr_texture(scene, "t");
  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  EXPECT_FALSE(path_exists(out.dir / "textures/placeholder.png"));
  EXPECT_TRUE(path_exists(out.dir / "textures/t.png"));
  EXPECT_EQ(out.calls[2], (progress_call{"save texture", 2, 4}));
  EXPECT_EQ(out.calls.back(), (progress_call{"save done", 4, 4}));

  // One that a material uses is still saved, and its failure reported.
  add_material(scene, "m")->color_tex = scene.textures[0].get();
  EXPECT_FALSE(out.save(scene));
  EXPECT_EQ(out.error,
            out.filename + ": error in " + out.dir / "textures/placeholder.png" + ": write error");
}

TEST(json_scene_files, progress_counts_every_file) {
  auto scene = scene_data{};
  for (auto name : {"a", "b", "c"}) add_triangle(scene, name);
  add_ldr_texture(scene, "t");
  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  EXPECT_EQ(out.calls, (std::vector<progress_call>{{"save scene", 0, 6},
                                                   {"save scene", 1, 6},
                                                   {"save shape", 2, 6},
                                                   {"save shape", 3, 6},
                                                   {"save shape", 4, 6},
                                                   {"save texture", 5, 6},
                                                   {"save done", 6, 6}}));
}

TEST(json_scene_failures, a_missing_shapes_folder_stops_at_the_first_shape) {
  auto scene = scene_data{};
  add_triangle(scene, "a");
  add_triangle(scene, "b");
  add_ldr_texture(scene, "t");
  auto out = json_output{};
  std::filesystem::remove(out.dir.path / "shapes");
  EXPECT_FALSE(out.save(scene));
  EXPECT_EQ(out.error, out.filename + ": error in " + out.dir / "shapes/a.ply" +
                           ": file not found");
  // No document that looks complete is left; nothing after the failing
  // shape is tried.
  EXPECT_FALSE(path_exists(out.filename));
  EXPECT_FALSE(path_exists(out.dir / "textures/t.png"));
  EXPECT_EQ(out.calls.back(), (progress_call{"save shape", 2, 5}));
}

TEST(json_scene_failures, a_missing_textures_folder_is_wrapped_too) {
  auto scene = scene_data{};
  add_ldr_texture(scene, "t");
  auto out = json_output{};
  std::filesystem::remove(out.dir.path / "textures");
  EXPECT_FALSE(out.save(scene));
  auto prefix = out.filename + ": error in " + out.dir / "textures/t.png" + ": ";
  EXPECT_EQ(out.error.substr(0, prefix.size()), prefix) << out.error;
  EXPECT_NE(out.calls.back(), (progress_call{"save done", 3, 3}));
}

TEST(json_scene_failures, an_unwritable_document_reports_the_text_save_error) {
  auto scene = scene_data{};
  auto out = json_output{};
  auto filename = out.dir / "missing/scene.json";
  EXPECT_FALSE(save_json_scene(filename, scene, out.error));
  EXPECT_EQ(out.error, filename + ": file not found");
}

TEST(json_scene_failures, names_that_leave_the_folders_are_refused_before_writing) {
  for (auto name : {"../x", "a/b", "a\\b", "..", ".", "", "c:x", "a\nb", "nul", "COM1.x"}) {
    auto scene = scene_data{};
    add_triangle(scene, "x")->name = name;  // past the naming of empty names
    auto out = json_output{};
    EXPECT_FALSE(out.save(scene)) << name;
    EXPECT_EQ(out.error, out.filename + ": error in shape name \"" + name +
                             "\" is not a valid file name");
    EXPECT_FALSE(path_exists(out.filename)) << name;
    EXPECT_TRUE(std::filesystem::is_empty(out.dir.path / "shapes")) << name;
  }
  auto scene = scene_data{};
  add_ldr_texture(scene, "../../escape");
  auto out = json_output{};
  EXPECT_FALSE(out.save(scene));
  EXPECT_EQ(out.error, out.filename +
                           ": error in texture name \"../../escape\" is not a valid file name");
  EXPECT_FALSE(path_exists(out.dir.path.parent_path() / "escape.png"));
}

TEST(json_scene_failures, invalid_utf8_is_an_error_naming_the_file) {
  auto scene = scene_data{};
  add_material(scene, "bad\xff");
  auto out = json_output{};
  EXPECT_FALSE(out.save(scene));
  EXPECT_EQ(out.error.rfind(out.filename + ": ", 0), 0u) << out.error;
  EXPECT_FALSE(path_exists(out.filename));

  auto copyright = scene_data{};
  copyright.copyright = "\xc3(";
  EXPECT_FALSE(out.save(copyright));
  EXPECT_EQ(out.error.rfind(out.filename + ": ", 0), 0u) << out.error;
}
