#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "scene/json_scene.h"
#include "scene/scene_io.h"
#include "scene/stl_scene.h"
#include "scene/scene_files.h"
#include "scene/shape_io.h"
#include "support/files.h"
#include "json_scene_oracle.h"
#include "test_util.h"

using json = nlohmann::json;

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
  EXPECT_EQ(
      doc["instances"]["l"],
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

// ---------------------------------------------------------------------------
// Reading

namespace {

namespace fs = std::filesystem;

// Two scenes hold the same records, field by field and in the same order;
// references compare by the names they point to.
template <typename T>
std::string name_of(const T* record) {
  return record ? record->name : "(none)";
}
auto fields(const scene_camera& c) {
  return std::tie(c.name, c.frame, c.ortho, c.lens, c.film, c.aspect, c.focus, c.aperture);
}
auto fields(const scene_environment& e) {
  return std::make_tuple(e.name, e.frame, e.emission, name_of(e.emission_tex));
}
auto fields(const scene_material& m) {
  return std::make_tuple(
      std::tie(m.name, m.emission, m.color, m.specular, m.roughness, m.metallic, m.ior, m.coat,
               m.transmission, m.translucency, m.scattering, m.scanisotropy, m.trdepth,
               m.opacity, m.thin),
      std::vector<std::string>{name_of(m.emission_tex), name_of(m.color_tex),
                               name_of(m.specular_tex), name_of(m.metallic_tex),
                               name_of(m.roughness_tex), name_of(m.transmission_tex),
                               name_of(m.translucency_tex), name_of(m.scattering_tex),
                               name_of(m.coat_tex), name_of(m.opacity_tex), name_of(m.normal_tex)});
}
auto fields(const scene_instance& i) {
  return std::make_tuple(i.name, i.frame, name_of(i.shape), name_of(i.material));
}
auto fields(const scene_shape& s) {
  return std::make_tuple(
      std::tie(s.name, s.points, s.lines, s.triangles, s.quads, s.quadspos, s.quadsnorm,
               s.quadstexcoord, s.positions, s.normals, s.texcoords, s.colors, s.radius),
      std::tie(s.subdivisions, s.catmullclark, s.smooth, s.displacement),
      name_of(s.displacement_tex));
}
auto fields(const scene_texture& t) {
  return std::tie(t.name, t.hdr.width, t.hdr.height, t.hdr.pixels, t.ldr.width, t.ldr.height,
                  t.ldr.pixels);
}
template <typename T>
void expect_same(const std::vector<std::unique_ptr<T>>& a,
                 const std::vector<std::unique_ptr<T>>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); i++) EXPECT_TRUE(fields(*a[i]) == fields(*b[i])) << a[i]->name;
}
void expect_same_scenes(const scene_data& a, const scene_data& b) {
  EXPECT_EQ(a.copyright, b.copyright);
  expect_same(a.cameras, b.cameras), expect_same(a.environments, b.environments);
  expect_same(a.materials, b.materials), expect_same(a.instances, b.instances);
  expect_same(a.shapes, b.shapes), expect_same(a.textures, b.textures);
}

// A scene folder written by hand: the document and any files beside it.
struct scene_folder {
  scratch_dir dir{"json-read"};
  std::string filename = dir / "scene.json";
  std::string error = "";
  scene_data  scene;

  scene_folder() {
    fs::create_directory(dir.path / "shapes");
    fs::create_directory(dir.path / "textures");
  }
  bool load(const std::string& text) {
    write_file(filename, text);
    return load_json_scene(filename, scene, error);
  }
  // A file of one triangle, or of nothing at all.
  void add_shape_file(const std::string& name, bool empty = false) {
    auto shape = scene_shape{};
    if (!empty) shape.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, shape.triangles = {{0, 1, 2}};
    auto error = std::string{};
    ASSERT_TRUE(save_shape(dir / ("shapes/" + name), shape, error)) << error;
  }
};

}  // namespace

