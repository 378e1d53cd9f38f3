// The asset maker's output (façade images and tree models, as the build
// leaves them and as fresh runs write them) and the bundled sample town.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <numeric>
#include <set>

#include "scene/image.h"
#include "scene/scene.h"
#include "scene/shape_io.h"
#include "support/files.h"
#include "test_util.h"

namespace {

const std::string assets_dir = ASSETS_DIR;

// ---------------------------------------------------------------------------
// Façades

struct facade_case {
  std::string stem;
  int         width, height;
  int         fewest, most;  // storeys that must show on the wall
};

const std::vector<facade_case> level_classes = {
    {"1", 256, 256, 1, 1},        {"2", 256, 256, 2, 2},         {"3", 256, 256, 3, 3},
    {"4", 256, 256, 4, 4},        {"5", 256, 256, 5, 5},         {"6", 256, 256, 6, 6},
    {"7", 256, 256, 7, 7},        {"8", 256, 256, 8, 8},         {"8_11", 256, 512, 9, 10},
    {"10_41", 256, 512, 15, 25},  {"40_71", 256, 512, 45, 55},   {"70_101", 256, 512, 75, 85},
    {"more_101", 256, 512, 101, 120}};

image4b load_facade(const std::string& folder, const std::string& stem) {
  auto image = image4b{};
  auto error = std::string{};
  EXPECT_TRUE(load_image(path_join(folder, "buildings_texture/" + stem + ".jpg"), image, error))
      << error;
  return image;
}

float luminance(const vec4b& p) { return 0.299f * p.x + 0.587f * p.y + 0.114f * p.z; }

// Mean luminance of every row, or of every column.
std::vector<float> profile(const image4b& image, bool columns) {
  auto result = std::vector<float>(columns ? image.width : image.height, 0.0f);
  for (auto y = 0; y < image.height; y++)
    for (auto x = 0; x < image.width; x++)
      result[columns ? x : y] += luminance(image.pixels[(size_t)y * image.width + x]);
  for (auto& v : result) v /= columns ? image.height : image.width;
  return result;
}

std::vector<float> smooth(const std::vector<float>& values, int window) {
  auto result = values;
  auto n = (int)values.size();
  for (auto i = 0; i < n; i++) {
    auto sum = 0.0f;
    auto count = 0;
    for (auto j = std::max(0, i - window / 2); j <= std::min(n - 1, i + window / 2); j++, count++)
      sum += values[j];
    result[i] = sum / count;
  }
  return result;
}

// Dark bands in a profile: every drop of at least `depth` below the last
// peak counts once, and the band ends when the profile climbs `depth` back.
int count_dark_bands(const std::vector<float>& values, float depth) {
  auto count = 0;
  auto dark = false;
  auto peak = values.front(), valley = values.front();
  for (auto v : values) {
    if (!dark) {
      peak = std::max(peak, v);
      if (v < peak - depth) dark = true, count++, valley = v;
    } else {
      valley = std::min(valley, v);
      if (v > valley + depth) dark = false, peak = v;
    }
  }
  return count;
}

float deviation(const std::vector<float>& values) {
  auto mean = std::accumulate(values.begin(), values.end(), 0.0f) / values.size();
  auto sum = 0.0f;
  for (auto v : values) sum += (v - mean) * (v - mean);
  return std::sqrt(sum / values.size());
}

float mean_luminance(const image4b& image) {
  auto sum = 0.0;
  for (auto& p : image.pixels) sum += luminance(p);
  return (float)(sum / image.pixels.size());
}

TEST(Facades, EveryImageLoadsAtItsSizeAndIsNotFlat) {
  auto cases = level_classes;
  cases.push_back({"colosseo", 512, 256, 0, 0});
  for (auto& c : cases) {
    SCOPED_TRACE(c.stem);
    auto image = load_facade(assets_dir, c.stem);
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    ASSERT_EQ(image.pixels.size(), (size_t)c.width * c.height);
    auto all = std::vector<float>{};
    for (auto& p : image.pixels) all.push_back(luminance(p));
    EXPECT_GT(deviation(all), 20.0f);
    for (auto& p : image.pixels) ASSERT_EQ(p.w, 255);
  }
}

// Walls multiply the image by a beige colour: a dark façade would turn the
// city black. Masonry stays light; glass towers may be a little darker.
TEST(Facades, AreLightEnoughForTheWallColour) {
  for (auto& c : level_classes) {
    SCOPED_TRACE(c.stem);
    auto glass = c.fewest > 40;
    EXPECT_GT(mean_luminance(load_facade(assets_dir, c.stem)), glass ? 90.0f : 130.0f);
  }
  EXPECT_GT(mean_luminance(load_facade(assets_dir, "colosseo")), 110.0f);
}

// One image is one whole wall: rows of windows (and the shop fronts of the
// ground floor) show as dark bands, one per storey.
TEST(Facades, ShowTheStoreysOfTheirClass) {
  for (auto& c : level_classes) {
    SCOPED_TRACE(c.stem);
    auto image = load_facade(assets_dir, c.stem);
    auto expected = (c.fewest + c.most) / 2;
    // smoothing well under a storey removes brick courses and stone joints
    auto rows = smooth(profile(image, false), std::max(1, image.height / expected / 6) | 1);
    auto storeys = count_dark_bands(rows, 15);
    EXPECT_GE(storeys, c.fewest);
    EXPECT_LE(storeys, c.most);
  }
}

TEST(Facades, ShowBaysOfWindowsAcrossTheWall) {
  for (auto& c : level_classes) {
    SCOPED_TRACE(c.stem);
    auto columns = profile(load_facade(assets_dir, c.stem), true);
    EXPECT_GT(deviation(columns), 4.0f);
    EXPECT_GE(count_dark_bands(columns, 8), 3);
  }
}

TEST(Facades, LandmarkHasThreeRowsOfArches) {
  auto image = load_facade(assets_dir, "colosseo");
  ASSERT_EQ(image.height, 256);
  // rows through the middle of the three arcades, below the attic
  for (auto y : {80, 150, 220}) {
    SCOPED_TRACE(y);
    auto row = std::vector<float>(image.width);
    for (auto x = 0; x < image.width; x++) row[x] = luminance(image.pixels[(size_t)y * image.width + x]);
    EXPECT_EQ(count_dark_bands(smooth(row, 5), 60), 10);
  }
  // the attic on top has no openings but small windows
  auto attic = std::vector<float>(image.width);
  for (auto x = 0; x < image.width; x++) attic[x] = luminance(image.pixels[(size_t)20 * image.width + x]);
  EXPECT_LT(count_dark_bands(smooth(attic, 5), 60), 10);
}

// ---------------------------------------------------------------------------
// Trees

const std::vector<std::string> tree_files = {"standard", "palm", "pine", "cypress", "oak"};

scene_shape load_tree(const std::string& folder, const std::string& name) {
  auto shape = scene_shape{};
  auto error = std::string{};
  EXPECT_TRUE(load_shape(path_join(folder, "tree_models/" + name + ".ply"), shape, error)) << error;
  return shape;
}

struct tree_measure {
  float height = 0, width = 0;  // width: the larger horizontal extent
  float min_y = 0;
};

tree_measure measure(const scene_shape& shape) {
  auto box = bbox3f{};
  for (auto& p : shape.positions) {
    box.min = {std::min(box.min.x, p.x), std::min(box.min.y, p.y), std::min(box.min.z, p.z)};
    box.max = {std::max(box.max.x, p.x), std::max(box.max.y, p.y), std::max(box.max.z, p.z)};
  }
  return {box.max.y - box.min.y, std::max(box.max.x - box.min.x, box.max.z - box.min.z), box.min.y};
}

// Largest distance from the vertical axis through the origin among the
// vertices whose height lies in [from, to) of the model's height.
float reach(const scene_shape& shape, float from, float to) {
  auto height = measure(shape).height, result = 0.0f;
  for (auto& p : shape.positions)
    if (p.y >= from * height && p.y < to * height)
      result = std::max(result, std::sqrt(p.x * p.x + p.z * p.z));
  return result;
}

TEST(Trees, EveryModelLoadsWithPositionsAndTrianglesOnly) {
  for (auto& name : tree_files) {
    SCOPED_TRACE(name);
    auto shape = load_tree(assets_dir, name);
    EXPECT_FALSE(shape.positions.empty());
    EXPECT_FALSE(shape.triangles.empty());
    EXPECT_LE(shape.triangles.size(), 500u);  // low-poly: shared by every tree
    EXPECT_TRUE(shape.quads.empty() && shape.lines.empty() && shape.points.empty());
    EXPECT_TRUE(shape.normals.empty() && shape.texcoords.empty() && shape.colors.empty());
    auto count = (int)shape.positions.size();
    for (auto& t : shape.triangles) {
      for (auto i : {t.x, t.y, t.z}) ASSERT_TRUE(i >= 0 && i < count) << i;
      EXPECT_TRUE(t.x != t.y && t.y != t.z && t.z != t.x);
    }
  }
}

TEST(Trees, StandOnTheGroundAtTreeSize) {
  for (auto& name : tree_files) {
    SCOPED_TRACE(name);
    auto size = measure(load_tree(assets_dir, name));
    EXPECT_EQ(size.min_y, 0.0f);
    EXPECT_GE(size.height, 0.1f);
    EXPECT_LE(size.height, 0.3f);
  }
}

// Closed: every edge is used once in each direction. Outward: every
// connected part encloses a positive volume.
TEST(Trees, AreClosedAndFaceOutwards) {
  for (auto& name : tree_files) {
    SCOPED_TRACE(name);
    auto shape = load_tree(assets_dir, name);
    auto edges = std::map<std::pair<int, int>, int>{};
    for (auto& t : shape.triangles)
      for (auto [a, b] : {std::pair{t.x, t.y}, std::pair{t.y, t.z}, std::pair{t.z, t.x}}) edges[{a, b}]++;
    for (auto& [edge, uses] : edges) {
      ASSERT_EQ(uses, 1) << edge.first << "-" << edge.second;
      ASSERT_EQ(edges.count({edge.second, edge.first}), 1u) << edge.first << "-" << edge.second;
    }

    auto parent = std::vector<int>(shape.positions.size());
    std::iota(parent.begin(), parent.end(), 0);
    std::function<int(int)> root = [&](int i) { return parent[i] == i ? i : parent[i] = root(parent[i]); };
    for (auto& t : shape.triangles) parent[root(t.y)] = root(t.x), parent[root(t.z)] = root(t.x);
    auto volumes = std::map<int, double>{};
    for (auto& t : shape.triangles) {
      auto a = shape.positions[t.x], b = shape.positions[t.y], c = shape.positions[t.z];
      volumes[root(t.x)] += (a.x * ((double)b.y * c.z - (double)b.z * c.y) -
                             a.y * ((double)b.x * c.z - (double)b.z * c.x) +
                             a.z * ((double)b.x * c.y - (double)b.y * c.x)) / 6;
    }
    EXPECT_GE(volumes.size(), 2u);  // a trunk and a crown at least
    for (auto& [part, volume] : volumes) EXPECT_GT(volume, 0.0) << "part of vertex " << part;
  }
}

TEST(Trees, SpeciesHaveDistinctSilhouettes) {
  auto shapes = std::map<std::string, scene_shape>{};
  for (auto& name : tree_files) shapes[name] = load_tree(assets_dir, name);
  auto ratio = [&](const std::string& name) {
    auto size = measure(shapes[name]);
    return size.width / size.height;
  };
  // cypress: a slim column; oak: broad and round
  EXPECT_LT(ratio("cypress"), 0.25f);
  EXPECT_GT(ratio("oak"), 0.8f);
  EXPECT_LT(ratio("cypress"), 0.3f * ratio("oak"));
  // generic: a crown clearly wider than the trunk, but not as broad as the oak
  EXPECT_GT(ratio("standard"), 0.4f);
  EXPECT_LT(ratio("standard"), ratio("oak"));
  // pine: a cone, widest at the foot of the crown
  auto& pine = shapes["pine"];
  EXPECT_GT(reach(pine, 0.15f, 0.4f), 1.5f * reach(pine, 0.6f, 0.85f));
  EXPECT_GT(reach(pine, 0.6f, 0.85f), reach(pine, 0.9f, 1.01f));
  // palm: a thin trunk up to a crown of long fronds whose tips hang down
  auto& palm = shapes["palm"];
  EXPECT_LT(reach(palm, 0.0f, 0.6f), 0.02f);
  EXPECT_GT(reach(palm, 0.6f, 1.01f), 0.07f);
  auto top = measure(palm).height;
  auto tip = palm.positions.front();
  for (auto& p : palm.positions)
    if (p.x * p.x + p.z * p.z > tip.x * tip.x + tip.z * tip.z) tip = p;
  EXPECT_LT(tip.y, top - 0.03f);
  // oak: its crown is wider than it is tall and sits on a short trunk
  auto& oak = shapes["oak"];
  EXPECT_LT(reach(oak, 0.0f, 0.25f), 0.02f);
  EXPECT_GT(reach(oak, 0.5f, 0.9f), 0.08f);
}

// ---------------------------------------------------------------------------
// The maker itself

const std::string maker = MAKE_ASSETS_PATH;

std::vector<std::string> asset_files() {
  auto files = std::vector<std::string>{};
  for (auto& c : level_classes) files.push_back("buildings_texture/" + c.stem + ".jpg");
  files.push_back("buildings_texture/colosseo.jpg");
  for (auto& name : tree_files) files.push_back("tree_models/" + name + ".ply");
  return files;
}

TEST(AssetMaker, WritesTheSameBytesOnEveryRun) {
  auto first = scratch_dir("assets-a"), second = scratch_dir("assets-b");
  ASSERT_EQ(run_program(maker, {first.str()}).status, 0);
  ASSERT_EQ(run_program(maker, {second.str()}).status, 0);
  auto files = asset_files();
  EXPECT_EQ(files.size(), 19u);
  for (auto& file : files) {
    SCOPED_TRACE(file);
    auto bytes = read_file(first / file);
    EXPECT_GT(bytes.size(), 1000u);
    EXPECT_EQ(bytes, read_file(second / file));
    EXPECT_EQ(bytes, read_file(path_join(assets_dir, file)));  // the build's copy
  }
}

TEST(AssetMaker, ReportsAFolderItCannotMake) {
  auto scratch = scratch_dir("assets-bad");
  write_file(scratch / "plain", "a file, not a folder");
  auto target = scratch / "plain";
  auto run = run_program(maker, {target + "/assets"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find(target + "/assets/buildings_texture: cannot create directory"),
            std::string::npos)
      << run.out;

  auto usage = run_program(maker, {});
  EXPECT_NE(usage.status, 0);
  EXPECT_NE(usage.out.find("output"), std::string::npos) << usage.out;
}

// ---------------------------------------------------------------------------
// The sample town

using json = nlohmann::json;

std::vector<json> sample_features() {
  auto entries = std::vector<std::string>{}, files = std::vector<std::string>{};
  auto error = std::string{};
  EXPECT_TRUE(list_directory(std::string{SAMPLES_DIR} + "/town", entries, error)) << error;
  for (auto& entry : entries)
    if (path_extension(entry) == ".geojson") files.push_back(entry);
  std::sort(files.begin(), files.end());
  EXPECT_GE(files.size(), 1u);
  auto features = std::vector<json>{};
  for (auto& file : files) {
    auto text = std::string{};
    EXPECT_TRUE(load_text(file, text, error)) << error;
    auto root = json::parse(text, nullptr, false);
    EXPECT_FALSE(root.is_discarded()) << file;
    if (root.is_discarded()) continue;
    EXPECT_EQ(root.value("type", ""), "FeatureCollection") << file;
    for (auto& feature : root.at("features")) features.push_back(feature);
  }
  return features;
}

std::string tag(const json& feature, const std::string& key) {
  auto& properties = feature.at("properties");
  return properties.contains(key) ? properties.at(key).get<std::string>() : std::string{};
}
std::string geometry_type(const json& feature) { return feature.at("geometry").at("type"); }

TEST(SampleTown, IsWellFormedOpenStreetMapData) {
  auto features = sample_features();
  auto ids = std::set<std::string>{};
  auto min_lon = 1e9, max_lon = -1e9, min_lat = 1e9, max_lat = -1e9;
  std::function<void(const json&)> positions = [&](const json& c) {
    if (c.is_array() && !c.empty() && c[0].is_number()) {
      ASSERT_EQ(c.size(), 2u);
      min_lon = std::min(min_lon, c[0].get<double>()), max_lon = std::max(max_lon, c[0].get<double>());
      min_lat = std::min(min_lat, c[1].get<double>()), max_lat = std::max(max_lat, c[1].get<double>());
    } else {
      for (auto& inner : c) positions(inner);
    }
  };
  for (auto& feature : features) {
    auto id = tag(feature, "@id");
    EXPECT_TRUE(id.rfind("way/", 0) == 0 || id.rfind("node/", 0) == 0 || id.rfind("relation/", 0) == 0) << id;
    EXPECT_TRUE(ids.insert(id).second) << "repeated " << id;
    for (auto& [key, value] : feature.at("properties").items()) EXPECT_TRUE(value.is_string()) << id << " " << key;
    auto type = geometry_type(feature);
    EXPECT_TRUE(type == "Point" ? id.rfind("node/", 0) == 0 : id.rfind("node/", 0) != 0) << id;
    positions(feature.at("geometry").at("coordinates"));
  }
  EXPECT_GE(features.size(), 80u);
  // about 600 m on each side
  auto mid_lat = (min_lat + max_lat) / 2 * 3.14159265358979 / 180;
  auto east = (max_lon - min_lon) * 111320 * std::cos(mid_lat), north = (max_lat - min_lat) * 111320;
  EXPECT_GT(east, 450);
  EXPECT_LT(east, 800);
  EXPECT_GT(north, 450);
  EXPECT_LT(north, 800);
}

TEST(SampleTown, HoldsEveryKindOfFeature) {
  auto features = sample_features();
  auto count = [&](auto predicate) {
    return std::count_if(features.begin(), features.end(), predicate);
  };
  auto has = [](const json& f, const std::string& key) { return f.at("properties").contains(key); };

  // buildings: storeys, heights, roofs
  EXPECT_GE(count([&](auto& f) { return has(f, "building"); }), 30);
  for (auto levels = 1; levels <= 12; levels++)
    EXPECT_EQ(count([&](auto& f) { return tag(f, "building:levels") == std::to_string(levels); }) > 0, true)
        << levels;
  EXPECT_GE(count([&](auto& f) { return tag(f, "building:levels") == "30"; }), 1);
  EXPECT_GE(count([&](auto& f) { return tag(f, "height") == "12"; }), 1);
  EXPECT_GE(count([&](auto& f) { return tag(f, "height") == "15 m"; }), 1);
  for (auto shape : {"gabled", "pyramid", "flat", "onion"})
    EXPECT_GE(count([&](auto& f) { return tag(f, "roof:shape") == shape; }), 1) << shape;
  EXPECT_GE(count([&](auto& f) { return has(f, "roof:height"); }), 5);
  EXPECT_GE(count([&](auto& f) {
              return has(f, "building") && geometry_type(f) == "Polygon" &&
                     f.at("geometry").at("coordinates").size() >= 2;
            }), 1);  // a courtyard

  // landmarks
  EXPECT_GE(count([&](auto& f) { return has(f, "historic") && tag(f, "building:colour") == "yellow"; }), 1);
  EXPECT_GE(count([&](auto& f) {
              return tag(f, "tourism") == "attraction" && tag(f, "building:colour") == "brown";
            }), 1);
  auto arena = std::find_if(features.begin(), features.end(),
                            [&](auto& f) { return tag(f, "@id") == "relation/1834818"; });
  ASSERT_NE(arena, features.end());
  EXPECT_EQ(geometry_type(*arena), "MultiPolygon");
  EXPECT_TRUE(has(*arena, "historic") && has(*arena, "building"));
  EXPECT_GE(arena->at("geometry").at("coordinates").at(0).size(), 2u);  // outer ring and courtyard

  // ways
  for (auto highway : {"residential", "primary", "secondary", "footway", "path", "steps"})
    EXPECT_GE(count([&](auto& f) { return tag(f, "highway") == highway && geometry_type(f) == "LineString"; }), 1)
        << highway;
  EXPECT_GE(count([&](auto& f) { return tag(f, "waterway") == "river" && geometry_type(f) == "LineString"; }), 1);
  EXPECT_GE(count([&](auto& f) {
              auto w = tag(f, "waterway");
              return (w == "river" || w == "stream") && geometry_type(f) == "MultiLineString";
            }), 1);

  // nature
  EXPECT_GE(count([&](auto& f) { return tag(f, "natural") == "water" && geometry_type(f) == "Polygon"; }), 1);
  EXPECT_GE(count([&](auto& f) { return tag(f, "leisure") == "park"; }), 1);
  EXPECT_GE(count([&](auto& f) { return tag(f, "landuse") == "grass"; }), 1);
  EXPECT_GE(count([&](auto& f) { return tag(f, "landuse") == "forest" || tag(f, "natural") == "wood"; }), 1);
  auto trees = [&](auto predicate) {
    return count([&](auto& f) { return tag(f, "natural") == "tree" && geometry_type(f) == "Point" && predicate(f); });
  };
  for (auto genus : {"Quercus", "Pinus", "Cupressus"})
    EXPECT_GE(trees([&](auto& f) { return tag(f, "genus") == genus; }), 2) << genus;
  EXPECT_GE(trees([&](auto& f) { return tag(f, "type") == "palm"; }), 2);
  EXPECT_GE(trees([&](auto& f) { return !has(f, "genus") && !has(f, "type"); }), 2);
}

}  // namespace
