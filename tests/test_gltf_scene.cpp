// The glTF writer, read back by hand from the bytes of the file (header,
// chunks, accessors) and by the Khronos validator.

#include <gtest/gtest.h>
#include <stb_image.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "scene/gltf_scene.h"
#include "scene/scene_io.h"
#include "support/files.h"
#include "test_util.h"

using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

// A glTF file as a reader sees it: the document and the buffer.
struct gltf_file {
  json        doc;
  std::string bin;

  // The values of an accessor, converted to float, row by row.
  std::vector<std::vector<float>> values(int index) const {
    auto& a = doc["accessors"][index];
    auto& view = doc["bufferViews"][a["bufferView"].get<int>()];
    auto components = std::map<std::string, int>{{"SCALAR", 1}, {"VEC2", 2}, {"VEC3", 3},
                                                  {"VEC4", 4}}[a["type"]];
    auto type = a["componentType"].get<int>();
    auto size = type == 5121 ? 1 : type == 5123 ? 2 : 4;
    auto stride = view.value("byteStride", components * size);
    auto start = view.value("byteOffset", 0) + a.value("byteOffset", 0);
    auto rows = std::vector<std::vector<float>>{};
    for (int i = 0; i < a["count"].get<int>(); i++) {
      auto row = std::vector<float>{};
      for (int k = 0; k < components; k++) {
        auto at = bin.data() + start + i * stride + k * size;
        uint32_t u = 0;
        float f = 0;
        if (type == 5126) std::memcpy(&f, at, 4), row.push_back(f);
        else std::memcpy(&u, at, (size_t)size), row.push_back((float)u);
      }
      rows.push_back(row);
    }
    return rows;
  }
  // The primitive of a mesh with the given mode (4 triangles, 1 lines).
  json primitive(int mesh, int mode = 4) const {
    for (auto& p : doc["meshes"][mesh]["primitives"])
      if (p.value("mode", 4) == mode) return p;
    return json{};
  }
};

gltf_file read_glb(const std::string& path) {
  auto bytes = read_file(path);
  auto word = [&](size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
  };
  auto file = gltf_file{};
  EXPECT_EQ(bytes.substr(0, 4), "glTF");
  EXPECT_EQ(word(4), 2u);
  EXPECT_EQ(word(8), bytes.size());
  auto json_length = word(12);
  EXPECT_EQ(bytes.substr(16, 4), "JSON");
  EXPECT_EQ(json_length % 4, 0u);
  file.doc = json::parse(bytes.substr(20, json_length));
  if (bytes.size() > 20 + json_length) {
    auto at = 20 + json_length;
    EXPECT_EQ(bytes.substr(at + 4, 4), std::string("BIN\0", 4));
    file.bin = bytes.substr(at + 8, word(at));
  }
  return file;
}

gltf_file read_gltf(const std::string& path) {
  auto file = gltf_file{};
  file.doc = json::parse(read_file(path));
  if (file.doc.contains("buffers"))
    file.bin = read_file(path_join(path_dirname(path), file.doc["buffers"][0]["uri"]));
  return file;
}

struct gltf_output {
  scratch_dir dir{"gltf"};
  std::string error = "";
  gltf_file save(const scene_data& scene, const std::string& name = "scene.glb") {
    auto filename = dir / name;
    EXPECT_TRUE(save_gltf_scene(filename, scene, error)) << error;
    return has_extension(name, ".glb") ? read_glb(filename) : read_gltf(filename);
  }
};

scene_shape* add_quad(scene_data& scene, const std::string& name) {
  auto shape = add_shape(scene, name);
  shape->positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  shape->quads = {{0, 1, 2, 3}};
  return shape;
}

scene_instance* place(scene_data& scene, const std::string& name, scene_shape* shape,
                      scene_material* material, const frame3f& frame = {}) {
  auto instance = add_instance(scene, name);
  instance->shape = shape, instance->material = material, instance->frame = frame;
  return instance;
}

std::vector<float> floats(const json& array) { return array.get<std::vector<float>>(); }