TEST(json_scene_reader, every_field_comes_back_as_written) {
  auto scene = scene_data{};
  scene.copyright = "© OpenStreetMap 贡献者";
  auto ldr = add_ldr_texture(scene, "t");
  auto hdr = add_texture(scene, "sky");
  hdr->hdr = {2, 1, {{0.5f, 1, 2, 1}, {4, 0.25f, 8, 1}}};  // exact in Radiance files
  auto camera = add_camera(scene, "c");
  camera->frame = {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}, {1, 2, 3}};
  camera->ortho = true, camera->lens = 0.035f, camera->film = 0.024f, camera->aspect = 1;
  camera->focus = 3.9f, camera->aperture = 0.25f;
  add_camera(scene, "defaults");
  auto environment = add_environment(scene, "e");
  environment->frame.x = {0, 0, -1}, environment->emission = {1, 1, 1};
  environment->emission_tex = hdr;
  auto m = add_material(scene, "m");
  m->emission = {1, 0, 0}, m->color = {0, 1, 0}, m->scattering = {0, 0, 1};
  m->specular = 0.5f, m->roughness = 0.25f, m->metallic = 0.75f, m->ior = 1.25f;
  m->coat = 0.125f, m->transmission = 0.5f, m->translucency = 0.25f;
  m->scanisotropy = 0.5f, m->trdepth = 2, m->opacity = 0.5f, m->thin = false;
  m->emission_tex = m->color_tex = m->specular_tex = m->metallic_tex = m->roughness_tex =
      m->transmission_tex = m->translucency_tex = m->scattering_tex = m->coat_tex =
          m->opacity_tex = ldr;
  m->normal_tex = hdr;
  auto plain = add_material(scene, "plain");
  // A subdivided shape goes to an OBJ file, the others to PLY; each carries
  // every vertex array its format keeps.
  auto smooth = add_triangle(scene, "smooth");
  smooth->subdivisions = 2;
  smooth->normals = {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
  smooth->texcoords = {{0, 0}, {1, 0}, {0, 0.5f}};
  auto displaced = add_triangle(scene, "displaced");
  displaced->smooth = false, displaced->catmullclark = false, displaced->subdivisions = 1;
  displaced->displacement = 0.5f, displaced->displacement_tex = ldr;
  displaced->colors = {{1, 0, 0, 1}, {0, 1, 0, 0.5f}, {0, 0, 1, 1}};
  displaced->radius = {0.5f, 1, 2};
  auto fence = add_shape(scene, "fence");
  fence->positions = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
  fence->lines = {{0, 1}, {1, 2}};
  for (auto [name, shape, material] :
       {std::make_tuple("a", smooth, m), std::make_tuple("b", displaced, plain),
        std::make_tuple("c", smooth, (scene_material*)nullptr),
        std::make_tuple("d", fence, plain), std::make_tuple("e", (scene_shape*)nullptr, m)}) {
    auto instance = add_instance(scene, name);
    instance->frame.o = {4, 5, 6}, instance->shape = shape, instance->material = material;
  }

  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  auto loaded = scene_data{};
  ASSERT_TRUE(load_json_scene(out.filename, loaded, out.error)) << out.error;
  // Radiance files keep no alpha; textures come in the order the document
  // first names them, the environment's before the instances' and materials'.
  for (auto& pixel : hdr->hdr.pixels) pixel.w = 1;
  std::swap(scene.textures[0], scene.textures[1]);
  expect_same_scenes(scene, loaded);
}

TEST(json_scene_reader, nulls_and_absent_members_are_defaults_and_the_last_name_counts) {
  auto folder = scene_folder{};
  folder.add_shape_file("s.ply");
  ASSERT_TRUE(folder.load(R"({"cameras": {"c": null, "d": {"lens": null, "ortho": true}},
      "materials": {"m": {"color": [1, 0, 0]}, "": null, "m": {"roughness": 0.5}},
      "instances": {"i": {"shape": "s", "material": "m"},
                    "i": {"frame": [1,0,0, 0,1,0, 0,0,1, 7,8,9]}},
      "environments": null, "extra": [1, {"x": 2}], "asset": {"copyright": null}})"))
      << folder.error;
  auto& scene = folder.scene;
  auto fresh_camera = scene_camera{};
  auto fresh_material = scene_material{};
  ASSERT_EQ(scene.cameras.size(), 2u);
  fresh_camera.name = "c";
  EXPECT_TRUE(fields(*scene.cameras[0]) == fields(fresh_camera));
  EXPECT_TRUE(scene.cameras[1]->ortho);
  EXPECT_EQ(scene.cameras[1]->lens, fresh_camera.lens);
  // A name given again starts its record over, in its first place; an empty
  // name stays empty.
  ASSERT_EQ(scene.materials.size(), 2u);
  fresh_material.name = "m", fresh_material.roughness = 0.5f;
  EXPECT_TRUE(fields(*scene.materials[0]) == fields(fresh_material));
  EXPECT_EQ(scene.materials[1]->name, "");
  ASSERT_EQ(scene.instances.size(), 1u);
  EXPECT_EQ(scene.instances[0]->material, nullptr);
  EXPECT_TRUE(scene.instances[0]->frame.o == (vec3f{7, 8, 9}));
  EXPECT_TRUE(scene.environments.empty());
}

