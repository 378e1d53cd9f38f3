#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
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

// ---------------------------------------------------------------------------
// Reading

namespace {

// Two scenes hold the same records, field by field, in the same order;
// references compare by the names they point to.
template <typename T>
std::string name_of(const T* record) {
  return record ? record->name : std::string("(none)");
}

void expect_same_scenes(const scene_data& a, const scene_data& b) {
  EXPECT_EQ(a.copyright, b.copyright);
  ASSERT_EQ(a.cameras.size(), b.cameras.size());
  for (size_t i = 0; i < a.cameras.size(); i++) {
    auto &x = *a.cameras[i], &y = *b.cameras[i];
    SCOPED_TRACE("camera " + x.name);
    EXPECT_EQ(x.name, y.name);
    EXPECT_TRUE(x.frame == y.frame);
    EXPECT_EQ(std::tie(x.ortho, x.lens, x.film, x.aspect, x.focus, x.aperture),
              std::tie(y.ortho, y.lens, y.film, y.aspect, y.focus, y.aperture));
  }
  ASSERT_EQ(a.environments.size(), b.environments.size());
  for (size_t i = 0; i < a.environments.size(); i++) {
    auto &x = *a.environments[i], &y = *b.environments[i];
    SCOPED_TRACE("environment " + x.name);
    EXPECT_EQ(x.name, y.name);
    EXPECT_TRUE(x.frame == y.frame && x.emission == y.emission);
    EXPECT_EQ(name_of(x.emission_tex), name_of(y.emission_tex));
  }
  ASSERT_EQ(a.materials.size(), b.materials.size());
  for (size_t i = 0; i < a.materials.size(); i++) {
    auto &x = *a.materials[i], &y = *b.materials[i];
    SCOPED_TRACE("material " + x.name);
    EXPECT_EQ(x.name, y.name);
    EXPECT_TRUE(x.emission == y.emission && x.color == y.color && x.scattering == y.scattering);
    EXPECT_EQ(std::tie(x.specular, x.roughness, x.metallic, x.ior, x.coat, x.transmission,
                       x.translucency, x.scanisotropy, x.trdepth, x.opacity, x.thin),
              std::tie(y.specular, y.roughness, y.metallic, y.ior, y.coat, y.transmission,
                       y.translucency, y.scanisotropy, y.trdepth, y.opacity, y.thin));
    auto textures = [](const scene_material& m) {
      auto names = std::vector<std::string>{};
      for (auto t : {m.emission_tex, m.color_tex, m.specular_tex, m.metallic_tex,
                     m.roughness_tex, m.transmission_tex, m.translucency_tex, m.scattering_tex,
                     m.coat_tex, m.opacity_tex, m.normal_tex})
        names.push_back(name_of(t));
      return names;
    };
    EXPECT_EQ(textures(x), textures(y));
  }
  ASSERT_EQ(a.instances.size(), b.instances.size());
  for (size_t i = 0; i < a.instances.size(); i++) {
    auto &x = *a.instances[i], &y = *b.instances[i];
    SCOPED_TRACE("instance " + x.name);
    EXPECT_EQ(x.name, y.name);
    EXPECT_TRUE(x.frame == y.frame);
    EXPECT_EQ(name_of(x.shape), name_of(y.shape));
    EXPECT_EQ(name_of(x.material), name_of(y.material));
  }
  ASSERT_EQ(a.shapes.size(), b.shapes.size());
  for (size_t i = 0; i < a.shapes.size(); i++) {
    auto &x = *a.shapes[i], &y = *b.shapes[i];
    SCOPED_TRACE("shape " + x.name);
    EXPECT_EQ(x.name, y.name);
    EXPECT_TRUE(x.points == y.points && x.lines == y.lines && x.triangles == y.triangles &&
                x.quads == y.quads && x.quadspos == y.quadspos && x.quadsnorm == y.quadsnorm &&
                x.quadstexcoord == y.quadstexcoord);
    EXPECT_TRUE(x.positions == y.positions && x.normals == y.normals &&
                x.texcoords == y.texcoords && x.colors == y.colors && x.radius == y.radius);
    EXPECT_EQ(std::tie(x.subdivisions, x.catmullclark, x.smooth, x.displacement),
              std::tie(y.subdivisions, y.catmullclark, y.smooth, y.displacement));
    EXPECT_EQ(name_of(x.displacement_tex), name_of(y.displacement_tex));
  }
  ASSERT_EQ(a.textures.size(), b.textures.size());
  for (size_t i = 0; i < a.textures.size(); i++) {
    auto &x = *a.textures[i], &y = *b.textures[i];
    SCOPED_TRACE("texture " + x.name);
    EXPECT_EQ(x.name, y.name);
    EXPECT_EQ(std::tie(x.hdr.width, x.hdr.height, x.ldr.width, x.ldr.height),
              std::tie(y.hdr.width, y.hdr.height, y.ldr.width, y.ldr.height));
    EXPECT_TRUE(x.hdr.pixels == y.hdr.pixels && x.ldr.pixels == y.ldr.pixels);
  }
}

// A scene folder written by hand: the document and any files beside it.
struct scene_folder {
  scratch_dir dir{"json-read"};
  std::string filename = dir / "scene.json";
  std::string error = "";
  scene_data scene;