const json& node_named(const json& doc, const std::string& name) {
  for (auto& node : doc["nodes"])
    if (node["name"] == name) return node;
  static const json none = json::object();
  ADD_FAILURE() << "no node " << name;
  return none;
}

}  // namespace

TEST(gltf_scene, instances_of_a_shape_share_its_mesh) {
  // Fifty trees, each with a material of its own but the same colour, and
  // one shape shown with two different materials.
  auto scene = scene_data{};
  auto tree = add_quad(scene, "tree");
  for (int i = 0; i < 50; i++) {
    auto material = add_material(scene, "leaves_" + std::to_string(i));
    material->color = {0.1f, 0.5f, 0.1f};
    place(scene, "tree_" + std::to_string(i), tree, material, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {(float)i, 0, 0}});
  }
  auto wall = add_quad(scene, "wall");
  auto red = add_material(scene, "red"), blue = add_material(scene, "blue");
  red->color = {1, 0, 0}, blue->color = {0, 0, 1};
  place(scene, "wall_a", wall, red);
  place(scene, "wall_b", wall, blue);

  auto out = gltf_output{};
  auto file = out.save(scene);
  auto& doc = file.doc;
  ASSERT_EQ(doc["nodes"].size(), 52u);
  ASSERT_EQ(doc["meshes"].size(), 3u);
  ASSERT_EQ(doc["materials"].size(), 3u);
  auto tree_mesh = doc["nodes"][0]["mesh"];
  for (int i = 0; i < 50; i++) EXPECT_EQ(doc["nodes"][i]["mesh"], tree_mesh) << i;
  // The wall's two meshes differ in material only: one set of accessors.
  auto a = doc["nodes"][50]["mesh"].get<int>(), b = doc["nodes"][51]["mesh"].get<int>();
  EXPECT_NE(a, b);
  EXPECT_EQ(file.primitive(a)["attributes"], file.primitive(b)["attributes"]);
  EXPECT_EQ(file.primitive(a)["indices"], file.primitive(b)["indices"]);
  EXPECT_NE(file.primitive(a)["material"], file.primitive(b)["material"]);
  // Geometry is stored once per shape: two quads of 4 vertices.
  EXPECT_EQ(doc["accessors"].size(), 4u);
}

TEST(gltf_scene, frames_become_node_matrices_or_are_placed_in_the_mesh) {
  auto scene = scene_data{};
  auto quad = add_quad(scene, "quad");
  // A quarter turn about y, twice the size, moved to (10, 0, 5).
  place(scene, "turned", quad, nullptr, {{0, 0, -2}, {0, 2, 0}, {2, 0, 0}, {10, 0, 5}});
  place(scene, "still", quad, nullptr);
  // A sheared frame is no rotation and scale: its shape goes into the mesh.
  place(scene, "sheared", quad, nullptr, {{1, 0, 0}, {1, 1, 0}, {0, 0, 1}, {0, 0, 3}});

  auto out = gltf_output{};
  auto file = out.save(scene, "frames.gltf");
  auto &turned = node_named(file.doc, "turned"), &still = node_named(file.doc, "still");
  auto& sheared = node_named(file.doc, "sheared");
  EXPECT_EQ(floats(turned["matrix"]),
            (std::vector<float>{0, 0, -2, 0, 0, 2, 0, 0, 2, 0, 0, 0, 10, 0, 5, 1}));
  EXPECT_FALSE(still.contains("matrix"));
  EXPECT_EQ(turned["mesh"], still["mesh"]);
  EXPECT_FALSE(sheared.contains("matrix"));
  EXPECT_NE(sheared["mesh"], turned["mesh"]);
  auto positions = file.primitive(sheared["mesh"].get<int>())["attributes"]["POSITION"].get<int>();
  EXPECT_EQ(file.values(positions)[2], (std::vector<float>{2, 1, 3}));  // (1,1,0) sheared
  EXPECT_EQ(floats(file.doc["accessors"][positions]["max"]), (std::vector<float>{2, 1, 3}));
}

