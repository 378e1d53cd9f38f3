// blockgen from end to end: a town and real OpenStreetMap extracts go in, and
// the whole output folder is checked: every reference resolves, every file
// parses, nothing stray is left beside them.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "scene/image.h"
#include "scene/ply.h"
#include "scene/scene.h"
#include "scene/shape_io.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// The construction counters blockgen prints: "Time", value, "Triangles", ...
std::map<std::string, double> read_counters(const std::string& out) {
  auto counters = std::map<std::string, double>{};
  for (auto label : {"Time", "Triangles", "Quads", "Elements"}) {
    auto at = out.find(std::string("\n") + label + "\n");
    if (at == std::string::npos) continue;
    counters[label] = std::stod(out.substr(at + std::string(label).size() + 2));
  }
  return counters;
}

// Runs blockgen on a folder of GeoJSON files (with the assets beside them)
// and writes the scene to work/city.json.
struct city_run {
  scratch_dir input{"e2e-input"}, work{"e2e-work"};
  program_run run;
  nlohmann::json scene;

  explicit city_run(const std::vector<std::string>& geojson_files) {
    copy_assets(input.str());
    for (auto& file : geojson_files) fs::copy(file, input.path / fs::path(file).filename());
    run = run_program(BLOCKGEN_PATH, {"-o", "city.json", input.str()}, work.str());
    if (run.status == 0) scene = nlohmann::json::parse(read_file(work / "city.json"));
  }
};

std::set<std::string> files_in(const fs::path& folder) {
  auto names = std::set<std::string>{};
  for (auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

const std::set<std::string> known_textures = {
    "sky.hdr",          "texture1.hdr",       "texture2.hdr",      "texture3.hdr",
    "texture4.hdr",     "texture5.hdr",       "texture6.hdr",      "texture7.hdr",
    "texture8.hdr",     "texture8_11.hdr",    "texture10_41.hdr",  "texture40_71.hdr",
    "texture70_101.hdr", "texturemore_101.hdr", "texture_colosseo.hdr"};

const std::set<std::string> tree_models = {"standard.ply", "palm.ply", "pine.ply",
                                           "cypress.ply", "oak.ply"};

// Every instance's shape and material resolve, every referenced file exists
// and parses with indices in range, and nothing else is in the folder.
void check_output_folder(const city_run& city) {
  auto& scene = city.scene;
  auto work = city.work.path;
  EXPECT_EQ(files_in(work), (std::set<std::string>{"city.json", "shapes", "textures"}));

  auto referenced_shapes = std::set<std::string>{};
  auto referenced_textures = std::set<std::string>{};
  for (auto& [name, instance] : scene["instances"].items()) {
    ASSERT_TRUE(instance.is_object()) << name;
    auto shape = instance.value("shape", "");
    auto material = instance.value("material", "");
    ASSERT_FALSE(shape.empty()) << name;
    EXPECT_TRUE(scene["materials"].contains(material)) << name << " -> " << material;
    referenced_shapes.insert(shape + ".ply");
  }
  for (auto& [name, material] : scene["materials"].items()) {
    if (!material.is_object()) continue;
    for (auto& [key, value] : material.items()) {
      if (key.size() > 4 && key.substr(key.size() - 4) == "_tex")
        referenced_textures.insert(value.get<std::string>() + ".hdr");
    }
  }
  for (auto& [name, environment] : scene["environments"].items())
    referenced_textures.insert(environment.value("emission_tex", "") + ".hdr");

  for (auto& file : referenced_shapes) {
    auto shape = scene_shape{};
    auto error = std::string{};
    ASSERT_TRUE(load_shape((work / "shapes" / file).string(), shape, error)) << error;
    auto vertices = (int)shape.positions.size();
    auto in_range = [vertices](int i) { return i >= 0 && i < vertices; };
    for (auto& t : shape.triangles)
      ASSERT_TRUE(in_range(t.x) && in_range(t.y) && in_range(t.z)) << file;
    for (auto& q : shape.quads)
      ASSERT_TRUE(in_range(q.x) && in_range(q.y) && in_range(q.z) && in_range(q.w)) << file;
  }
  // Shapes no instance uses are tree models no tree needed, and the empty
  // shapes every tree leaves behind.
  for (auto& file : files_in(work / "shapes")) {
    if (referenced_shapes.count(file) || tree_models.count(file)) continue;
    EXPECT_EQ(file.substr(0, 6), "point_") << file;
    auto model = ply_model{};
    auto error = std::string{};
    ASSERT_TRUE(load_ply((work / "shapes" / file).string(), model, error)) << error;
    EXPECT_TRUE(model.elements.empty()) << file;
  }
  for (auto& file : referenced_textures) {
    auto image = image4f{};
    auto error = std::string{};
    EXPECT_TRUE(load_image((work / "textures" / file).string(), image, error)) << error;
    EXPECT_GT(image.width, 0) << file;
  }
  for (auto& file : files_in(work / "textures")) EXPECT_TRUE(known_textures.count(file)) << file;
}

std::vector<std::string> geojson_files(const fs::path& folder) {
  auto files = std::vector<std::string>{};
  for (auto& entry : fs::directory_iterator(folder))
    if (entry.path().extension() == ".geojson") files.push_back(entry.path().string());
  return files;
}

}  // namespace

TEST(end_to_end, sample_town) {
  auto city = city_run(geojson_files(SAMPLES_DIR "/town"));
  ASSERT_EQ(city.run.status, 0) << city.run.out;
  EXPECT_EQ(city.run.err, "");
  auto counters = read_counters(city.run.out);
  EXPECT_GT(counters["Elements"], 50);
  EXPECT_GT(counters["Triangles"], counters["Elements"]);
  EXPECT_GT(counters["Quads"], 0);
  check_output_folder(city);

  // Every kind of the town shows up: walls, roofs, trees of each species.
  auto& instances = city.scene["instances"];
  auto walls = 0, roofs = 0;
  auto tree_shapes = std::set<std::string>{};
  for (auto& [name, instance] : instances.items()) {
    if (name.size() > 2 && name.substr(name.size() - 2) == "_1") walls++;
    if (name.size() > 5 && name.substr(name.size() - 5) == "_roof") roofs++;
    if (name.substr(0, 6) == "point_") tree_shapes.insert(instance.value("shape", ""));
  }
  EXPECT_GT(walls, 20);
  EXPECT_GT(roofs, 0);
  EXPECT_EQ(tree_shapes, (std::set<std::string>{"standard", "palm", "pine", "cypress", "oak"}));
}

// The extracts under ../shared/osm, when they are there: each folder builds
// and saves, and the counters are plausible.
TEST(end_to_end, real_extracts) {
  auto root = fs::path(SHARED_DIR) / "osm";
  if (!fs::is_directory(root)) GTEST_SKIP() << root << " is absent";
  for (auto& folder : fs::directory_iterator(root)) {
    if (!folder.is_directory()) continue;
    SCOPED_TRACE(folder.path().filename().string());
    auto city = city_run(geojson_files(folder.path()));
    ASSERT_EQ(city.run.status, 0) << city.run.out;
    EXPECT_EQ(city.run.err, "");
    auto counters = read_counters(city.run.out);
    EXPECT_GT(counters["Elements"], 100);
    EXPECT_GT(counters["Triangles"], counters["Elements"]);
    check_output_folder(city);
    std::cout << folder.path().filename().string() << ": Time " << counters["Time"]
              << " Triangles " << counters["Triangles"] << " Quads " << counters["Quads"]
              << " Elements " << counters["Elements"] << "\n";
  }
}