  scene_folder() {
    std::filesystem::create_directory(dir.path / "shapes");
    std::filesystem::create_directory(dir.path / "textures");
  }
  bool load(const std::string& text) {
    write_file(filename, text);
    return load_json_scene(filename, scene, error);
  }
  void add_shape_file(const std::string& name) {
    auto shape = scene_shape{};
    shape.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    shape.triangles = {{0, 1, 2}};
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
  hdr->hdr = {2, 1, {{0.5f, 1, 2, 1}, {4, 0.25f, 8, 1}}};
  auto camera = add_camera(scene, "c");
  camera->frame = {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}, {1, 2, 3}};
  camera->ortho = true, camera->lens = 0.035f, camera->film = 0.024f, camera->aspect = 1;
  camera->focus = 3.9f, camera->aperture = 0.25f;
  add_camera(scene, "defaults");
  auto environment = add_environment(scene, "e");
  environment->frame.x = {0, 0, -1};
  environment->emission = {1, 1, 1};
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
  // A subdivided shape goes to an OBJ file, a displaced one to PLY; both
  // carry every vertex array their formats keep.
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
  auto place = [&](const char* name, scene_shape* shape, scene_material* material) {
    auto instance = add_instance(scene, name);
    instance->frame.o = {4, 5, 6};
    instance->shape = shape, instance->material = material;
  };
  place("a", smooth, m);
  place("b", displaced, plain);
  place("c", smooth, nullptr);
  place("d", fence, plain);
  place("e", nullptr, m);

  auto out = json_output{};
  ASSERT_TRUE(out.save(scene)) << out.error;
  auto loaded = scene_data{};
  ASSERT_TRUE(load_json_scene(out.filename, loaded, out.error)) << out.error;
  // The sky reads back through its Radiance file, which keeps no alpha and
  // rounds to its shared exponent; everything else is exact.
  ASSERT_EQ(loaded.textures.size(), 2u);
  auto& sky = loaded.textures[0]->name == "sky" ? *loaded.textures[0] : *loaded.textures[1];
  ASSERT_EQ(sky.hdr.pixels.size(), 2u);
  EXPECT_NEAR(sky.hdr.pixels[1].z, 8, 0.05);
  EXPECT_EQ(sky.hdr.pixels[0].w, 1);
  hdr->hdr = sky.hdr;
  // Textures and shapes come in the order the document first names them:
  // the environment's sky before the instances' and materials' textures.
  std::swap(scene.textures[0], scene.textures[1]);
  expect_same_scenes(scene, loaded);
}

TEST(json_scene_reader, null_records_and_null_or_absent_members_keep_the_defaults) {
  auto folder = scene_folder{};
  ASSERT_TRUE(folder.load(R"({"cameras": {"c": null, "d": {"lens": null, "ortho": true}},
                              "materials": {"m": {}, "": null}, "environments": null,
                              "extra": [1, {"x": 2}], "asset": {"copyright": null}})"))
      << folder.error;
  auto& scene = folder.scene;
  ASSERT_EQ(scene.cameras.size(), 2u);
  auto fresh = scene_camera{};
  EXPECT_EQ(scene.cameras[0]->name, "c");
  EXPECT_EQ(scene.cameras[0]->lens, fresh.lens);
  EXPECT_TRUE(scene.cameras[0]->frame == fresh.frame);
  EXPECT_EQ(scene.cameras[1]->lens, fresh.lens);
  EXPECT_TRUE(scene.cameras[1]->ortho);
  ASSERT_EQ(scene.materials.size(), 2u);
  EXPECT_EQ(scene.materials[1]->name, "");  // an empty name stays empty
  EXPECT_EQ(scene.materials[0]->ior, 1.5f);
  EXPECT_TRUE(scene.materials[0]->thin);
  EXPECT_TRUE(scene.environments.empty() && scene.instances.empty() && scene.shapes.empty());
}

TEST(json_scene_reader, a_name_given_twice_counts_as_its_last_occurrence) {
  auto folder = scene_folder{};
  folder.add_shape_file("s.ply");
  ASSERT_TRUE(folder.load(R"({"materials": {"m": {"color": [1, 0, 0]}, "n": {},
                                            "m": {"roughness": 0.5}},
                              "instances": {"i": {"shape": "s", "material": "m"},
                                            "i": {"frame": [1,0,0, 0,1,0, 0,0,1, 7,8,9]}}})"))
      << folder.error;
  auto& scene = folder.scene;
  ASSERT_EQ(scene.materials.size(), 2u);
  EXPECT_EQ(scene.materials[0]->name, "m");
  EXPECT_TRUE(scene.materials[0]->color == (vec3f{0, 0, 0}));
  EXPECT_EQ(scene.materials[0]->roughness, 0.5f);
  ASSERT_EQ(scene.instances.size(), 1u);
  EXPECT_EQ(scene.instances[0]->material, nullptr);
  EXPECT_TRUE(scene.instances[0]->frame.o == (vec3f{7, 8, 9}));
}