TEST(json_scene_reader, a_document_in_memory_reads_each_shape_once_from_beside_its_name) {
  auto folder = scene_folder{};
  folder.add_shape_file("s.ply");
  folder.add_shape_file("subdivided.ply");  // an OBJ was expected: the other file serves
  auto calls = std::vector<progress_call>{};
  auto scene = scene_data{};
  ASSERT_TRUE(
      parse_json_scene(folder.filename,
                       R"({"instances": {"a": {"shape": "s"}, "b": {"shape": "s"},
                        "c": {"shape": "subdivided", "subdivisions": 1}}})",
                       scene, folder.error,
                       [&](const std::string& m, int c, int t) { calls.emplace_back(m, c, t); }))
      << folder.error;
  ASSERT_EQ(scene.shapes.size(), 2u);
  EXPECT_EQ(scene.instances[0]->shape, scene.instances[1]->shape);
  EXPECT_EQ(scene.shapes[0]->triangles.size(), 1u);
  EXPECT_EQ(scene.shapes[1]->subdivisions, 1);
  EXPECT_EQ(scene.shapes[1]->triangles.size(), 1u);
  EXPECT_EQ(calls, (std::vector<progress_call>{
                       {"load scene", 0, 1}, {"load shape", 2, 4}, {"load shape", 3, 4},
                       {"load done", 4, 4}}));
}

TEST(json_scene_reader, a_shape_file_without_elements_is_an_empty_shape) {
  // What the writer leaves for a record without geometry, as every tree does.
  auto folder = scene_folder{};
  folder.add_shape_file("empty.ply", true);
  ASSERT_TRUE(folder.load(R"({"instances": {"tree": {"shape": "empty"}}})")) << folder.error;
  ASSERT_EQ(folder.scene.shapes.size(), 1u);
  EXPECT_TRUE(folder.scene.shapes[0]->positions.empty());
  // Vertices without coordinates are still no shape.
  write_file(folder.dir / "shapes/empty.ply",
             "ply\nformat ascii 1.0\nelement vertex 1\nproperty float w\nend_header\n1\n");
  EXPECT_FALSE(folder.load(R"({"instances": {"tree": {"shape": "empty"}}})"));
  EXPECT_EQ(folder.error,
            folder.filename + ": error in " + folder.dir / "shapes/empty.ply" + ": empty shape");
}

TEST(json_scene_reader, textures_are_read_from_every_image_format) {
  auto folder = scene_folder{};
  auto pixels = image4f{2, 2, std::vector<vec4f>(4, {1, 0.5f, 0, 1})};
  auto error = std::string{};
  // Where two files could serve, the first of png, jpg, hdr, exr, pfm does.
  for (auto name : {"a.png", "a.hdr", "b.jpg", "c.hdr", "d.exr", "e.pfm"})
    ASSERT_TRUE(save_image(folder.dir / "textures/" + name, pixels, error)) << error;
  ASSERT_TRUE(folder.load(R"({"materials": {"m": {"color_tex": "a", "coat_tex": "b",
                              "normal_tex": "c", "opacity_tex": "d", "emission_tex": "e"}}})"))
      << folder.error;
  auto kinds = std::string{};
  for (auto& texture : folder.scene.textures) {
    kinds += texture->name + (texture->hdr.pixels.empty() ? "8" : "f");
    EXPECT_EQ(texture->hdr.pixels.size() + texture->ldr.pixels.size(), 4u) << texture->name;
  }
  EXPECT_EQ(kinds, "a8b8cfdfef");
}

