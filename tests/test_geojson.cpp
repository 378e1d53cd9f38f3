#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "generator/geojson.h"
#include "support/files.h"
#include "test_util.h"

using json = nlohmann::json;

static const float scene_size = 50;
// The line offsets as the reader widens them from single precision.
static const double line_offset     = 4.999999873689376e-05;
static const double waterway_offset = 0.00039999998989515007;

static json feature(const std::string& type, const std::string& coordinates,
                    const json& properties) {
  return {{"type", "Feature"},
          {"geometry", {{"type", type}, {"coordinates", json::parse(coordinates)}}},
          {"properties", properties}};
}

static json tree(const std::string& id, double lon, double lat) {
  return {{"type", "Feature"},
          {"geometry", {{"type", "Point"}, {"coordinates", {lon, lat}}}},
          {"properties", {{"@id", id}, {"natural", "tree"}}}};
}

static json collection(const std::vector<json>& features) {
  return {{"type", "FeatureCollection"}, {"features", features}};
}

static std::string write_geojson(const scratch_dir& dir, const std::string& name,
                                 const json& root) {
  auto path = dir / name;
  write_file(path, root.dump());
  return path;
}

// One read_geojson call with its console output.
struct read_run {
  bool          ok       = false;
  city_features features = {};
  std::string   error    = "";
  std::string   out      = "";
};

static read_run read_one(const std::string& path, city_features features = {}) {
  auto run = read_run{};
  run.features = std::move(features);
  testing::internal::CaptureStdout();
  run.ok  = read_geojson(path, run.features, run.error, scene_size);
  run.out = testing::internal::GetCapturedStdout();
  return run;
}

static read_run read_features(const std::vector<json>& features) {
  auto dir = scratch_dir("geojson");
  return read_one(write_geojson(dir, "map.geojson", collection(features)));
}

static std::vector<std::string> names(const city_features& features) {
  auto result = std::vector<std::string>{};
  for (auto& record : features.features) result.push_back(record.name);
  return result;
}

static std::vector<vec2d> points(const std::string& text) {
  auto result = std::vector<vec2d>{};
  for (auto& p : json::parse(text)) result.push_back({p[0].get<double>(), p[1].get<double>()});
  return result;
}

TEST(load_json, reports_missing_empty_and_broken_files) {
  auto dir   = scratch_dir("json");
  auto value = json{};
  auto error = std::string{};
  EXPECT_FALSE(load_json(dir / "none.json", value, error));
  EXPECT_EQ(error, (dir / "none.json") + ": file not found");

  write_file(dir / "empty.json", "");
  EXPECT_FALSE(load_json(dir / "empty.json", value, error));
  EXPECT_EQ(error, (dir / "empty.json") + ": parse error in json");

  write_file(dir / "broken.json", "{\"features\": [");
  EXPECT_FALSE(load_json(dir / "broken.json", value, error));
  EXPECT_EQ(error, (dir / "broken.json") + ": parse error in json");

  write_file(dir / "good.json", "{\"a\": [1, 2]}");
  EXPECT_TRUE(load_json(dir / "good.json", value, error));
  EXPECT_EQ(value["a"][1], 2);
}

TEST(segment_quad, offsets_are_widened_single_precision_constants) {
  EXPECT_EQ((double)0.00005f, line_offset);
  EXPECT_EQ((double)0.0004f, waterway_offset);
}

TEST(segment_quad, horizontal_segments_are_offset_along_the_diagonal) {
  auto w    = line_offset;
  auto quad = segment_quad({10, 20}, {11, 20}, w);
  auto expected =
      std::vector<vec2d>{{11 + w, 20 + w}, {11 - w, 20 - w}, {10 - w, 20 - w}, {10 + w, 20 + w}};
  EXPECT_EQ(quad, expected);
}

TEST(segment_quad, diagonal_segments_are_offset_along_x) {
  auto w        = waterway_offset;
  auto quad     = segment_quad({0, 0}, {1, 1}, w);
  auto expected = std::vector<vec2d>{{1 + w, 1}, {1 - w, 1}, {-w, 0}, {w, 0}};
  EXPECT_EQ(quad, expected);
}

TEST(segment_quad, vertical_segments_keep_the_diagonal_offset_on_a_tie) {
  auto w        = 0.5;
  auto quad     = segment_quad({2, 0}, {2, 4}, w);
  auto expected = std::vector<vec2d>{{2.5, 4.5}, {1.5, 3.5}, {1.5, -0.5}, {2.5, 0.5}};
  EXPECT_EQ(quad, expected);
}

