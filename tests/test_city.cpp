#include <gtest/gtest.h>

#include <sstream>

#include "generator/city.h"
#include "scene/image.h"
#include "support/files.h"
#include "test_util.h"

namespace {

const char* tree_names[] = {"standard", "palm", "pine", "cypress", "oak"};
const char* texture_files[] = {"1", "2", "3", "4", "5", "6", "7", "8", "8_11", "10_41",
                               "40_71", "70_101", "more_101", "colosseo"};

// One triangle per model, lifted by `index` so the models differ.
std::string tree_ply(int index) {
  auto y = std::to_string(index + 1);
  return "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
         "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
         "end_header\n0 0 0\n0.1 " + y + " 0\n0 " + y + " 0.1\n3 0 1 2\n";
}

// An input folder with the five tree models and the façade images;
// `skip` names a file left out, relative to the folder.
struct asset_folder {
  scratch_dir dir{"city"};

  explicit asset_folder(const std::string& skip = "") {
    auto error = std::string{};
    make_directory(dir / "tree_models", error);
    make_directory(dir / "buildings_texture", error);
    for (int i = 0; i < 5; i++) {
      auto file = std::string{"tree_models/"} + tree_names[i] + ".ply";
      if (file != skip) write_file(dir / file, tree_ply(i));
    }
    auto image = image4b{1, 1, {vec4b{90, 90, 90, 255}}};
    for (auto name : texture_files) {
      auto file = std::string{"buildings_texture/"} + name + ".jpg";
      if (file != skip) save_image(dir / file, image, error);
    }
  }
  std::string str() const { return dir.str(); }
};

city_feature tree(const std::string& name, int type, double x, double y) {
  auto record = city_feature{};
  record.name = name;
  record.kind = feature_kind::tree;
  record.tree_type = type;
  record.outline = {{x, y}};
  return record;
}

city_feature building(const std::string& name, int levels, int roof_shape) {
  auto record = city_feature{};
  record.name = name;
  record.kind = feature_kind::building;
  record.levels = levels;
  record.roof_shape = roof_shape;
  record.height = 1;
  record.outline = {{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}};
  return record;
}

template <typename T>
std::vector<std::string> names(const std::vector<std::unique_ptr<T>>& records) {
  auto result = std::vector<std::string>{};
  for (auto& record : records) result.push_back(record->name);
  return result;
}

struct city_run {
  scene_data  scene;
  bool        ok     = false;
  std::string error  = "";
  std::string output = "";

  city_run(const city_features& features, const std::string& dirname) {
    testing::internal::CaptureStdout();
    ok = build_city_scene(scene, features, dirname, error);
    output = testing::internal::GetCapturedStdout();
  }
  const scene_instance* instance(const std::string& name) const {
    for (auto& instance : scene.instances)
      if (instance->name == name) return instance.get();
    return nullptr;
  }
  const scene_shape* shape(const std::string& name) const {
    for (auto& shape : scene.shapes)
      if (shape->name == name) return shape.get();
    return nullptr;
  }
};

const auto fixed_shapes = std::vector<std::string>{"floor",   "standard", "palm",
                                                   "pine",    "cypress",  "oak"};

std::vector<std::string> all_textures() {
  return {"sky",          "texture1",     "texture2",      "texture3",        "texture4",
          "texture5",     "texture6",     "texture7",      "texture8",        "texture8_11",
          "texture10_41", "texture40_71", "texture70_101", "texturemore_101", "texture_colosseo"};
}

}  // namespace

TEST(city, empty_collection_gets_the_fixed_content_and_prints_nothing) {
  auto assets = asset_folder{};
  auto features = city_features{};
  features.name = "rome";
  auto run = city_run{features, assets.str()};
  ASSERT_TRUE(run.ok) << run.error;
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.scene.name, "rome");

  ASSERT_EQ(run.scene.cameras.size(), 1u);
  auto& camera = *run.scene.cameras[0];
  EXPECT_EQ(camera.name, "camera1");
  EXPECT_EQ(camera.frame.x, (vec3f{-0.028f, 0, 1.0f}));
  EXPECT_EQ(camera.frame.y, (vec3f{0.764f, 0.645f, 0.022f}));
  EXPECT_EQ(camera.frame.z, (vec3f{-0.645f, 0.764f, -0.018f}));
  EXPECT_EQ(camera.frame.o, (vec3f{-13.032f, 16.75f, -1.409f}));
  EXPECT_FALSE(camera.ortho);
  EXPECT_EQ(camera.lens, 0.035f);
  EXPECT_EQ(camera.film, 0.024f);
  EXPECT_EQ(camera.aspect, 1.0f);
  EXPECT_EQ(camera.focus, 3.9f);
  EXPECT_EQ(camera.aperture, 0.0f);

  EXPECT_EQ(names(run.scene.instances), std::vector<std::string>{"floor"});
  EXPECT_EQ(names(run.scene.materials), std::vector<std::string>{"floor"});
  EXPECT_EQ(names(run.scene.shapes), fixed_shapes);
  EXPECT_EQ(names(run.scene.environments), std::vector<std::string>{"sky"});
  EXPECT_EQ(names(run.scene.textures), all_textures());

  auto floor = run.instance("floor");
  ASSERT_NE(floor, nullptr);
  EXPECT_EQ(floor->shape->positions,
            (std::vector<vec3f>{{-60, 0, 60}, {60, 0, 60}, {60, 0, -60}, {-60, 0, -60}}));
  EXPECT_EQ(floor->shape->triangles, (std::vector<vec3i>{{0, 1, 2}, {2, 3, 0}}));
  EXPECT_EQ(floor->material->color, (vec3f{0.725f, 0.71f, 0.68f}));
  EXPECT_EQ(run.scene.environments[0]->emission_tex, run.scene.textures[0].get());
  EXPECT_FALSE(run.scene.textures[0]->hdr.pixels.empty());

  // The models are loaded; the landmark image waits for its building.
  for (auto name : tree_names) EXPECT_EQ(run.shape(name)->positions.size(), 3u) << name;
  EXPECT_TRUE(run.scene.textures.back()->hdr.pixels.empty());
}