TEST(json_scene_reader, a_document_in_memory_reads_files_beside_its_name) {
  auto folder = scene_folder{};
  folder.add_shape_file("s.ply");
  auto calls = std::vector<progress_call>{};
  auto scene = scene_data{};
  ASSERT_TRUE(parse_json_scene(folder.filename,
                               R"({"instances": {"a": {"shape": "s"}, "b": {"shape": "s"}}})",
                               scene, folder.error,
                               [&](const std::string& m, int c, int t) { calls.emplace_back(m, c, t); }))
      << folder.error;
  // One shape for both instances, read once.
  ASSERT_EQ(scene.shapes.size(), 1u);
  EXPECT_EQ(scene.instances[0]->shape, scene.instances[1]->shape);
  EXPECT_EQ(scene.shapes[0]->triangles.size(), 1u);
  EXPECT_EQ(calls, (std::vector<progress_call>{
                       {"load scene", 0, 1}, {"load shape", 2, 3}, {"load done", 3, 3}}));
}

TEST(json_scene_reader, shape_files_are_found_by_the_writers_choice_or_the_other) {
  auto folder = scene_folder{};
  folder.add_shape_file("subdivided.ply");  // an OBJ was expected
  folder.add_shape_file("plain.obj");       // a PLY was expected
  ASSERT_TRUE(folder.load(R"({"instances": {"a": {"shape": "subdivided", "subdivisions": 1},
                                            "b": {"shape": "plain"}}})"))
      << folder.error;
  ASSERT_EQ(folder.scene.shapes.size(), 2u);
  EXPECT_EQ(folder.scene.shapes[0]->subdivisions, 1);
  EXPECT_EQ(folder.scene.shapes[0]->positions.size(), 3u);
  EXPECT_EQ(folder.scene.shapes[1]->triangles.size(), 1u);
}

TEST(json_scene_reader, a_shape_file_without_elements_is_an_empty_shape) {
  // What the writer leaves for a record without geometry, as every tree does.
  auto folder = scene_folder{};
  auto error = std::string{};
  ASSERT_TRUE(save_shape(folder.dir / "shapes/tree.ply", scene_shape{}, error)) << error;
  ASSERT_TRUE(folder.load(R"({"instances": {"tree": {"shape": "tree"}}})")) << folder.error;
  ASSERT_EQ(folder.scene.shapes.size(), 1u);
  EXPECT_TRUE(folder.scene.shapes[0]->positions.empty());

  // Vertices without coordinates are still no shape.
  write_file(folder.dir / "shapes/tree.ply",
             "ply\nformat ascii 1.0\nelement vertex 1\nproperty float w\nend_header\n1\n");
  EXPECT_FALSE(folder.load(R"({"instances": {"tree": {"shape": "tree"}}})"));
  EXPECT_EQ(folder.error,
            folder.filename + ": error in " + folder.dir / "shapes/tree.ply" + ": empty shape");
}