TEST(segment_quad, the_larger_area_wins_for_slanted_segments) {
  auto w = 0.1;
  // Nearly along the diagonal: the diagonal offset is almost flat.
  auto steep = segment_quad({0, 0}, {1, 1.1}, w);
  EXPECT_EQ(steep[0].y, 1.1);
  // Nearly horizontal: offsetting along x would be almost flat.
  auto flat = segment_quad({0, 0}, {1, 0.1}, w);
  EXPECT_EQ(flat[0].y, 0.1 + w);
}

TEST(read_geojson, polygon_rings_are_records_of_their_own) {
  auto run = read_features({feature(
      "Polygon", "[[[0,0],[4,0],[4,4],[0,0]], [[1,1],[2,1],[2,2],[1,1]]]",
      {{"@id", "way/123"}, {"building", "yes"}, {"building:levels", "3"}})});
  ASSERT_TRUE(run.ok) << run.error;
  EXPECT_EQ(names(run.features), (std::vector<std::string>{"building_way_1230", "building_way_1231"}));
  for (auto& record : run.features.features) {
    EXPECT_EQ(record.kind, feature_kind::building);
    EXPECT_EQ(record.levels, 4);
    EXPECT_TRUE(record.holes.empty());
    EXPECT_EQ(record.width, 0.0f);
  }
  EXPECT_EQ(run.features.features[0].outline, points("[[0,0],[4,0],[4,4],[0,0]]"));
  EXPECT_EQ(run.features.features[1].outline, points("[[1,1],[2,1],[2,2],[1,1]]"));
}

TEST(read_geojson, every_area_kind_uses_the_building_prefix) {
  auto run = read_features(
      {feature("Polygon", "[[[0,0],[1,0],[1,1],[0,0]]]", {{"@id", "way/5"}, {"leisure", "park"}}),
       feature("Polygon", "[[[0,0],[1,0],[1,1],[0,0]]]", {{"@id", "way/6"}, {"shop", "bakery"}})});
  ASSERT_TRUE(run.ok);
  ASSERT_EQ(run.features.features.size(), 1u);
  EXPECT_EQ(run.features.features[0].name, "building_way_50");
  EXPECT_EQ(run.features.features[0].kind, feature_kind::green);
  EXPECT_EQ(run.features.features[0].levels, 1);
}

TEST(read_geojson, multipolygons_keep_their_holes) {
  auto run = read_features({feature("MultiPolygon",
                                    "[[[[0,0],[4,0],[4,4],[0,0]], [[1,1],[2,1],[2,2],[1,1]]],"
                                    " [],"
                                    " [[[5,5],[6,5],[6,6],[5,5]]]]",
                                    {{"@id", "relation/9"}, {"natural", "water"}})});
  ASSERT_TRUE(run.ok);
  // The empty polygon adds nothing and does not advance the counter.
  EXPECT_EQ(names(run.features), (std::vector<std::string>{"building_relation_90", "building_relation_91"}));
  auto& first  = run.features.features[0];
  auto& second = run.features.features[1];
  EXPECT_EQ(first.kind, feature_kind::water);
  EXPECT_EQ(first.outline, points("[[0,0],[4,0],[4,4],[0,0]]"));
  ASSERT_EQ(first.holes.size(), 1u);
  EXPECT_EQ(first.holes[0], points("[[1,1],[2,1],[2,2],[1,1]]"));
  EXPECT_EQ(second.outline, points("[[5,5],[6,5],[6,6],[5,5]]"));
  EXPECT_TRUE(second.holes.empty());
}

TEST(read_geojson, line_strings_become_one_quad_per_segment) {
  auto run = read_features({feature("LineString", "[[0,0],[1,0],[1,1],[2,2],[2,3]]",
                                    {{"@id", "way/7"}, {"highway", "footway"}})});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(names(run.features),
            (std::vector<std::string>{"line_way_70", "line_way_71", "line_way_72", "line_way_73"}));
  auto line = points("[[0,0],[1,0],[1,1],[2,2],[2,3]]");
  for (size_t j = 0; j < run.features.features.size(); j++) {
    auto& record = run.features.features[j];
    EXPECT_EQ(record.kind, feature_kind::pedestrian);
    EXPECT_EQ(record.width, 0.00005f);
    EXPECT_EQ(record.levels, 0);
    EXPECT_EQ(record.outline, segment_quad(line[j], line[j + 1], line_offset));
  }
}