TEST(gltf_scene, cameras_are_nodes_with_the_vertical_field_of_view) {
  auto scene = scene_data{};
  auto camera = add_camera(scene, "view");
  camera->frame = {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}, {5, 1, 2}};
  auto top = add_camera(scene, "top");
  top->ortho = true, top->aspect = 2, top->focus = 10;

  auto out = gltf_output{};
  auto file = out.save(scene);
  auto& doc = file.doc;
  ASSERT_EQ(doc["cameras"].size(), 2u);
  // In name order, as the JSON scene keys them: top, then view.
  auto& perspective = doc["cameras"][1];
  EXPECT_EQ(perspective["type"], "perspective");
  // 36 mm film at aspect 1.5 is 24 mm high; with a 50 mm lens:
  EXPECT_NEAR(perspective["perspective"]["yfov"].get<double>(), 2 * std::atan(0.012 / 0.05), 1e-6);
  EXPECT_NEAR(perspective["perspective"]["aspectRatio"].get<double>(), 1.5, 1e-6);
  EXPECT_GT(perspective["perspective"]["znear"].get<double>(), 0);
  auto& node = doc["nodes"][1];
  EXPECT_EQ(node["name"], "view");
  EXPECT_EQ(node["camera"], 1);
  EXPECT_EQ(floats(node["matrix"]),
            (std::vector<float>{0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 5, 1, 2, 1}));
  auto& ortho = doc["cameras"][0]["orthographic"];
  // Half the film over the lens, at the focus distance: 0.018 / 0.05 * 10.
  EXPECT_NEAR(ortho["xmag"].get<double>(), 3.6, 1e-5);
  EXPECT_NEAR(ortho["ymag"].get<double>(), 1.8, 1e-5);
  EXPECT_GT(ortho["zfar"].get<double>(), ortho["znear"].get<double>());
}

TEST(gltf_scene, materials_keep_colour_metal_roughness_emission_and_opacity) {
  auto scene = scene_data{};
  auto quad = add_quad(scene, "quad");
  auto glass = add_material(scene, "glass");
  glass->color = {0.2f, 0.4f, 0.6f}, glass->opacity = 0.5f, glass->specular = 1;
  glass->roughness = 0.25f;
  auto metal = add_material(scene, "metal");
  metal->color = {2, 1, 0.5f}, metal->metallic = 1, metal->roughness = 0.5f, metal->thin = false;
  auto lamp = add_material(scene, "lamp");
  lamp->emission = {5, 2.5f, 0};
  place(scene, "a", quad, glass), place(scene, "b", quad, metal), place(scene, "c", quad, lamp);

  auto out = gltf_output{};
  auto file = out.save(scene);
  auto& materials = file.doc["materials"];
  ASSERT_EQ(materials.size(), 3u);
  auto& g = materials[0];
  EXPECT_EQ(g["name"], "glass");
  EXPECT_EQ(floats(g["pbrMetallicRoughness"]["baseColorFactor"]),
            (std::vector<float>{0.2f, 0.4f, 0.6f, 0.5f}));
  EXPECT_EQ(g["alphaMode"], "BLEND");
  EXPECT_EQ(g["doubleSided"], true);
  EXPECT_EQ(g["pbrMetallicRoughness"]["roughnessFactor"], 0.25);
  auto& m = materials[1];
  // Colours beyond 1 are clamped, as glTF factors stop there.
  EXPECT_EQ(floats(m["pbrMetallicRoughness"]["baseColorFactor"]), (std::vector<float>{1, 1, 0.5f, 1}));
  EXPECT_EQ(m["pbrMetallicRoughness"]["metallicFactor"], 1.0);
  EXPECT_FALSE(m.contains("alphaMode") || m.contains("doubleSided"));
  // A brighter emission keeps its colour in the factor and its strength in
  // the extension; a surface without specular weight has no highlight.
  auto& l = materials[2];
  EXPECT_EQ(floats(l["emissiveFactor"]), (std::vector<float>{1, 0.5f, 0}));
  EXPECT_EQ(l["extensions"]["KHR_materials_emissive_strength"]["emissiveStrength"], 5.0);
  EXPECT_EQ(l["extensions"]["KHR_materials_specular"]["specularFactor"], 0.0);
  EXPECT_EQ(l["pbrMetallicRoughness"]["roughnessFactor"], 1.0);
}

