// The GeoJSON dialects of the field: the id rules, GDAL's "other_tags" text,
// and what the reader makes of features in each dialect.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "generator/feature_ids.h"
#include "generator/geojson.h"
#include "generator/other_tags.h"

using json = nlohmann::json;

static id_member text(const std::string& value) {
  auto member = id_member{};
  member.set_text(value);
  return member;
}
static id_member number(const std::string& digits) {
  auto member = id_member{};
  member.set_number(digits);
  return member;
}
static id_member other(bool is_null) {
  auto member = id_member{};
  member.set_other(is_null);
  return member;
}

TEST(find_feature_id, each_rule_in_its_order) {
  struct row {
    const char*        what;
    feature_id_members ids;
    const char*        geometry;
    const char*        id;
    id_rule            rule;
  };
  auto m = [](id_member at_id, id_member at_type, id_member feature, id_member osm_id,
              id_member osm_way_id) { return feature_id_members{at_id, at_type, feature, osm_id, osm_way_id}; };
  auto none = id_member{};
  const row rows[] = {
      {"Overpass text", m(text("way/1"), none, text("w2"), none, none), "Polygon", "way/1", id_rule::overpass},
      {"Overpass text as it is", m(text("123"), text("way"), none, none, none), "Polygon", "123", id_rule::overpass},
      {"osmium number and type", m(number("123"), text("way"), none, none, none), "MultiPolygon", "way/123", id_rule::osmium},
      {"osmium number alone", m(number("123"), none, none, none, none), "Point", "123", id_rule::osmium},
      {"null @id counts as missing", m(other(true), none, text("w5"), none, none), "Point", "way/5", id_rule::feature_id},
      {"short node id", m(none, none, text("n5"), none, none), "Point", "node/5", id_rule::feature_id},
      {"short relation id", m(none, none, text("r7"), none, none), "Point", "relation/7", id_rule::feature_id},
      {"long id text", m(none, none, text("way/9"), none, none), "Point", "way/9", id_rule::feature_id},
      {"not a short id", m(none, none, text("w12a"), none, none), "Point", "w12a", id_rule::feature_id},
      {"a letter alone", m(none, none, text("w"), none, none), "Point", "w", id_rule::feature_id},
      {"feature number and type", m(none, text("node"), number("9"), none, none), "Point", "node/9", id_rule::feature_id},
      {"feature number alone", m(none, none, number("9"), none, none), "Point", "9", id_rule::feature_id},
      {"GDAL way of an area", m(none, none, none, text("3"), text("12")), "MultiPolygon", "way/12", id_rule::gdal},
      {"GDAL node", m(none, none, none, text("5"), none), "Point", "node/5", id_rule::gdal},
      {"GDAL line's way", m(none, none, none, text("5"), none), "LineString", "way/5", id_rule::gdal},
      {"GDAL relation area", m(none, none, none, text("5"), none), "MultiPolygon", "relation/5", id_rule::gdal},
      {"GDAL route", m(none, none, none, number("5"), none), "MultiLineString", "relation/5", id_rule::gdal},
      {"null GDAL id", m(none, none, other(true), other(true), none), "Point", "", id_rule::none},
      {"nothing", m(none, none, none, none, none), "Point", "", id_rule::none},
  };
  for (auto& row : rows) {
    auto id   = std::string{"stale"};
    auto rule = id_rule::overpass;
    EXPECT_EQ(find_feature_id(row.ids, row.geometry, id, rule), nullptr) << row.what;
    EXPECT_EQ(id, row.id) << row.what;
    EXPECT_EQ(rule, row.rule) << row.what;
  }
  auto id   = std::string{};
  auto rule = id_rule::none;
  EXPECT_STREQ(find_feature_id(m(other(false), none, text("w1"), none, none), "Point", id, rule),
               "\"@id\" that is neither text nor a number");
}

TEST(parse_other_tags, quotes_commas_and_arrows_inside_values) {
  struct row {
    std::string            text;
    bool                   ok;
    std::vector<other_tag> tags;
  };
  const row rows[] = {
      {R"("building:levels"=>"3","roof:shape"=>"flat")", true,
       {{"building:levels", "3"}, {"roof:shape", "flat"}}},
      {R"("name"=>"a \"b\" c")", true, {{"name", "a \"b\" c"}}},
      {R"("k"=>"a\\b")", true, {{"k", "a\\b"}}},
      {R"("a=>b"=>"x,\"y\"=>z\\")", true, {{"a=>b", "x,\"y\"=>z\\"}}},
      {R"( "a" => "b" ,  "c"=>"" )", true, {{"a", "b"}, {"c", ""}}},
      {R"("a"=>NULL,"b"=>"1")", true, {{"a", "", true}, {"b", "1"}}},
      {"", true, {}},
      // What GDAL 3.6 wrote for tags holding quotes, backslashes and arrows.
      {json::parse(R"("\"natural\"=>\"tree\",\"genus\"=>\"Qu\\\"er\\\\cus\",\"leaf_type\"=>\"a\\\\\\\"b\"")")
           .get<std::string>(),
       true, {{"natural", "tree"}, {"genus", "Qu\"er\\cus"}, {"leaf_type", "a\\\"b"}}},
      {R"("a"=>"b)", false, {}},
      {R"("a"=>"b","c")", false, {{"a", "b"}}},
      {R"("a"=>"b";"c"=>"d")", false, {{"a", "b"}}},
      {R"(a=>b)", false, {}},
      {R"("a"=>"b\)", false, {}},
  };
  for (auto& row : rows) {
    auto tags = std::vector<other_tag>{{"stale", "x"}};
    EXPECT_EQ(parse_other_tags(row.text, tags), row.ok) << row.text;
    ASSERT_EQ(tags.size(), row.tags.size()) << row.text;
    for (size_t i = 0; i < tags.size(); i++) {
      EXPECT_EQ(tags[i].key, row.tags[i].key) << row.text;
      EXPECT_EQ(tags[i].value, row.tags[i].value) << row.text;
      EXPECT_EQ(tags[i].null, row.tags[i].null) << row.text;
    }
  }
}