TEST(read_geojson, line_widths_by_kind) {
  auto run = read_features(
      {feature("LineString", "[[0,0],[1,0]]", {{"@id", "way/1"}, {"highway", "primary"}}),
       feature("LineString", "[[0,0],[1,0]]", {{"@id", "way/2"}, {"waterway", "river"}}),
       feature("LineString", "[[0,0],[1,0]]", {{"@id", "way/3"}, {"waterway", "ditch"}}),
       feature("LineString", "[[0,0],[1,0]]", {{"@id", "way/4"}, {"natural", "tree_row"}})});
  ASSERT_TRUE(run.ok);
  ASSERT_EQ(run.features.features.size(), 4u);
  EXPECT_EQ(run.features.features[0].width, 0.0001f);
  EXPECT_EQ(run.features.features[1].width, 0.004f);
  EXPECT_EQ(run.features.features[2].width, 0.00005f);
  EXPECT_EQ(run.features.features[3].width, 0.0001f);
  EXPECT_EQ(run.features.features[3].kind, feature_kind::green);
}

TEST(read_geojson, short_and_ignored_lines_add_nothing) {
  auto run = read_features(
      {feature("LineString", "[[0,0]]", {{"@id", "way/1"}, {"highway", "primary"}}),
       feature("LineString", "[]", {{"@id", "way/2"}, {"highway", "primary"}}),
       feature("LineString", "[[0,0],[1,1]]", {{"@id", "way/3"}, {"barrier", "wall"}}),
       feature("LineString", "[[0,0],[1,1]]", {{"@id", "way/4"}, {"highway", "primary"}})});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(names(run.features), (std::vector<std::string>{"line_way_40"}));
  EXPECT_EQ(run.out, "");
}

TEST(read_geojson, multilinestrings_count_segments_over_all_lines) {
  auto run = read_features(
      {feature("MultiLineString", "[[[0,0],[1,0],[2,1]], [[3,3]], [[5,5],[6,6]]]",
               {{"@id", "relation/4"}, {"waterway", "canal"}}),
       feature("MultiLineString", "[[[0,0],[1,0]]]", {{"@id", "relation/5"}, {"route", "bus"}})});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(names(run.features), (std::vector<std::string>{"multiline_relation_40", "multiline_relation_41",
                                                           "multiline_relation_42"}));
  for (auto& record : run.features.features) {
    EXPECT_EQ(record.kind, feature_kind::waterway);
    EXPECT_EQ(record.width, 0.0004f);
  }
  EXPECT_EQ(run.features.features[2].outline, segment_quad({5, 5}, {6, 6}, waterway_offset));
}

TEST(read_geojson, only_tree_points_are_kept) {
  auto run = read_features(
      {feature("Point", "[126.91, 35.14, 42.5]",
               {{"@id", "node/77"}, {"natural", "tree"}, {"genus", "Pinus"}}),
       feature("Point", "[126.92, 35.15]", {{"@id", "node/78"}, {"amenity", "bench"}})});
  ASSERT_TRUE(run.ok);
  ASSERT_EQ(run.features.features.size(), 1u);
  auto& record = run.features.features[0];
  EXPECT_EQ(record.name, "point_node_77");
  EXPECT_EQ(record.kind, feature_kind::tree);
  EXPECT_EQ(record.tree_type, tree_pine);
  // The altitude is dropped.
  EXPECT_EQ(record.outline, (std::vector<vec2d>{{126.91, 35.14}}));
}

TEST(read_geojson, other_geometry_types_add_nothing_and_are_not_errors) {
  auto collection_feature = json{
      {"type", "Feature"},
      {"geometry", {{"type", "GeometryCollection"}, {"geometries", json::array()}}},
      {"properties", {{"@id", "relation/1"}, {"building", "yes"}}}};
  auto run = read_features({collection_feature,
                            feature("polygon", "[[[0,0],[1,0],[1,1],[0,0]]]",
                                    {{"@id", "way/2"}, {"building", "yes"}}),
                            tree("node/3", 1, 1)});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(names(run.features), (std::vector<std::string>{"point_node_3"}));
  EXPECT_EQ(run.out, "");
}

TEST(read_geojson, ids_cannot_leave_the_shapes_folder) {
  auto run = read_features({tree("node/1\\..\\2:3<4>|5?*\"\x01\x7f", 0, 0),
                            tree("../../etc/passwd", 1, 1)});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(names(run.features),
            (std::vector<std::string>{"point_node_1_.._2_3_4__5_____", "point_.._.._etc_passwd"}));
  EXPECT_EQ(safe_feature_id("way/12"), "way_12");
  EXPECT_EQ(safe_feature_id("café-é"), "café-é");
}

TEST(read_geojson, reads_without_normalising) {
  auto run = read_features({tree("node/1", 3, 4)});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.features.features[0].outline, (std::vector<vec2d>{{3, 4}}));
  EXPECT_EQ(run.features.features[0].height, 0.0f);
}