TEST(gltf_scene, float_textures_become_srgb_png_images) {
  auto scene = scene_data{};
  auto facade = add_texture(scene, "facade");
  facade->hdr = {2, 1, {{0.5f, 0, 2, 1}, {0.2158f, 1, 0.0031308f, 0.5f}}};
  auto material = add_material(scene, "wall");
  material->color = {1, 1, 1}, material->color_tex = facade;
  auto quad = add_quad(scene, "quad");
  quad->texcoords = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  place(scene, "wall", quad, material);

  for (auto name : {"scene.glb", "scene.gltf"}) {
    SCOPED_TRACE(name);
    auto out = gltf_output{};
    auto file = out.save(scene, name);
    auto& image = file.doc["images"][0];
    auto png = std::string{};
    if (image.contains("bufferView")) {
      EXPECT_EQ(image["mimeType"], "image/png");
      auto& view = file.doc["bufferViews"][image["bufferView"].get<int>()];
      png = file.bin.substr(view["byteOffset"].get<size_t>(), view["byteLength"].get<size_t>());
    } else {
      EXPECT_EQ(image["uri"], "textures/facade.png");
      png = read_file(out.dir / "textures/facade.png");
    }
    int w = 0, h = 0, c = 0;
    auto pixels = stbi_load_from_memory((const unsigned char*)png.data(), (int)png.size(), &w, &h, &c, 4);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 1);
    // 0.5 linear is 188 in sRGB; alpha is never curved.
    auto expected = std::vector<int>{188, 0, 255, 255, 128, 255, 10, 128};
    EXPECT_EQ(std::vector<int>(pixels, pixels + 8), expected);
    stbi_image_free(pixels);
    EXPECT_EQ(file.doc["materials"][0]["pbrMetallicRoughness"]["baseColorTexture"]["index"], 0);
    EXPECT_EQ(file.doc["textures"][0]["source"], 0);
  }
}

TEST(gltf_scene, facade_texture_coordinates_span_the_storeys_and_repeat_along_the_wall) {
  // A wall of three 3-unit storeys, 12 units long, with a façade image
  // twice as high as wide: the image covers 9 units of height and 4.5 of
  // length, so it repeats 12 / 4.5 times along the wall.
  auto scene = scene_data{};
  auto facade = add_texture(scene, "facade");
  facade->ldr = {2, 4, std::vector<vec4b>(8, {200, 200, 200, 255})};
  auto material = add_material(scene, "wall");
  material->color = {1, 1, 1}, material->color_tex = facade;
  auto wall = add_shape(scene, "wall");
  wall->positions = {{0, 0, 0}, {12, 0, 0}, {12, 9, 0}, {0, 9, 0}};
  wall->quads = {{0, 1, 2, 3}};
  place(scene, "wall", wall, material);

  auto out = gltf_output{};
  auto file = out.save(scene);
  auto primitive = file.primitive(0);
  ASSERT_TRUE(primitive["attributes"].contains("TEXCOORD_0"));
  auto positions = file.values(primitive["attributes"]["POSITION"].get<int>());
  auto texcoords = file.values(primitive["attributes"]["TEXCOORD_0"].get<int>());
  ASSERT_EQ(positions.size(), texcoords.size());
  for (size_t i = 0; i < positions.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(texcoords[i][0], positions[i][0] / 4.5f, 1e-5);   // along the wall
    EXPECT_NEAR(texcoords[i][1], (9 - positions[i][1]) / 9, 1e-6);  // top row at the top
  }
  // A storey is a third of the image wherever it is on the wall.
  EXPECT_EQ(file.values(primitive["indices"].get<int>()).size(), 6u);
}