// One file's text through the streaming reader, with its console lines.
struct read_result {
  bool          ok = false;
  city_features features;
  std::string   out;
};
static read_result read_text(const std::string& path, const json& features) {
  auto result = read_result{};
  auto error  = std::string{};
  testing::internal::CaptureStdout();
  auto text = json{{"type", "FeatureCollection"}, {"features", features}}.dump();
  result.ok  = read_geojson_text(path, text, result.features, error, 50);
  result.out = testing::internal::GetCapturedStdout();
  return result;
}

static json square(const json& properties, const char* type = "Polygon") {
  auto ring = json::parse("[[0,0],[1,0],[1,1],[0,0]]");
  // json::array: a braced single json is a copy to one compiler, an array to another.
  auto coordinates = std::string{type} == "Polygon" ? json::array({ring})
                                                    : json::array({json::array({ring})});
  return {{"type", "Feature"}, {"geometry", {{"type", type}, {"coordinates", coordinates}}},
          {"properties", properties}};
}

TEST(read_geojson, every_dialect_names_records_as_overpass_data_would) {
  auto osmium = square({{"@type", "way"}, {"@id", 7}, {"building", "yes"}}, "MultiPolygon");
  auto short_id = square({{"building", "yes"}}, "MultiPolygon");
  short_id["id"] = "w8";
  auto gdal = square({{"osm_way_id", "9"}, {"building", "yes"},
                      {"other_tags", R"("building:levels"=>"4","roof:shape"=>"flat")"}},
                     "MultiPolygon");
  auto run = read_text("maps/city.geojson", {osmium, short_id, gdal});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.out, "");
  auto& records = run.features.features;
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].name, "building_way_70");
  EXPECT_EQ(records[1].name, "building_way_80");
  EXPECT_EQ(records[2].name, "building_way_90");
  EXPECT_EQ(records[0].levels, 1);
  EXPECT_EQ(records[2].levels, 5);  // building:levels from the tag text
  EXPECT_EQ(records[2].roof_shape, roof_flat);
}

TEST(read_geojson, the_features_own_properties_win_over_gdal_tag_text) {
  auto gdal = square({{"osm_id", "3"}, {"building", "yes"}, {"building:levels", "2"},
                      {"other_tags", R"("building:levels"=>"9")"}});
  // Overpass data has no tag text: a property of that name is no tag.
  auto overpass = square({{"@id", "way/4"}, {"other_tags", R"("building"=>"yes")"}});
  auto run = read_text("a.geojson", {gdal, overpass});
  ASSERT_EQ(run.features.features.size(), 1u);
  EXPECT_EQ(run.features.features[0].name, "building_relation_30");
  EXPECT_EQ(run.features.features[0].levels, 3);
}

TEST(read_geojson, features_without_an_id_are_named_after_the_file_and_position) {
  auto bench = json{{"type", "Feature"}, {"geometry", {{"type", "Point"}, {"coordinates", {1, 1}}}},
                    {"properties", {{"amenity", "bench"}}}};
  auto run = read_text("maps/city.geojson", {square({{"building", "yes"}}), bench,
                                             square({{"landuse", "grass"}})});
  ASSERT_TRUE(run.ok);
  auto& records = run.features.features;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].name, "building_city_00");
  EXPECT_EQ(records[1].name, "building_city_20");
  EXPECT_EQ(run.out,
            "maps/city.geojson: 3 features without an id, named after the file and their position\n");
}

TEST(read_geojson, a_file_that_builds_nothing_says_so) {
  auto bench = json{{"type", "Feature"}, {"geometry", {{"type", "Point"}, {"coordinates", {1, 1}}}},
                    {"properties", {{"@id", "node/1"}, {"amenity", "bench"}}}};
  auto run = read_text("points.geojson", {bench, bench});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.out, "points.geojson: nothing built from its 2 features (no building, road, "
                     "water, green area or tree among them)\n");
  EXPECT_EQ(read_text("empty.geojson", json::array()).out, "");  // nothing to build from
}