TEST(json_scene_reader, textures_are_read_from_every_image_format) {
  auto folder = scene_folder{};
  auto pixels = image4f{2, 2, {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}, {1, 1, 1, 1}}};
  auto error = std::string{};
  for (auto name : {"a.png", "b.jpg", "c.hdr", "d.exr", "e.pfm"})
    ASSERT_TRUE(save_image(folder.dir / (std::string("textures/") + name), pixels, error)) << error;
  // Where two files could serve, the first of png, jpg, hdr, exr, pfm does.
  ASSERT_TRUE(save_image(folder.dir / "textures/a.hdr", pixels, error)) << error;
  ASSERT_TRUE(folder.load(R"({"materials": {"m": {"color_tex": "a", "coat_tex": "b",
                              "normal_tex": "c", "opacity_tex": "d", "emission_tex": "e"}}})"))
      << folder.error;
  auto& textures = folder.scene.textures;
  ASSERT_EQ(textures.size(), 5u);
  auto expect_kind = [&](const char* name, bool is_float) {
    for (auto& texture : textures) {
      if (texture->name != name) continue;
      EXPECT_EQ(texture->hdr.pixels.empty(), !is_float) << name;
      EXPECT_EQ(is_float ? texture->hdr.width : texture->ldr.width, 2) << name;
      return;
    }
    ADD_FAILURE() << name << " not read";
  };
  expect_kind("a", false), expect_kind("b", false), expect_kind("c", true);
  expect_kind("d", true), expect_kind("e", true);
}

TEST(json_scene_reader, missing_and_broken_files_are_wrapped_with_the_scene_name) {
  auto folder = scene_folder{};
  EXPECT_FALSE(load_json_scene(folder.dir / "absent.json", folder.scene, folder.error));
  EXPECT_EQ(folder.error, folder.dir / "absent.json" + ": file not found");

  EXPECT_FALSE(folder.load(R"({"instances": {"i": {"shape": "gone"}}})"));
  EXPECT_EQ(folder.error,
            folder.filename + ": error in " + folder.dir / "shapes/gone.ply" + ": file not found");

  write_file(folder.dir / "shapes/broken.ply", "ply\nformat ascii 1.0\nelement vertex 1\n");
  EXPECT_FALSE(folder.load(R"({"instances": {"i": {"shape": "broken"}}})"));
  EXPECT_EQ(folder.error,
            folder.filename + ": error in " + folder.dir / "shapes/broken.ply" + ": parse error");

  EXPECT_FALSE(folder.load(R"({"environments": {"sky": {"emission_tex": "sky"}}})"));
  auto prefix = folder.filename + ": error in " + folder.dir / "textures/sky.png: file not found";
  EXPECT_EQ(folder.error.substr(0, prefix.size()), prefix) << folder.error;

  write_file(folder.dir / "textures/sky.hdr", "#?RADIANCE\nnot an image");
  EXPECT_FALSE(folder.load(R"({"environments": {"sky": {"emission_tex": "sky"}}})"));
  prefix = folder.filename + ": error in " + folder.dir / "textures/sky.hdr: ";
  EXPECT_EQ(folder.error.substr(0, prefix.size()), prefix) << folder.error;
}