TEST(json_scene_reader, missing_and_broken_files_are_wrapped_with_the_scene_name) {
  auto folder = scene_folder{};
  EXPECT_FALSE(load_json_scene(folder.dir / "absent.json", folder.scene, folder.error));
  EXPECT_EQ(folder.error, folder.dir / "absent.json" + ": file not found");
  write_file(folder.dir / "shapes/broken.ply", "ply\nformat ascii 1.0\nelement vertex 1\n");
  write_file(folder.dir / "textures/bad.hdr", "#?RADIANCE\nnot an image");
  struct failure {
    const char* document;
    std::string error;  // the start of it
  };
  const failure failures[] = {
      {R"({"instances": {"i": {"shape": "gone"}}})", "shapes/gone.ply: file not found"},
      {R"({"instances": {"i": {"shape": "broken"}}})", "shapes/broken.ply: parse error"},
      {R"({"environments": {"e": {"emission_tex": "sky"}}})", "textures/sky.png: file not found"},
      {R"({"environments": {"e": {"emission_tex": "bad"}}})", "textures/bad.hdr: "},
  };
  for (auto& f : failures) {
    EXPECT_FALSE(folder.load(f.document));
    auto prefix = folder.filename + ": error in " + folder.dir / f.error;
    EXPECT_EQ(folder.error.substr(0, prefix.size()), prefix) << folder.error;
  }
}

TEST(json_scene_reader, documents_of_the_wrong_form_name_the_problem) {
  const std::pair<const char*, const char*> documents[] = {
      // not JSON at all: the text alone
      {"", ""},
      {"{\"cameras\": {\"c\": {}}", ""},
      {"{\"materials\": {\"bad\xff\": null}}", ""},
      // JSON of the wrong form: what is wrong, and where
      {"[]", ": the document is not an object"},
      {R"({"cameras": []})", ": \"cameras\" is not an object"},
      {R"({"asset": {"copyright": 5}})", ": \"asset\": \"copyright\" is not a text"},
      {R"({"cameras": {"c": 3}})", ": camera \"c\" is not an object or null"},
      {R"({"cameras": {"c": {"lens": 1e39}}})",
       ": camera \"c\": \"lens\" is not a number in the range of a float"},
      {R"({"cameras": {"c": {"ortho": 1}}})", ": camera \"c\": \"ortho\" is not true or false"},
      {R"({"cameras": {"c": {"frame": [1,0,0, 0,1,0, 0,0,1, 0,0]}}})",
       ": camera \"c\": \"frame\" is not an array of 12 numbers in the range of a float"},
      {R"({"materials": {"m": {"color": [[1], 1, 1]}}})",
       ": material \"m\": \"color\" is not an array of 3 numbers in the range of a float"},
      {R"({"materials": {"m": {"color_tex": 1}}})",
       ": material \"m\": \"color_tex\" is not a texture name"},
      {R"({"instances": {"i": {"subdivisions": 4294967296}}})",
       ": instance \"i\": \"subdivisions\" is not a 32-bit integer"},
      {R"({"instances": {"i": {"material": "nowhere"}}})",
       ": instance \"i\": no material \"nowhere\""},
  };
  for (auto& [text, problem] : documents) {
    auto folder = scene_folder{};
    EXPECT_FALSE(folder.load(text)) << text;
    EXPECT_EQ(folder.error, folder.filename + ": parse error in json" + problem) << text;
  }
}

TEST(json_scene_reader, names_that_would_read_outside_the_folders_are_refused) {
  auto folder = scene_folder{};
  folder.add_shape_file("../escape.ply");  // where an escaping name would lead
  const std::pair<json, std::string> documents[] = {
      {{{"instances", {{"tree", {{"shape", "../escape"}}}}}},
       "instance \"tree\": shape \"../escape\""},
      {{{"instances", {{"tree", {{"shape", "a/b"}}}}}}, "instance \"tree\": shape \"a/b\""},
      {{{"instances", {{"tree", {{"shape", "nul"}}}}}}, "instance \"tree\": shape \"nul\""},
      {{{"instances", {{"tree", {{"shape", ""}}}}}}, "instance \"tree\": shape \"\""},
      {{{"materials", {{"wall", {{"color_tex", "../../etc/passwd"}}}}}},
       "material \"wall\": texture \"../../etc/passwd\""},
      {{{"environments", {{"sky", {{"emission_tex", "/abs"}}}}}},
       "environment \"sky\": texture \"/abs\""},
  };
  for (auto& [document, what] : documents) {
    EXPECT_FALSE(folder.load(document.dump()));
    EXPECT_EQ(folder.error, folder.filename + ": error in " + what + " is not a valid file name");
  }
}