TEST(gltf_scene, accessors_have_exact_bounds_aligned_views_and_small_indices) {
  auto scene = scene_data{};
  auto sizes = std::vector<int>{3, 300, 70000};
  for (auto size : sizes) {
    auto fan = add_shape(scene, "fan" + std::to_string(size));
    for (int i = 0; i < size; i++)
      fan->positions.push_back({std::cos(i * 0.1f) * 0.1f, (float)i * 1e-3f, 0.3f});
    for (int i = 2; i < size; i++) fan->triangles.push_back({0, i - 1, i});
    fan->normals.assign((size_t)size, {0, 0, 2});  // kept, made unit length
    place(scene, fan->name, fan, nullptr);
  }
  auto out = gltf_output{};
  auto file = out.save(scene);
  auto& doc = file.doc;
  auto types = std::vector<int>{};
  for (int mesh = 0; mesh < 3; mesh++) {
    auto primitive = file.primitive(mesh);
    types.push_back(doc["accessors"][primitive["indices"].get<int>()]["componentType"]);
    auto& positions = doc["accessors"][primitive["attributes"]["POSITION"].get<int>()];
    auto values = file.values(primitive["attributes"]["POSITION"].get<int>());
    auto low = values[0], high = values[0];
    for (auto& v : values)
      for (int k = 0; k < 3; k++) low[k] = std::min(low[k], v[k]), high[k] = std::max(high[k], v[k]);
    EXPECT_EQ(floats(positions["min"]), low);
    EXPECT_EQ(floats(positions["max"]), high);
    auto normals = file.values(primitive["attributes"]["NORMAL"].get<int>());
    EXPECT_EQ(normals.back(), (std::vector<float>{0, 0, 1}));
  }
  EXPECT_EQ(types, (std::vector<int>{5121, 5123, 5125}));
  for (auto& view : doc["bufferViews"]) EXPECT_EQ(view["byteOffset"].get<size_t>() % 4, 0u);
}

TEST(gltf_scene, the_sky_sun_is_a_directional_light_towards_the_sun) {
  for (auto angle : {0.7853982f, 0.3f}) {
    auto scene = scene_data{};
    add_sky(scene, angle);
    auto out = gltf_output{};
    auto file = out.save(scene);
    auto& lights = file.doc["extensions"]["KHR_lights_punctual"]["lights"];
    ASSERT_EQ(lights.size(), 1u);
    EXPECT_EQ(lights[0]["type"], "directional");
    // The light shines down the node's -z, so its z axis points at the sun,
    // which the sky draws in the y-z plane at the angle from the zenith.
    auto matrix = floats(file.doc["nodes"][0]["matrix"]);
    auto z = vec3f{matrix[8], matrix[9], matrix[10]};
    auto expected = vec3f{0, std::cos(angle), std::sin(angle)};
    EXPECT_GT(z.x * expected.x + z.y * expected.y + z.z * expected.z, std::cos(0.02f)) << angle;
    EXPECT_EQ(file.doc["nodes"][0]["extensions"]["KHR_lights_punctual"]["light"], 0);
  }
}

TEST(gltf_scene, failures_leave_no_file_and_name_the_problem) {
  auto scene = scene_data{};
  auto bad = add_quad(scene, "bad");
  bad->quads = {{0, 1, 2, 7}};
  place(scene, "bad", bad, nullptr);
  auto out = gltf_output{};
  EXPECT_FALSE(save_gltf_scene(out.dir / "bad.glb", scene, out.error));
  EXPECT_EQ(out.error, out.dir / "bad.glb" + ": error in shape \"bad\": index out of range");
  EXPECT_FALSE(path_exists(out.dir / "bad.glb"));

  // A ".gltf" whose images cannot be written leaves no document either.
  auto textured = scene_data{};
  auto facade = add_texture(textured, "facade");
  facade->ldr = {1, 1, {{1, 2, 3, 255}}};
  auto wall = add_material(textured, "wall");
  wall->color_tex = facade;
  place(textured, "wall", add_quad(textured, "wall"), wall);
  write_file(out.dir / "textures", "a file where the folder would go");
  EXPECT_FALSE(save_gltf_scene(out.dir / "city.gltf", textured, out.error));
  EXPECT_EQ(out.error.rfind(out.dir / "city.gltf: error in ", 0), 0u) << out.error;
  EXPECT_FALSE(path_exists(out.dir / "city.gltf"));

  // Names go through JSON escapes, or are refused when they are no UTF-8.
  add_camera(textured, "\"quoted\"\n");
  EXPECT_TRUE(save_gltf_scene(out.dir / "named.glb", textured, out.error)) << out.error;
  EXPECT_EQ(read_glb(out.dir / "named.glb").doc["nodes"][0]["name"], "\"quoted\"\n");
  add_camera(textured, "bad\xff");
  EXPECT_FALSE(save_gltf_scene(out.dir / "named.glb", textured, out.error));
  EXPECT_EQ(out.error, out.dir / "named.glb" + ": invalid UTF-8 in a record name or the copyright");
}