TEST(city, trees_only_print_zero_counters) {
  auto assets = asset_folder{};
  auto features = city_features{};
  features.features = {tree("tree_1", tree_oak, 0, 0), tree("tree_2", tree_pine, 3, 4)};
  auto run = city_run{features, assets.str()};
  ASSERT_TRUE(run.ok) << run.error;
  EXPECT_EQ(run.output, "Time\n0\nTriangles\n0\nQuads\n0\nElements\n0\n");
}

TEST(city, trees_share_the_model_of_their_type) {
  auto assets = asset_folder{};
  auto features = city_features{};
  features.features = {tree("generic", tree_generic, 1.0, 2.0), tree("palm", tree_palm, 1.0, 2.0),
                       tree("oak", tree_oak, -3, 4), tree("pine", tree_pine, 5, 6),
                       tree("cypress", tree_cypress, 7, 8), tree("second", tree_generic, 9, 9)};
  auto run = city_run{features, assets.str()};
  ASSERT_TRUE(run.ok) << run.error;

  auto generic = run.instance("generic");
  ASSERT_NE(generic, nullptr);
  EXPECT_EQ(generic->shape, run.scene.shapes[1].get());
  EXPECT_EQ(generic->shape->name, "standard");
  EXPECT_EQ(generic->material->color, (vec3f{0.002f, 0.187f, 0.008f}));
  EXPECT_EQ(generic->frame.o, (vec3f{1.0f + 0.09f, 0, 2.0f + 0.09f}));
  EXPECT_EQ(generic->frame.x, (vec3f{1, 0, 0}));
  EXPECT_EQ(generic->frame.y, (vec3f{0, 1, 0}));
  EXPECT_EQ(generic->frame.z, (vec3f{0, 0, 1}));
  EXPECT_EQ(run.instance("second")->shape, generic->shape);

  // Tree records are named after their type here, so look them up by
  // position in the instance array: floor first, then one per tree.
  auto palm = run.scene.instances[2].get();
  EXPECT_EQ(palm->shape->name, "palm");
  EXPECT_EQ(palm->frame.o, (vec3f{1, 0, 2}));
  EXPECT_EQ(palm->material->color, (vec3f{0.224f, 0.5f, 0.06f}));
  auto oak = run.scene.instances[3].get();
  EXPECT_EQ(oak->shape, run.scene.shapes[5].get());
  EXPECT_EQ(oak->material->color, (vec3f{0.084f, 0.193f, 0.005f}));
  EXPECT_EQ(oak->frame.o, (vec3f{-3, 0, 4}));
  auto pine = run.scene.instances[4].get();
  EXPECT_EQ(pine->shape, run.scene.shapes[3].get());
  EXPECT_EQ(pine->material->color, (vec3f{0.145f, 0.182f, 0.036f}));
  auto cypress = run.scene.instances[5].get();
  EXPECT_EQ(cypress->shape, run.scene.shapes[4].get());
  EXPECT_EQ(cypress->material->color, (vec3f{0.019f, 0.175f, 0.039f}));

  // Each tree leaves its own empty, unreferenced shape behind.
  ASSERT_EQ(run.scene.shapes.size(), 6u + 6u);
  EXPECT_EQ(run.scene.shapes[6]->name, "generic");
  for (size_t i = 6; i < 12; i++) EXPECT_TRUE(run.scene.shapes[i]->positions.empty());
}

TEST(city, tree_with_several_or_no_points) {
  auto assets = asset_folder{};
  auto several = tree("several", tree_palm, 1, 1);
  several.outline.push_back({5, 6});
  auto none = tree("none", tree_palm, 0, 0);
  none.outline.clear();
  auto features = city_features{};
  features.features = {several, none};
  auto run = city_run{features, assets.str()};
  ASSERT_TRUE(run.ok) << run.error;
  EXPECT_EQ(run.instance("several")->frame.o, (vec3f{5, 0, 6}));
  auto bare = run.instance("none");
  EXPECT_EQ(bare->shape->name, "none");
  EXPECT_EQ(bare->material->color, (vec3f{0, 0, 0}));
}