TEST(json_scene_reader, absurd_sizes_fail_before_allocating) {
  // A shape file that claims billions of vertices, and an array member of
  // millions of numbers where 12 are expected.
  auto folder = scene_folder{};
  write_file(folder.dir / "shapes/huge.ply",
             "ply\nformat binary_little_endian 1.0\nelement vertex 4000000000\n"
             "property float x\nproperty float y\nproperty float z\nend_header\n");
  EXPECT_FALSE(folder.load(R"({"instances": {"i": {"shape": "huge"}}})"));
  EXPECT_EQ(folder.error,
            folder.filename + ": error in " + folder.dir / "shapes/huge.ply" +
                ": read error (element vertex: 4000000000 rows declared, the data holds at most 0)");
  auto frame = std::string("[0");
  for (int i = 0; i < 2000000; i++) frame += ",0";
  EXPECT_FALSE(folder.load("{\"cameras\": {\"c\": {\"frame\": " + frame + "]}}}"));
  EXPECT_EQ(folder.error,
            folder.filename + ": parse error in json: camera \"c\": \"frame\" is not an array "
                              "of 12 numbers in the range of a float");
}

// ---------------------------------------------------------------------------
// The fast writer against the plain one

namespace {

// Saves with the fast writer and with the plain one into two folders.
struct writer_pair {
  json_output fast, plain;
  std::vector<progress_call> plain_calls = {};
  bool fast_ok = false, plain_ok = false;

  explicit writer_pair(const scene_data& scene) {
    fast_ok = fast.save(scene);
    plain_ok = oracle::save(plain.filename, scene, plain.error, plain_calls);
  }
  void expect_same() {
    ASSERT_TRUE(fast_ok) << fast.error;
    ASSERT_TRUE(plain_ok) << plain.error;
    expect_same_files(fast.dir.path, plain.dir.path);
    EXPECT_EQ(fast.calls, plain_calls);
  }
};

// Every kind of value the document holds, names that need escaping, and
// records that share names with earlier ones.
scene_data varied_scene() {
  auto scene = scene_data{};
  scene.copyright = "© \"the\" city\n\t\x01";
  auto texture = add_ldr_texture(scene, "tex");
  add_camera(scene);
  auto camera = add_camera(scene, "c \"quoted\" \\ back");
  camera->frame = {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}, {1e-7f, -0.0f, 3e20f}};
  camera->ortho = true, camera->lens = 0.035f, camera->aperture = NAN;
  add_camera(scene, "c \"quoted\" \\ back")->focus = 2;
  auto environment = add_environment(scene, "sky");
  environment->emission = {1, 2, 3}, environment->emission_tex = texture;
  for (auto name : {"m", "b", "a\x7f", "m", "城市", "m"}) {
    auto m = add_material(scene, name);
    if (std::string(name) == "m") m->color = {(float)scene.materials.size(), 0.5f, 0.25f};
    if (scene.materials.size() == 1) m->roughness = 0.9f, m->thin = false, m->color_tex = texture;
    if (scene.materials.size() == 4) m->ior = 1, m->normal_tex = texture;
  }
  for (auto name : {"s", "t", "s", "u"}) {
    auto shape = add_triangle(scene, name);
    shape->positions.push_back({(float)scene.shapes.size(), 0, 0});
  }
  scene.shapes[1]->subdivisions = 1;
  scene.shapes[3]->smooth = false, scene.shapes[3]->displacement = 0.5f;
  scene.shapes[3]->displacement_tex = texture;
  for (auto name : {"i", "j", "i", "城市"}) {
    auto instance = add_instance(scene, name);
    instance->shape = scene.shapes[scene.instances.size() - 1].get();
    instance->material = scene.materials[scene.instances.size()].get();
    if (scene.instances.size() == 2) instance->frame.o = {1, 2, 3};
  }
  add_instance(scene, "empty");
  return scene;
}

}  // namespace