TEST(json_scene_reader, documents_of_the_wrong_form_name_the_problem) {
  struct bad_document {
    const char* text;
    const char* problem;  // after ": parse error in json", empty for none
  };
  const bad_document documents[] = {
      {"", ""},
      {"{\"cameras\": {\"c\": {}}", ""},
      {"{\"cameras\": {}} trailing", ""},
      {"{\"materials\": {\"bad\xff\": null}}", ""},
      {"[]", ": the document is not an object"},
      {"7", ": the document is not an object"},
      {R"({"cameras": []})", ": \"cameras\" is not an object"},
      {R"({"asset": "x"})", ": \"asset\" is not an object"},
      {R"({"asset": {"copyright": 5}})", ": \"asset\": \"copyright\" is not a text"},
      {R"({"cameras": {"c": 3}})", ": camera \"c\" is not an object or null"},
      {R"({"instances": {"i": [1]}})", ": instance \"i\" is not an object or null"},
      {R"({"cameras": {"c": {"lens": "wide"}}})",
       ": camera \"c\": \"lens\" is not a number in the range of a float"},
      {R"({"cameras": {"c": {"lens": 1e39}}})",
       ": camera \"c\": \"lens\" is not a number in the range of a float"},
      {R"({"cameras": {"c": {"ortho": 1}}})", ": camera \"c\": \"ortho\" is not true or false"},
      {R"({"cameras": {"c": {"frame": [1,0,0, 0,1,0, 0,0,1, 0,0]}}})",
       ": camera \"c\": \"frame\" is not an array of 12 numbers in the range of a float"},
      {R"({"environments": {"e": {"emission": [1, 1, "1"]}}})",
       ": environment \"e\": \"emission\" is not an array of 3 numbers in the range of a float"},
      {R"({"materials": {"m": {"color": [[1], 1, 1]}}})",
       ": material \"m\": \"color\" is not an array of 3 numbers in the range of a float"},
      {R"({"materials": {"m": {"color_tex": 1}}})",
       ": material \"m\": \"color_tex\" is not a texture name"},
      {R"({"instances": {"i": {"subdivisions": 2.5}}})",
       ": instance \"i\": \"subdivisions\" is not a 32-bit integer"},
      {R"({"instances": {"i": {"subdivisions": 4294967296}}})",
       ": instance \"i\": \"subdivisions\" is not a 32-bit integer"},
      {R"({"instances": {"i": {"shape": {"name": "s"}}}})",
       ": instance \"i\": \"shape\" is not a shape name"},
      {R"({"instances": {"i": {"material": "nowhere"}}})",
       ": instance \"i\": no material \"nowhere\""},
  };
  for (auto& bad : documents) {
    auto folder = scene_folder{};
    EXPECT_FALSE(folder.load(bad.text)) << bad.text;
    EXPECT_EQ(folder.error, folder.filename + ": parse error in json" + bad.problem) << bad.text;
  }
}

TEST(json_scene_reader, names_that_would_read_outside_the_folders_are_refused) {
  auto folder = scene_folder{};
  // A file where an escaping name would lead: it must never be read.
  folder.add_shape_file("../escape.ply");
  for (auto name : {"../escape", "../shapes/x", "a/b", "a\\b", "..", ".", "", "c:x", "nul"}) {
    auto document = json{{"instances", {{"tree", {{"shape", name}}}}}};
    EXPECT_FALSE(folder.load(document.dump())) << name;
    EXPECT_EQ(folder.error, folder.filename + ": error in instance \"tree\": shape \"" + name +
                                "\" is not a valid file name");
  }
  auto document = json{{"materials", {{"wall", {{"color_tex", "../../etc/passwd"}}}}}};
  EXPECT_FALSE(folder.load(document.dump()));
  EXPECT_EQ(folder.error, folder.filename + ": error in material \"wall\": texture "
                                            "\"../../etc/passwd\" is not a valid file name");
  document = json{{"environments", {{"sky", {{"emission_tex", "/abs"}}}}}};
  EXPECT_FALSE(folder.load(document.dump()));
  EXPECT_EQ(folder.error, folder.filename +
                              ": error in environment \"sky\": texture \"/abs\" is not a valid "
                              "file name");
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
            folder.filename + ": error in " + folder.dir / "shapes/huge.ply" + ": read error");
  auto frame = std::string("[0");
  for (int i = 0; i < 2000000; i++) frame += ",0";
  EXPECT_FALSE(folder.load("{\"cameras\": {\"c\": {\"frame\": " + frame + "]}}}"));
  EXPECT_EQ(folder.error,
            folder.filename + ": parse error in json: camera \"c\": \"frame\" is not an array "
                              "of 12 numbers in the range of a float");
}

// ---------------------------------------------------------------------------
// Round trips on the cities blockgen builds

namespace {

namespace fs = std::filesystem;

// Every file under a folder, by its path relative to the folder.
std::map<std::string, std::string> files_under(const fs::path& folder) {
  auto files = std::map<std::string, std::string>{};
  for (auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), folder).generic_string()] = read_file(entry.path().string());
  return files;
}

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