TEST(read_geojson, roots_without_a_features_array_stop_the_run) {
  auto dir  = scratch_dir("geojson");
  auto kept = city_features{};
  kept.features.push_back({});
  kept.features[0].name = "kept";
  for (auto root : {json::array({tree("node/1", 0, 0)}), json{{"type", "FeatureCollection"}},
                    json{{"features", {{"a", tree("node/1", 0, 0)}}}}, json(5),
                    tree("node/1", 0, 0)}) {
    auto path = write_geojson(dir, "root.geojson", root);
    auto run  = read_one(path, kept);
    EXPECT_FALSE(run.ok) << root;
    EXPECT_EQ(run.error, path + ": not a feature collection");
    EXPECT_EQ(names(run.features), (std::vector<std::string>{"kept"}));
  }
}

TEST(read_geojson, unreadable_files_leave_the_collection_unchanged) {
  auto dir  = scratch_dir("geojson");
  auto kept = city_features{};
  kept.features.push_back({});
  write_file(dir / "cut.geojson", collection({tree("node/1", 0, 0)}).dump().substr(0, 40));
  auto run = read_one(dir / "cut.geojson", kept);
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.error, (dir / "cut.geojson") + ": parse error in json");
  EXPECT_EQ(run.features.features.size(), 1u);

  auto features = kept;
  auto error    = std::string{};
  EXPECT_FALSE(load_geojson(dir / "none.geojson", features, error, scene_size));
  EXPECT_EQ(error, (dir / "none.geojson") + ": file not found");
  EXPECT_EQ(features.features.size(), 1u);
}

// A broken feature between two good ones: skipped, reported with its reason,
// and the rest of the file still read.
TEST(read_geojson, malformed_features_are_skipped_and_reported) {
  auto good = [](int n) { return tree("node/" + std::to_string(n), n, n); };
  auto polygon_with = [](const json& properties) {
    return json{{"type", "Feature"},
                {"geometry", {{"type", "Polygon"}, {"coordinates", json::parse("[[[0,0],[1,0],[1,1]]]")}}},
                {"properties", properties}};
  };
  auto with_geometry = [](const json& geometry) {
    return json{{"type", "Feature"}, {"geometry", geometry},
                {"properties", {{"@id", "way/9"}, {"building", "yes"}}}};
  };
  auto cases = std::map<std::string, json>{
      {"feature that is not an object", json("way/9")},
      {"missing \"geometry\"", json{{"type", "Feature"}, {"properties", {{"@id", "way/9"}}}}},
      {"null \"geometry\"", with_geometry(nullptr)},
      {"\"geometry\" that is not an object", with_geometry(json::array())},
      {"missing \"properties\"",
       json{{"type", "Feature"}, {"geometry", {{"type", "Point"}, {"coordinates", {1, 2}}}}}},
      {"\"properties\" that is not an object", polygon_with(nullptr)},
      {"\"@id\" that is neither text nor a number", polygon_with({{"@id", true}, {"building", "yes"}})},
      {"missing \"type\"", with_geometry({{"coordinates", json::parse("[[[0,0],[1,0],[1,1]]]")}})},
      {"\"type\" that is not text", with_geometry({{"type", 3}, {"coordinates", {1, 2}}})},
      {"missing \"coordinates\"", with_geometry({{"type", "Polygon"}})},
      {"\"coordinates\" not nested as the geometry type requires",
       with_geometry({{"type", "Polygon"}, {"coordinates", "none"}})},
      {"position with fewer than two numbers",
       with_geometry({{"type", "Polygon"}, {"coordinates", json::parse("[[[0,0],[1],[1,1]]]")}})},
      {"position that is not an array",
       with_geometry({{"type", "LineString"}, {"coordinates", json::parse("[0, 1]")}})},
      {"coordinate that is not a number",
       with_geometry({{"type", "Point"}, {"coordinates", json::parse("[\"1\", 2]")}})},
      {"longitude outside -180 to 180",
       with_geometry({{"type", "Point"}, {"coordinates", {1e308, 2}}})},
      {"latitude outside -90 to 90",
       with_geometry({{"type", "Polygon"}, {"coordinates", json::parse("[[[0,0],[1,90.5],[1,1]]]")}})},
  };
  auto dir = scratch_dir("geojson");
  for (auto& [reason, broken] : cases) {
    auto path = write_geojson(dir, "broken.geojson", collection({good(1), broken, good(2)}));
    auto run  = read_one(path);
    EXPECT_TRUE(run.ok) << reason << ": " << run.error;
    EXPECT_EQ(names(run.features), (std::vector<std::string>{"point_node_1", "point_node_2"}))
        << reason;
    EXPECT_EQ(run.out,
              path + ": skipped 1 malformed feature (first: feature 1: " + reason + ")\n");
  }
}