TEST(json_scene_fast_writer, writes_what_the_plain_writer_writes) {
  auto scene = varied_scene();
  auto pair = writer_pair{scene};
  pair.expect_same();
  EXPECT_EQ(pair.fast.document()["cameras"]["c \"quoted\" \\ back"]["aperture"], nullptr);
}

TEST(json_scene_fast_writer, records_added_in_parts_write_the_same_files) {
  // As the city does: a fixed part kept in the scene, then parts that are
  // moved into the store and dropped, instances referring back to the kept
  // shapes.
  auto whole = scene_data{}, parts = scene_data{};
  auto store = json_scene_store{};
  for (auto scene : {&whole, &parts}) {
    add_sky(*scene, 0.5f);
    add_triangle(*scene, "tree");
  }
  add_scene_records(store, parts, {});
  auto kept = record_counts(parts);
  for (int part = 0; part < 3; part++) {
    for (auto scene : {&whole, &parts}) {
      for (int k = 0; k < 40; k++) {
        auto name = "r" + std::to_string((part * 40 + k) % 70);  // names come back in later parts
        auto instance = add_complete_instance(*scene, name);
        instance->shape->positions = {{(float)part, 0, (float)k}, {1, 0, 0}, {0, 1, 0}};
        instance->shape->triangles = {{0, 1, 2}};
        instance->material->color = {(float)(k % 3), 0, 0};
        if (k % 4 == 0) instance->shape = scene->shapes[0].get();
      }
    }
    add_scene_records(store, parts, kept);
    parts.shapes.resize(kept.shapes), parts.instances.resize(kept.instances);
    parts.materials.resize(kept.materials);
  }
  auto from_parts = json_output{}, from_whole = json_output{};
  ASSERT_TRUE(save_json_scene(from_parts.filename, parts, store, from_parts.error,
                              [&](const std::string& m, int c, int t) {
                                from_parts.calls.emplace_back(m, c, t);
                              }))
      << from_parts.error;
  ASSERT_TRUE(from_whole.save(whole)) << from_whole.error;
  expect_same_files(from_parts.dir.path, from_whole.dir.path);
  EXPECT_EQ(from_parts.calls, from_whole.calls);
}

TEST(json_scene_fast_writer, shapes_sharing_a_file_fail_where_a_loop_over_them_would) {
  // A shape whose normals do not match its positions cannot become a file.
  auto broken = [](scene_shape* shape) { shape->normals = {{0, 0, 1}}; };
  for (auto bad : {1, 2}) {
    SCOPED_TRACE(bad);
    auto scene = scene_data{};
    for (auto name : {"a", "b", "b", "c"}) add_triangle(scene, name);
    broken(scene.shapes[bad].get());
    auto pair = writer_pair{scene};
    EXPECT_FALSE(pair.fast_ok);
    EXPECT_EQ(pair.fast.error,
              pair.fast.filename + ": error in " + pair.fast.dir / "shapes/b.ply: write error");
    EXPECT_EQ(pair.fast.calls.back(), (progress_call{"save shape", 2 + bad, 6}));
    EXPECT_TRUE(read_file(pair.fast.dir / "shapes/b.ply") ==
                read_file(pair.plain.dir / "shapes/b.ply"));
    EXPECT_TRUE(path_exists(pair.fast.dir / "shapes/a.ply"));
    EXPECT_FALSE(path_exists(pair.fast.dir / "shapes/c.ply"));
    EXPECT_FALSE(path_exists(pair.fast.filename));
  }
}