TEST(gltf_scene, the_dispatch_reaches_the_writer_by_extension) {
  auto scene = scene_data{};
  place(scene, "quad", add_quad(scene, "quad"), nullptr);
  auto out = gltf_output{};
  for (auto name : {"a.gltf", "b.GLTF", "c.glb", "d.GLB"}) {
    EXPECT_TRUE(save_scene(out.dir / name, scene, out.error)) << name << out.error;
    EXPECT_TRUE(path_exists(out.dir / name)) << name;
  }
  EXPECT_FALSE(save_scene(out.dir / "e.Glb", scene, out.error));
  EXPECT_EQ(out.error, out.dir / "e.Glb" + ": unknown format");
}

// ---------------------------------------------------------------------------
// The Khronos validator on what the programs write for real maps

namespace {

bool validator_present() {
  return std::system("node --version >/dev/null 2>&1") == 0 &&
         fs::exists(fs::path(SOURCE_DIR) / ".deps/node/node_modules/gltf-validator/package.json");
}

// blockgen's JSON scene of the GeoJSON files of a folder converted to .gltf
// and .glb, and blockgen's own .glb: the paths of the three files.
std::vector<std::string> city_files(const fs::path& geojson_folder, const scratch_dir& work) {
  auto input = work.path / "input";
  fs::create_directories(input);
  copy_assets(input.string());
  for (auto& entry : fs::directory_iterator(geojson_folder))
    if (entry.path().extension() == ".geojson") fs::copy(entry.path(), input / entry.path().filename());
  auto files = std::vector<std::string>{work / "gltf/city.gltf", work / "glb/city.glb",
                                        work / "blockgen/city.glb"};
  EXPECT_EQ(run_program(BLOCKGEN_PATH, {"-o", work / "json/city.json", input.string()}).status, 0);
  EXPECT_EQ(run_program(CONVERT_PATH, {"--scene", work / "json/city.json", "--output", files[0]}).status, 0);
  EXPECT_EQ(run_program(CONVERT_PATH, {"--scene", work / "json/city.json", "--output", files[1]}).status, 0);
  EXPECT_EQ(run_program(BLOCKGEN_PATH, {"-o", files[2], input.string()}).status, 0);
  return files;
}

}  // namespace

TEST(gltf_validator, the_town_and_the_real_extracts_have_no_errors_or_warnings) {
  if (!validator_present()) GTEST_SKIP() << "node or the glTF validator is missing: scripts/setup.sh --tests";
  auto folders = std::vector<fs::path>{fs::path(SAMPLES_DIR) / "town"};
  auto root = fs::path(SHARED_DIR) / "osm";
  if (fs::is_directory(root))
    for (auto& folder : fs::directory_iterator(root))
      if (folder.is_directory()) folders.push_back(folder.path());
  auto work = std::vector<std::unique_ptr<scratch_dir>>{};
  auto args = std::vector<std::string>{fs::path(SOURCE_DIR) / "tests/validate_gltf.js"};
  for (auto& folder : folders) {
    work.push_back(std::make_unique<scratch_dir>("validate-" + folder.filename().string()));
    for (auto& file : city_files(folder, *work.back())) args.push_back(file);
  }
  auto run = run_program("node", args);
  std::cout << run.out;
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  // One line per file, each clean.
  auto clean = size_t{0};
  for (auto at = run.out.find(": 0 errors, 0 warnings"); at != std::string::npos;
       at = run.out.find(": 0 errors, 0 warnings", at + 1))
    clean++;
  EXPECT_EQ(clean, 3 * folders.size());
}