TEST(read_geojson, a_broken_part_drops_the_whole_feature) {
  auto run = read_features(
      {feature("MultiPolygon", "[[[[0,0],[4,0],[4,4],[0,0]]], [[[5,5],[6],[6,6],[5,5]]]]",
               {{"@id", "relation/1"}, {"building", "yes"}}),
       feature("LineString", "[[0,0],[1,0],[2,0,5],[null,3]]", {{"@id", "way/2"}, {"highway", "primary"}}),
       tree("node/3", 0, 0)});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(names(run.features), (std::vector<std::string>{"point_node_3"}));
  EXPECT_NE(run.out.find(": skipped 2 malformed features (first: feature 0: position with fewer than two numbers)"),
            std::string::npos)
      << run.out;
}

TEST(normalize_features, each_axis_fills_the_square) {
  auto run = read_features({tree("node/1", 10, 40), tree("node/2", 12, 44), tree("node/3", 11, 41)});
  normalize_features(run.features, scene_size);
  auto& records = run.features.features;
  EXPECT_EQ(records[0].outline, (std::vector<vec2d>{{-25, -25}}));
  EXPECT_EQ(records[1].outline, (std::vector<vec2d>{{25, 25}}));
  EXPECT_EQ(records[2].outline, (std::vector<vec2d>{{0, -12.5}}));
  for (auto& record : records) EXPECT_EQ(record.height, 0.0001f);
}

TEST(normalize_features, sets_heights_and_maps_holes_outside_the_bounds) {
  auto run = read_features(
      {feature("MultiPolygon", "[[[[0,0],[4,0],[4,8],[0,0]], [[2,2],[8,2],[8,4],[2,2]]]]",
               {{"@id", "relation/1"}, {"building", "yes"}, {"building:levels", "2"}}),
       feature("LineString", "[[1,1],[3,1]]", {{"@id", "way/2"}, {"highway", "primary"}})});
  ASSERT_TRUE(run.ok);
  normalize_features(run.features, scene_size);
  auto& building = run.features.features[0];
  EXPECT_EQ(building.height, (2.5f + 3) / 20);
  EXPECT_EQ(run.features.features[1].height, 0.0005f);
  // Holes do not widen the bounds: x spans 0 ... 4, y spans 0 ... 8.
  ASSERT_EQ(building.holes.size(), 1u);
  EXPECT_EQ(building.holes[0][1].x, 75);
  EXPECT_EQ(building.holes[0][1].y, -12.5);
  EXPECT_EQ(building.outline[2].x, 25);
  EXPECT_EQ(building.outline[2].y, 25);
}

TEST(normalize_features, an_axis_without_extent_maps_to_the_centre) {
  auto single = read_features({tree("node/1", 126.9, 35.1)});
  normalize_features(single.features, scene_size);
  EXPECT_EQ(single.features.features[0].outline, (std::vector<vec2d>{{0, 0}}));

  auto row = read_features({tree("node/1", 1, 35.1), tree("node/2", 3, 35.1)});
  normalize_features(row.features, scene_size);
  EXPECT_EQ(row.features.features[0].outline, (std::vector<vec2d>{{-25, 0}}));
  EXPECT_EQ(row.features.features[1].outline, (std::vector<vec2d>{{25, 0}}));

  auto nothing = city_features{};
  normalize_features(nothing, scene_size);
  EXPECT_TRUE(nothing.features.empty());
}

TEST(normalize_features, extreme_coordinates_stay_finite) {
  // The reader refuses such positions; the mapping copes with them anyway.
  auto features = city_features{};
  for (auto p : {vec2d{-1e308, -1e308}, vec2d{1e308, 1e308}, vec2d{0, 5e307}}) {
    features.features.emplace_back();
    features.features.back().outline = {p};
  }
  normalize_features(features, scene_size);
  auto& records = features.features;
  EXPECT_EQ(records[0].outline, (std::vector<vec2d>{{-25, -25}}));
  EXPECT_EQ(records[1].outline, (std::vector<vec2d>{{25, 25}}));
  EXPECT_DOUBLE_EQ(records[2].outline[0].x, 0);
  EXPECT_DOUBLE_EQ(records[2].outline[0].y, 12.5);
}