TEST(json_scene_fast_writer, a_shape_that_cannot_be_written_stops_the_save_there) {
  // Enough shapes that several batches are on their way to the writer when
  // one of them fails.
  auto scene = scene_data{};
  for (int i = 0; i < 3000; i++) add_triangle(scene, "s" + std::to_string(i));
  add_ldr_texture(scene, "t");
  auto out = json_output{};
  std::filesystem::create_directory(out.dir.path / "shapes/s1200.ply");
  write_file(out.filename, "an earlier scene");
  EXPECT_FALSE(out.save(scene));
  EXPECT_EQ(out.error,
            out.filename + ": error in " + out.dir / "shapes/s1200.ply" + ": file not found");
  EXPECT_EQ(out.calls.back(), (progress_call{"save shape", 1202, 3003}));
  EXPECT_TRUE(path_exists(out.dir / "shapes/s1199.ply"));
  EXPECT_FALSE(path_exists(out.dir / "shapes/s1201.ply"));
  EXPECT_FALSE(path_exists(out.dir / "textures/t.png"));
  // Neither the new scene file nor the earlier one, whose shapes were
  // partly replaced, is left; no temporary either.
  EXPECT_EQ(files_in_folder(out.dir.path), (std::set<std::string>{"shapes", "textures"}));
}

// ---------------------------------------------------------------------------
// Round trips on the cities blockgen builds

namespace {

// blockgen on the GeoJSON files of a folder, then: what was read saves to
// the same bytes, and reading the saved scene gives the same records.
void check_round_trip(const fs::path& geojson_folder) {
  auto input = scratch_dir{"round-trip-input"}, first = scratch_dir{"round-trip-first"};
  auto second = scratch_dir{"round-trip-second"};
  copy_assets(input.str());
  for (auto& entry : fs::directory_iterator(geojson_folder))
    if (entry.path().extension() == ".geojson")
      fs::copy(entry.path(), input.path / entry.path().filename());
  auto run = run_program(BLOCKGEN_PATH, {"-o", first / "city.json", input.str()});
  ASSERT_EQ(run.status, 0) << run.out;

  auto scene = scene_data{}, again = scene_data{};
  auto error = std::string{};
  ASSERT_TRUE(load_json_scene(first / "city.json", scene, error)) << error;
  EXPECT_GT(scene.instances.size(), 50u);
  fs::create_directories(second.path / "shapes");
  fs::create_directories(second.path / "textures");
  ASSERT_TRUE(save_json_scene(second / "city.json", scene, error)) << error;

  auto originals = files_under(first.path), copies = files_under(second.path);
  for (auto& [file, bytes] : copies) {
    ASSERT_TRUE(originals.count(file)) << file;
    EXPECT_TRUE(originals[file] == bytes) << file << " differs";
  }
  // What was not written again is what no record names: the empty shapes
  // the trees leave behind, tree models and façades the city did not use.
  auto named = std::set<std::string>{};
  for (auto& shape : scene.shapes) named.insert("shapes/" + shape->name + ".ply");
  for (auto& texture : scene.textures) named.insert("textures/" + texture->name + ".hdr");
  for (auto& [file, bytes] : originals)
    if (!copies.count(file)) {
      EXPECT_FALSE(named.count(file)) << file << " was not written";
    }

  ASSERT_TRUE(load_json_scene(second / "city.json", again, error)) << error;
  expect_same_scenes(scene, again);
}

}  // namespace

TEST(json_scene_round_trip, sample_town) { check_round_trip(SAMPLES_DIR "/town"); }

TEST(json_scene_round_trip, real_extracts) {
  auto root = fs::path(SHARED_DIR) / "osm";
  if (!fs::is_directory(root)) GTEST_SKIP() << root << " is absent";
  for (auto& folder : fs::directory_iterator(root)) {
    if (!folder.is_directory()) continue;
    SCOPED_TRACE(folder.path().filename().string());
    check_round_trip(folder.path());
  }
}