TEST(city, missing_tree_model_stops_before_the_textures) {
  auto assets = asset_folder{"tree_models/oak.ply"};
  auto run = city_run{city_features{}, assets.str()};
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.error.rfind(path_join(assets.str(), "tree_models/oak.ply"), 0), 0u) << run.error;
  EXPECT_EQ(names(run.scene.shapes), fixed_shapes);
  for (auto name : {"standard", "palm", "pine", "cypress"})
    EXPECT_EQ(run.shape(name)->positions.size(), 3u) << name;
  EXPECT_TRUE(run.shape("oak")->positions.empty());
  EXPECT_EQ(names(run.scene.textures), std::vector<std::string>{"sky"});
  EXPECT_EQ(run.output, "");
}

TEST(city, missing_facade_image_fails_with_its_path) {
  auto assets = asset_folder{"buildings_texture/40_71.jpg"};
  auto features = city_features{};
  features.features = {building("b", 5, roof_none)};
  auto run = city_run{features, assets.str()};
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.error.rfind(path_join(assets.str(), "buildings_texture/40_71.jpg"), 0), 0u)
      << run.error;
  EXPECT_EQ(run.scene.textures.size(), 1u + 11u);
  EXPECT_EQ(run.output, "");
}

TEST(city, records_are_built_in_collection_order_and_counted) {
  auto assets = asset_folder{};
  auto road = building("road_1", 0, roof_none);
  road.kind = feature_kind::road;
  auto features = city_features{};
  features.features = {building("house", 6, roof_flat), tree("tree_1", tree_palm, 0, 0), road};
  auto run = city_run{features, assets.str()};
  ASSERT_TRUE(run.ok) << run.error;

  auto expected_instances = std::vector<std::string>{"floor", "house",  "house_1", "house",
                                                     "house_roof", "tree_1", "road_1"};
  EXPECT_EQ(names(run.scene.instances), expected_instances);
  auto expected_shapes = fixed_shapes;
  expected_shapes.insert(expected_shapes.end(),
                         {"house", "house_1", "house", "house_roof", "tree_1", "road_1"});
  EXPECT_EQ(names(run.scene.shapes), expected_shapes);
  EXPECT_EQ(names(run.scene.materials), expected_instances);
  EXPECT_EQ(names(run.scene.environments), std::vector<std::string>{"sky"});
  EXPECT_EQ(names(run.scene.textures), all_textures());
  EXPECT_EQ(run.scene.instances[2]->material->color_tex, run.scene.textures[6].get());

  // Two caps of two triangles, five wall quads, two built records.
  auto lines = std::vector<std::string>{};
  auto stream = std::istringstream{run.output};
  for (auto line = std::string{}; std::getline(stream, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 8u) << run.output;
  EXPECT_EQ(lines[0], "Time");
  EXPECT_GE(std::stod(lines[1]), 0.0);
  EXPECT_EQ(lines[2], "Triangles");
  EXPECT_EQ(lines[3], "4");
  EXPECT_EQ(lines[4], "Quads");
  EXPECT_EQ(lines[5], "5");
  EXPECT_EQ(lines[6], "Elements");
  EXPECT_EQ(lines[7], "2");
}

TEST(city, trees_of_unknown_type_are_built_as_areas) {
  auto assets = asset_folder{};
  auto features = city_features{};
  features.features = {tree("odd", 7, 1, 1)};
  auto run = city_run{features, assets.str()};
  ASSERT_TRUE(run.ok) << run.error;
  auto odd = run.instance("odd");
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(odd->shape->name, "odd");
  EXPECT_EQ(odd->shape->positions, (std::vector<vec3f>{{1, 0, 1}}));
  EXPECT_EQ(odd->material->color, (vec3f{0.725f, 0.71f, 0.68f}));
  EXPECT_NE(run.output.find("Elements\n1\n"), std::string::npos) << run.output;
}

TEST(city, landmark_image_failure_stops_without_counters) {
  auto assets = asset_folder{"buildings_texture/colosseo.jpg"};
  auto landmark = building("building_relation_1834818", 5, roof_none);
  landmark.landmark = 1;
  auto features = city_features{};
  features.features = {building("before", 5, roof_none), landmark, building("after", 5, roof_none)};
  auto run = city_run{features, assets.str()};
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.error.rfind(path_join(assets.str(), "buildings_texture/colosseo.jpg"), 0), 0u)
      << run.error;
  EXPECT_EQ(run.output, "");
  EXPECT_NE(run.instance("building_relation_1834818_1"), nullptr);
  EXPECT_EQ(run.instance("after"), nullptr);
}

TEST(city, only_ignored_records_add_nothing_and_print_nothing) {
  auto assets = asset_folder{};
  auto ignored = building("skip", 5, roof_none);
  ignored.kind = feature_kind::ignored;
  auto features = city_features{};
  features.features = {ignored};
  auto run = city_run{features, assets.str()};
  ASSERT_TRUE(run.ok) << run.error;
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(names(run.scene.instances), std::vector<std::string>{"floor"});
}