TEST(load_geojson, later_files_remap_earlier_records) {
  auto dir    = scratch_dir("geojson");
  auto first  = write_geojson(dir, "a.geojson", collection({tree("node/1", 11, 41)}));
  auto second = write_geojson(dir, "b.geojson",
                              collection({tree("node/2", 10, 40), tree("node/3", 12, 44)}));
  auto both   = write_geojson(dir, "ab.geojson",
                              collection({tree("node/1", 11, 41), tree("node/2", 10, 40),
                                          tree("node/3", 12, 44)}));
  auto error  = std::string{};

  auto features = city_features{};
  ASSERT_TRUE(load_geojson(first, features, error, scene_size));
  EXPECT_EQ(features.features[0].outline, (std::vector<vec2d>{{0, 0}}));
  ASSERT_TRUE(load_geojson(second, features, error, scene_size));

  auto together = city_features{};
  ASSERT_TRUE(load_geojson(both, together, error, scene_size));
  ASSERT_EQ(features.features.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(features.features[i].outline, together.features[i].outline) << i;
  }
  EXPECT_EQ(features.features[0].outline, (std::vector<vec2d>{{0, -12.5}}));

  // The driver's way: read every file, normalise once.
  auto driver = city_features{};
  ASSERT_TRUE(read_geojson(first, driver, error, scene_size));
  ASSERT_TRUE(read_geojson(second, driver, error, scene_size));
  normalize_features(driver, scene_size);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(driver.features[i].outline, features.features[i].outline) << i;
    EXPECT_EQ(driver.features[i].height, features.features[i].height) << i;
  }
}

TEST(load_geojson, an_empty_file_still_normalises_earlier_records) {
  auto dir      = scratch_dir("geojson");
  auto map      = write_geojson(dir, "map.geojson", collection({tree("node/1", 1, 1), tree("node/2", 3, 5)}));
  auto empty    = write_geojson(dir, "empty.geojson", collection({}));
  auto features = city_features{};
  auto error    = std::string{};
  ASSERT_TRUE(read_geojson(map, features, error, scene_size));
  ASSERT_TRUE(load_geojson(empty, features, error, scene_size));
  ASSERT_EQ(features.features.size(), 2u);
  EXPECT_EQ(features.features[1].outline, (std::vector<vec2d>{{25, 25}}));
}

// The real extracts: every file reads without skips, records land in the
// square, names stay unique, and the counts match the data.
TEST(make_names_unique, colliding_names_are_renamed_and_repeats_merge) {
  // way/1 has twelve segments, so its last two are "line_way_110" and
  // "line_way_111", the names of way/11's two segments.
  auto long_way = std::string{"[[0,0]"};
  for (int i = 1; i <= 12; i++) long_way += ",[" + std::to_string(i) + ",0]";
  long_way += "]";
  auto road = [](const std::string& id, const std::string& coordinates) {
    return feature("LineString", coordinates, {{"@id", id}, {"highway", "primary"}});
  };
  auto run = read_features({road("way/1", long_way), road("way/11", "[[0,5],[1,5],[2,5]]"),
                            road("way/11", "[[0,5],[1,5],[2,5]]")});
  ASSERT_TRUE(run.ok);
  ASSERT_EQ(run.features.features.size(), 16u);
  make_names_unique(run.features);
  auto result = names(run.features);
  EXPECT_EQ(result[10], "line_way_110");
  EXPECT_EQ(result[11], "line_way_111");
  EXPECT_EQ(result[12], "line_way_110~2");  // other geometry: kept apart
  EXPECT_EQ(result[13], "line_way_111~2");
  EXPECT_EQ(result[14], "line_way_110~2");  // the same way again: merges
  EXPECT_EQ(result[15], "line_way_111~2");
  EXPECT_EQ(result[0], "line_way_10");
  // running it again changes nothing
  make_names_unique(run.features);
  EXPECT_EQ(names(run.features), result);
}