// The store read from a JSON scene, its shapes left in their files, against
// the whole scene read from the same files: the same shapes in the same
// order, and the same files written from either.
TEST(json_scene_store_reader, a_store_writes_what_the_whole_scene_writes) {
  auto folder = scene_folder{};
  folder.add_shape_file("s.ply");
  folder.add_shape_file("tree.ply");
  folder.add_shape_file("subdivided.ply");  // an OBJ was expected: the other file serves
  folder.add_shape_file("empty.ply", true);
  const auto document = std::string{R"({"cameras": {"c": {"lens": 0.035}},
      "materials": {"m": {"color": [1, 0, 0]}, "n": null, "m": {"roughness": 0.5}},
      "instances": {
        "b": {"shape": "tree", "material": "n", "frame": [1,0,0, 0,1,0, 0,0,1, 7,8,9]},
        "a": {"shape": "s", "material": "m"},
        "c": {"shape": "tree", "smooth": false},
        "d": {"shape": "subdivided", "subdivisions": 1, "displacement": 0.5},
        "e": {"shape": "empty"}, "a": {"shape": "s", "frame": [1,0,0, 0,1,0, 0,0,1, 1,2,3]}}})"};
  ASSERT_TRUE(folder.load(document)) << folder.error;
  auto store_scene = scene_data{};
  auto store = json_scene_store{};
  auto error = std::string{};
  ASSERT_TRUE(load_json_scene_store(folder.filename, store_scene, store, error)) << error;
  ASSERT_EQ(store.shapes.size(), folder.scene.shapes.size());
  ASSERT_EQ(store.instances.size(), folder.scene.instances.size());
  auto scratch = scene_shape{};
  for (size_t i = 0; i < store.shapes.size(); i++) {
    auto shape = store_shape_geometry(store, i, scratch, error);
    ASSERT_NE(shape, nullptr) << error;
    auto& whole = *folder.scene.shapes[i];
    EXPECT_EQ(shape->name, whole.name);
    EXPECT_EQ(shape->subdivisions, whole.subdivisions);
    EXPECT_EQ(shape->smooth, whole.smooth);
    EXPECT_EQ(shape->positions.size(), whole.positions.size());
    EXPECT_EQ(shape->triangles.size(), whole.triangles.size());
  }
  auto out = scratch_dir{"json-store-out"};
  for (auto name : {"scene.json", "scene.stl", "first.ply"}) {
    SCOPED_TRACE(name);
    auto whole = out / ("whole/" + std::string(name));
    auto stored = out / ("store/" + std::string(name));
    for (auto path : {whole, stored}) {
      fs::create_directories(fs::path(path).parent_path() / "shapes");
      fs::create_directories(fs::path(path).parent_path() / "textures");
    }
    ASSERT_TRUE(save_scene(whole, folder.scene, error)) << error;
    auto ok = std::string(name) == "scene.json"  ? save_json_scene(stored, store_scene, store, error)
              : std::string(name) == "scene.stl" ? save_stl_scene(stored, store_scene, store, error)
                                                 : save_first_shape(stored, store, error);
    ASSERT_TRUE(ok) << error;
    EXPECT_TRUE(read_file(whole) == read_file(stored));
  }
  for (auto& entry : fs::directory_iterator(out.path / "whole/shapes"))
    EXPECT_TRUE(read_file(entry.path().string()) ==
                read_file((out.path / "store/shapes" / entry.path().filename()).string()))
        << entry.path();
}

TEST(json_scene_store_reader, a_shape_that_cannot_be_read_fails_when_it_is_asked_for) {
  auto folder = scene_folder{};
  folder.add_shape_file("good.ply");
  write_file(folder.dir / "shapes/broken.ply", "ply\nformat ascii 1.0\nelement vertex 1\n");
  write_file(folder.filename, R"({"instances": {"a": {"shape": "good"}, "b": {"shape": "broken"},
                                  "c": {"shape": "gone"}}})");
  auto scene = scene_data{};
  auto store = json_scene_store{};
  auto error = std::string{};
  // The document reads; no shape file is touched yet.
  ASSERT_TRUE(load_json_scene_store(folder.filename, scene, store, error)) << error;
  EXPECT_EQ(store_read_failure(store), "");
  auto scratch = scene_shape{};
  EXPECT_NE(store_shape_geometry(store, 0, scratch, error), nullptr) << error;
  const std::string expected[] = {
      folder.filename + ": error in " + folder.dir / "shapes/broken.ply: parse error",
      folder.filename + ": error in " + folder.dir / "shapes/gone.ply: file not found"};
  for (size_t i = 1; i < 3; i++) {
    EXPECT_EQ(store_shape_geometry(store, i, scratch, error), nullptr);
    EXPECT_EQ(error.substr(0, expected[i - 1].size()), expected[i - 1]) << error;
  }
  // The first failure is the one the reader reports; the whole scene fails
  // with the same text.
  EXPECT_EQ(store_read_failure(store).substr(0, expected[0].size()), expected[0]);
  EXPECT_FALSE(load_json_scene(folder.filename, scene, error));
  EXPECT_EQ(error, store_read_failure(store));
}