TEST(real_extracts, read_plausibly) {
  auto root = std::string{SHARED_DIR "/osm"};
  if (!path_exists(root)) GTEST_SKIP() << root << " is absent";
  auto folders = std::vector<std::string>{};
  auto error   = std::string{};
  ASSERT_TRUE(list_directory(root, folders, error));
  auto counts = std::map<std::string, std::map<feature_kind, int>>{};
  for (auto& folder : folders) {
    if (!is_directory(folder)) continue;
    auto entries = std::vector<std::string>{};
    ASSERT_TRUE(list_directory(folder, entries, error));
    auto features = city_features{};
    for (auto& entry : entries) {
      if (path_extension(entry) != ".geojson") continue;
      auto run = read_one(entry, std::move(features));
      ASSERT_TRUE(run.ok) << run.error;
      EXPECT_EQ(run.out, "");
      features = std::move(run.features);
    }
    normalize_features(features, scene_size);
    auto unique = std::set<std::string>{};
    auto& count = counts[folder.substr(folder.rfind('/') + 1)];
    for (auto& record : features.features) {
      EXPECT_TRUE(unique.insert(record.name).second) << record.name;
      count[record.kind]++;
      for (auto& p : record.outline) {
        ASSERT_TRUE(std::abs(p.x) <= 25 && std::abs(p.y) <= 25) << record.name;
      }
      EXPECT_GT(record.height, 0.0f);
    }
  }
  EXPECT_EQ(counts["malmo-mollan"][feature_kind::building], 1029);
  EXPECT_EQ(counts["kharagpur-iit"][feature_kind::building], 69);
  EXPECT_EQ(counts["kharagpur-iit"][feature_kind::road] + counts["kharagpur-iit"][feature_kind::pedestrian], 1758);
  EXPECT_EQ(counts["gwangju-acc"][feature_kind::tree], 0);
  EXPECT_GT(counts["gwangju-acc"][feature_kind::waterway], 0);
  EXPECT_EQ(counts["london-city"][feature_kind::building], 0);
  // Line segments of highways plus three pedestrian squares.
  EXPECT_EQ(counts["london-city"][feature_kind::road] + counts["london-city"][feature_kind::pedestrian],
            4717 + 3);
}

// Every field of two collections, record by record.
static void expect_same_records(const city_features& a, const city_features& b) {
  ASSERT_EQ(a.features.size(), b.features.size());
  for (size_t i = 0; i < a.features.size(); i++) {
    auto &x = a.features[i], &y = b.features[i];
    SCOPED_TRACE("record " + std::to_string(i) + " " + x.name);
    EXPECT_EQ(x.name, y.name);
    EXPECT_EQ(x.kind, y.kind);
    EXPECT_EQ(x.roof_shape, y.roof_shape);
    EXPECT_EQ(x.tree_type, y.tree_type);
    EXPECT_EQ(x.landmark, y.landmark);
    EXPECT_EQ(x.colour, y.colour);
    EXPECT_EQ(x.levels, y.levels);
    EXPECT_EQ(x.height, y.height);
    EXPECT_EQ(x.roof_height, y.roof_height);
    EXPECT_EQ(x.width, y.width);
    EXPECT_EQ(x.outline, y.outline);
    EXPECT_EQ(x.holes, y.holes);
  }
}

// The streaming reader against the reader of a parsed document, on the
// sample town, the real extracts and files whose structure only a stream can
// get wrong: repeated keys, values nested deep inside positions, features
// that are not objects, a second "features" member.
TEST(read_geojson, the_stream_yields_the_records_of_the_parsed_document) {
  auto paths = std::vector<std::string>{};
  auto error = std::string{};
  std::function<void(const std::string&)> add_folder;
  add_folder = [&](const std::string& folder) {
    auto entries = std::vector<std::string>{};
    if (!list_directory(folder, entries, error)) return;
    for (auto& entry : entries) {
      if (path_extension(entry) == ".geojson") paths.push_back(entry);
      if (is_directory(entry)) add_folder(entry);
    }
  };
  add_folder(SAMPLES_DIR "/town");
  add_folder(TEST_DATA_DIR "/geojson");
  add_folder(SHARED_DIR "/osm");
  ASSERT_GE(paths.size(), 6u);
  for (auto& path : paths) {
    SCOPED_TRACE(path);
    auto text     = read_file(path);
    auto streamed = read_run{}, parsed = read_run{};
    testing::internal::CaptureStdout();
    streamed.ok  = read_geojson_text(path, text, streamed.features, streamed.error, scene_size);
    streamed.out = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    parsed.ok  = read_geojson_document(path, json::parse(text), parsed.features, parsed.error,
                                       scene_size);
    parsed.out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(streamed.ok, parsed.ok);
    EXPECT_EQ(streamed.error, parsed.error);
    EXPECT_EQ(streamed.out, parsed.out);
    expect_same_records(streamed.features, parsed.features);
    make_names_unique(streamed.features);
    normalize_features(streamed.features, scene_size);
    make_names_unique(parsed.features);
    normalize_features(parsed.features, scene_size);
    expect_same_records(streamed.features, parsed.features);
  }
}

TEST(read_geojson, a_later_features_member_replaces_an_earlier_one) {
  auto replaced = read_one(TEST_DATA_DIR "/geojson/replaced-features.geojson");
  ASSERT_TRUE(replaced.ok);
  EXPECT_EQ(replaced.out, "");
  EXPECT_EQ(names(replaced.features), (std::vector<std::string>{"point_node_2", "point_node_3"}));
  auto not_array = read_one(TEST_DATA_DIR "/geojson/features-not-an-array.geojson");
  EXPECT_FALSE(not_array.ok);
  EXPECT_TRUE(not_array.features.features.empty());
}

// 10^5 records that read one name: the renaming costs the same for each, so
// this ends well within the test's time limit (comparing every record with
// every other took minutes).
TEST(make_names_unique, many_records_of_one_name) {
  const int count = 100000;
  auto features = city_features{};
  auto add = [&](const std::string& name, double x) {
    features.features.emplace_back();
    features.features.back().name    = name;
    features.features.back().kind    = feature_kind::tree;
    features.features.back().outline = {{x, 0}};
  };
  add("point_node_1~3", -1);  // a name as read, which no suffix may take
  for (int i = 0; i < count; i++) add("point_node_1", i);
  add("point_node_1", 0);     // repeats of the first and of the eighth
  add("point_node_1", 7);
  make_names_unique(features);
  auto result = names(features);
  EXPECT_EQ(result[1], "point_node_1");
  EXPECT_EQ(result[2], "point_node_1~2");
  EXPECT_EQ(result[3], "point_node_1~4");
  EXPECT_EQ(result[count], "point_node_1~" + std::to_string(count + 1));
  EXPECT_EQ(result[count + 1], "point_node_1");
  EXPECT_EQ(result[count + 2], "point_node_1~9");
  EXPECT_EQ(std::set<std::string>(result.begin(), result.end()).size(), (size_t)count + 1);
}

static std::string repeat(const std::string& text, int count) {
  auto result = std::string{};
  for (int i = 0; i < count; i++) result += text;
  return result;
}

TEST(fit_record_name, long_names_keep_their_head_and_end_in_a_hash_of_the_whole) {
  auto digits = std::string(300, '7');
  for (auto name : {std::string{"point_node_1"}, std::string(max_record_name, 'x')})
    EXPECT_EQ(fit_record_name(name), name);
  struct long_name {
    std::string name, other;  // other differs only past the kept head
  };
  for (auto& [name, other] : {long_name{"line_way_" + digits + "0", "line_way_" + digits + "1"},
                              long_name{std::string(max_record_name + 1, 'x'),
                                        std::string(max_record_name + 2, 'x')},
                              long_name{"point_" + repeat("é", 150), "point_" + repeat("é", 151)}}) {
    SCOPED_TRACE(name);
    auto fitted = fit_record_name(name);
    EXPECT_LE(fitted.size(), max_record_name);
    EXPECT_EQ(fitted, fit_record_name(name));  // stable
    EXPECT_NE(fitted, fit_record_name(other));
    auto dash = fitted.rfind('-');
    ASSERT_EQ(fitted.size() - dash, 17u);
    EXPECT_EQ(fitted.find_first_not_of("0123456789abcdef", dash + 1), std::string::npos);
    EXPECT_EQ(name.compare(0, dash, fitted, 0, dash), 0);
    EXPECT_NE((unsigned char)name[dash] & 0xC0, 0x80) << "the head ends between characters";
  }
}

TEST(read_geojson, very_long_ids_give_short_distinct_names) {
  auto id  = "way/" + std::string(300, '9');
  auto run = read_features({feature("LineString", "[[0,0],[1,0],[2,0]]", {{"@id", id}, {"highway", "primary"}})});
  ASSERT_TRUE(run.ok);
  auto result = names(run.features);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_NE(result[0], result[1]);
  for (auto& name : result) {
    EXPECT_LE(name.size(), max_record_name);
    EXPECT_EQ(name.substr(0, 19), "line_way_9999999999");
  }
}

TEST(is_geojson_file, only_regular_files_are_read) {
  auto dir = scratch_dir("entries");
  write_file(dir / "a.geojson", "{}");
  write_file(dir / "a.GEOJSON", "{}");
  std::filesystem::create_directory(dir.path / "folder.geojson");
  ASSERT_EQ(mkfifo((dir / "fifo.geojson").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir.path / "a.geojson", dir.path / "link.geojson");
  std::filesystem::create_symlink(dir.path / "fifo.geojson", dir.path / "fifo-link.geojson");
  std::filesystem::create_symlink(dir.path / "none", dir.path / "dangling.geojson");
  struct entry {
    const char* name;
    bool        read;
  };
  for (auto [name, read] : {entry{"a.geojson", true}, entry{"link.geojson", true},
                            entry{"a.GEOJSON", false}, entry{"folder.geojson", false},
                            entry{"fifo.geojson", false}, entry{"fifo-link.geojson", false},
                            entry{"dangling.geojson", false}, entry{"none.geojson", false}})
    EXPECT_EQ(is_geojson_file(dir / name), read) << name;
}
