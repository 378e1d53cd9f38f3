#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "generator/tags.h"

using json = nlohmann::json;

static const float scene_size = 50;

static city_feature area(const json& properties) {
  auto feature = city_feature{};
  classify_area(feature, properties, scene_size);
  return feature;
}

static city_feature line(const json& properties) {
  auto feature = city_feature{};
  classify_line(feature, properties);
  return feature;
}

static city_feature point(const json& properties) {
  auto feature = city_feature{};
  classify_point(feature, properties);
  return feature;
}

static int building_levels(const json& properties) {
  return feature_levels(feature_kind::building, properties);
}

TEST(parse_float, reads_the_leading_number_and_ignores_the_rest) {
  auto value = 0.0f;
  EXPECT_TRUE(parse_float("5 m", value));
  EXPECT_EQ(value, 5.0f);
  EXPECT_TRUE(parse_float("  3.5", value));
  EXPECT_EQ(value, 3.5f);
  EXPECT_TRUE(parse_float("-2", value));
  EXPECT_EQ(value, -2.0f);
  EXPECT_TRUE(parse_float("1E3x", value));
  EXPECT_EQ(value, 1000.0f);
}

TEST(parse_float, texts_without_a_finite_float_carry_no_number) {
  for (auto text : {"", "   ", "abc", "m 5", "1e40", "-1e40", "inf", "nan", "Infinity"}) {
    auto value = 7.0f;
    EXPECT_FALSE(parse_float(text, value)) << text;
    EXPECT_EQ(value, 7.0f) << text;
  }
}

TEST(tag_sets, values_compare_as_whole_case_sensitive_texts) {
  EXPECT_TRUE(is_green_value("village_green"));
  EXPECT_TRUE(is_green_value("dog_park"));
  for (auto value : {"Park", "park ", "parks", "forest", "wood", ""})
    EXPECT_FALSE(is_green_value(value)) << value;
  EXPECT_TRUE(is_pedestrian_way({{"highway", "living_street"}}));
  EXPECT_TRUE(is_pedestrian_way({{"highway", "pedestrian_line"}}));
  EXPECT_FALSE(is_pedestrian_way({{"highway", "residential"}}));
  EXPECT_FALSE(is_pedestrian_way({{"highway", "Footway"}}));
  EXPECT_FALSE(is_pedestrian_way({{"footway", "sidewalk"}}));
  EXPECT_FALSE(is_pedestrian_way({{"highway", nullptr}}));
  EXPECT_TRUE(is_residential_building({{"building", "hotel"}}));
  EXPECT_FALSE(is_residential_building({{"building", "yes"}}));
  EXPECT_FALSE(is_residential_building({{"building:use", "apartments"}}));
}

TEST(classify_area, a_plain_building) {
  auto feature = area({{"building", "yes"}});
  EXPECT_EQ(feature.kind, feature_kind::building);
  EXPECT_EQ(feature.roof_shape, roof_none);
  EXPECT_EQ(feature.roof_height, 0.0f);
  EXPECT_EQ(feature.landmark, 0);
  EXPECT_EQ(feature.colour, "");
  feature.levels = building_levels({{"building", "yes"}});
  EXPECT_EQ(feature.levels, 1);
  EXPECT_EQ(feature_height(feature, scene_size), 0.175f);
}

TEST(classify_area, any_building_value_wins_over_other_keys) {
  EXPECT_EQ(area({{"building", "no"}, {"water", "lake"}}).kind, feature_kind::building);
  EXPECT_EQ(area({{"building", nullptr}, {"landuse", "grass"}}).kind, feature_kind::building);
  EXPECT_EQ(area({{"building", 1}}).kind, feature_kind::building);
}

TEST(classify_area, roof_shapes) {
  EXPECT_EQ(area({{"building", "yes"}, {"roof:shape", "gabled"}}).roof_shape, roof_pointed);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:shape", "onion"}}).roof_shape, roof_pointed);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:shape", "pyramid"}}).roof_shape, roof_pointed);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:shape", "flat"}}).roof_shape, roof_flat);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:shape", "hipped"}}).roof_shape, roof_none);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:shape", "Flat"}}).roof_shape, roof_none);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:shape", nullptr}}).roof_shape, roof_none);
  // Only buildings carry roofs.
  EXPECT_EQ(area({{"landuse", "grass"}, {"roof:shape", "flat"}}).roof_shape, roof_none);
}

TEST(classify_area, roof_heights_are_metres_over_the_scene_size) {
  EXPECT_EQ(area({{"building", "yes"}, {"roof:height", "3"}}).roof_height, 0.06f);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:height", "12 m"}}).roof_height, 12.0f / 50);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:height", 2.5}}).roof_height, 2.5f / 50);
  // The text "null" is a fixed small roof, not divided by the scene size.
  EXPECT_EQ(area({{"building", "yes"}, {"roof:height", "null"}}).roof_height, 0.109f);
  // No number: as if the tag were absent.
  EXPECT_EQ(area({{"building", "yes"}, {"roof:height", nullptr}}).roof_height, 0.0f);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:height", "unknown"}}).roof_height, 0.0f);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:height", "1e50"}}).roof_height, 0.0f);
  EXPECT_EQ(area({{"landuse", "grass"}, {"roof:height", "3"}}).roof_height, 0.0f);
}

TEST(classify_area, landmarks_and_their_colours) {
  auto historic = area({{"building", "yes"}, {"historic", "yes"}, {"building:colour", "brown"}});
  EXPECT_EQ(historic.landmark, 1);
  EXPECT_EQ(historic.colour, "brown");

  auto attraction = area({{"building", "yes"}, {"tourism", "attraction"}});
  EXPECT_EQ(attraction.landmark, 1);
  EXPECT_EQ(attraction.colour, "");

  auto hotel = area({{"building", "yes"}, {"tourism", "hotel"}, {"building:colour", "red"}});
  EXPECT_EQ(hotel.landmark, 0);
  EXPECT_EQ(hotel.colour, "");

  auto memorial = area({{"building", "yes"}, {"historic", nullptr}, {"building:colour", "#aa0000"}});
  EXPECT_EQ(memorial.landmark, 1);
  EXPECT_EQ(memorial.colour, "#aa0000");

  auto monument = area({{"historic", "monument"}, {"landuse", "grass"}, {"building:colour", "red"}});
  EXPECT_EQ(monument.kind, feature_kind::green);
  EXPECT_EQ(monument.landmark, 0);
  EXPECT_EQ(monument.colour, "");
}

TEST(classify_area, non_building_areas_first_key_wins) {
  EXPECT_EQ(area({{"water", "pond"}}).kind, feature_kind::water);
  EXPECT_EQ(area({{"water", "pond"}, {"landuse", "forest"}}).kind, feature_kind::water);
  EXPECT_EQ(area({{"waterway", "riverbank"}, {"landuse", "grass"}}).kind, feature_kind::waterway);
  EXPECT_EQ(area({{"landuse", "grass"}}).kind, feature_kind::green);
  EXPECT_EQ(area({{"landuse", "forest"}}).kind, feature_kind::forest);
  EXPECT_EQ(area({{"landuse", "wood"}}).kind, feature_kind::ignored);
  // A landuse that is not green stops the search: natural is never consulted.
  EXPECT_EQ(area({{"landuse", "retail"}, {"natural", "wood"}}).kind, feature_kind::ignored);
  EXPECT_EQ(area({{"natural", "wood"}}).kind, feature_kind::forest);
  EXPECT_EQ(area({{"natural", "scrub"}}).kind, feature_kind::green);
  EXPECT_EQ(area({{"natural", "water"}}).kind, feature_kind::water);
  EXPECT_EQ(area({{"natural", "forest"}}).kind, feature_kind::ignored);
  EXPECT_EQ(area({{"leisure", "pitch"}}).kind, feature_kind::green);
  EXPECT_EQ(area({{"leisure", "stadium"}, {"highway", "pedestrian"}}).kind, feature_kind::ignored);
  EXPECT_EQ(area({{"highway", "pedestrian"}}).kind, feature_kind::pedestrian);
  EXPECT_EQ(area({{"highway", "service"}}).kind, feature_kind::road);
  EXPECT_EQ(area({{"name", "Main Square"}, {"amenity", "parking"}}).kind, feature_kind::ignored);
  EXPECT_EQ(area(json::object()).kind, feature_kind::ignored);
  EXPECT_EQ(area({{"landuse", 5}}).kind, feature_kind::ignored);
}

TEST(classify_line, kinds_and_widths) {
  auto residential = line({{"highway", "residential"}});
  EXPECT_EQ(residential.kind, feature_kind::road);
  EXPECT_EQ(line_width(residential.kind, residential.width), 0.0001f);

  auto steps = line({{"highway", "steps"}});
  EXPECT_EQ(steps.kind, feature_kind::pedestrian);
  EXPECT_EQ(line_width(steps.kind, steps.width), 0.00005f);

  auto river = line({{"waterway", "river"}});
  EXPECT_EQ(river.kind, feature_kind::waterway);
  EXPECT_EQ(river.width, 0.004f);
  EXPECT_EQ(line_width(river.kind, river.width), 0.004f);

  auto stream = line({{"waterway", "stream"}});
  EXPECT_EQ(stream.kind, feature_kind::waterway);
  EXPECT_EQ(line_width(stream.kind, stream.width), 0.00005f);

  EXPECT_EQ(line({{"natural", "tree_row"}}).kind, feature_kind::green);
  EXPECT_EQ(line({{"natural", "coastline"}, {"waterway", "river"}}).kind, feature_kind::green);
  EXPECT_EQ(line({{"highway", "path"}, {"waterway", "river"}}).kind, feature_kind::pedestrian);
  EXPECT_EQ(line({{"barrier", "fence"}}).kind, feature_kind::ignored);
  EXPECT_EQ(line_width(feature_kind::green, 0), 0.0001f);
}

TEST(classify_waterway, only_waterways_are_kept) {
  auto feature = city_feature{};
  classify_waterway(feature, {{"waterway", "canal"}});
  EXPECT_EQ(feature.kind, feature_kind::waterway);
  classify_waterway(feature, {{"route", "bicycle"}, {"type", "route"}});
  EXPECT_EQ(feature.kind, feature_kind::ignored);
}

TEST(classify_point, only_trees_are_kept) {
  EXPECT_EQ(point({{"natural", "tree"}}).kind, feature_kind::tree);
  EXPECT_EQ(point({{"natural", "tree"}}).tree_type, tree_generic);
  EXPECT_EQ(point({{"natural", "peak"}}).kind, feature_kind::ignored);
  EXPECT_EQ(point({{"amenity", "bench"}}).kind, feature_kind::ignored);
  EXPECT_EQ(point({{"natural", nullptr}}).kind, feature_kind::ignored);
}

TEST(classify_point, tree_types) {
  auto tree = [](json properties) {
    properties["natural"] = "tree";
    return point(properties).tree_type;
  };
  EXPECT_EQ(tree({{"genus", "Pinus"}}), tree_pine);
  EXPECT_EQ(tree({{"genus", "Quercus"}}), tree_oak);
  EXPECT_EQ(tree({{"genus", "Cupressus"}}), tree_cypress);
  EXPECT_EQ(tree({{"genus", "Acer"}}), tree_generic);
  EXPECT_EQ(tree({{"type", "palm"}}), tree_palm);
  EXPECT_EQ(tree({{"type", "pine"}}), tree_pine);
  EXPECT_EQ(tree({{"type", "cypress"}}), tree_cypress);
  // type wins over genus, even when it names nothing known.
  EXPECT_EQ(tree({{"type", "palm"}, {"genus", "Pinus"}}), tree_palm);
  EXPECT_EQ(tree({{"type", "broad_leaved"}, {"genus", "Pinus"}}), tree_generic);
  // A tree tag also hides the genus.
  EXPECT_EQ(tree({{"tree", "yes"}, {"genus", "Quercus"}}), tree_generic);
}

TEST(feature_levels, storey_tags_count_above_the_ground_floor) {
  EXPECT_EQ(building_levels({{"building", "yes"}, {"building:levels", "3"}}), 4);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"building:levels", "2.5"}}), 4);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"building:levels", "-2.5"}}), -2);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"building:levels", 5}}), 6);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"building:levels", " 7"}}), 8);
}

TEST(feature_levels, a_minus_one_storey_tag_gives_no_storeys_and_the_lowest_height) {
  auto feature   = area({{"building", "yes"}, {"building:levels", "-1"}});
  feature.levels = building_levels({{"building", "yes"}, {"building:levels", "-1"}});
  EXPECT_EQ(feature.levels, 0);
  EXPECT_EQ(feature_height(feature, scene_size), 0.0001f);
}

TEST(feature_levels, texts_that_are_not_plain_numbers_leave_one_storey) {
  for (auto text : {"2;3", "3 floors", "2,5", "5A", "A5", "5B", "B", "C5", "", "1E20"}) {
    EXPECT_EQ(building_levels({{"building", "yes"}, {"building:levels", text}}), 1) << text;
  }
  // Only A and B among the capitals are rejected: a trailing C is ignored.
  EXPECT_EQ(building_levels({{"building", "yes"}, {"building:levels", "5C"}}), 6);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"building:levels", "2E1"}}), 21);
  for (auto value : {json(nullptr), json(true), json::array({2, 3}), json::object()}) {
    EXPECT_EQ(building_levels({{"building", "yes"}, {"building:levels", value}}), 1) << value;
  }
}

TEST(feature_levels, heights_at_three_point_two_metres_a_storey) {
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "12"}}), 3);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", 12}}), 3);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "12 m"}}), 1);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "12 M"}}), 3);
  // 3.2 as a float is a hair above 3.2: one storey, not zero.
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "3.2"}}), 1);
  // 22.4 as a float is a hair below 22.4: six storeys in double precision.
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "22.4"}}), 6);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "2"}}), 0);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "-0.5"}}), 0);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "-1"}}), 1);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "1E30"}}), 1);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "unknown"}}), 1);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "12"}, {"building:height", "32"}}), 10);
  // A building:height without a number leaves the height's count.
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "12"}, {"building:height", "x"}}), 3);
  // A storey tag, even an unreadable one, hides the heights.
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "12"}, {"building:levels", "2"}}), 3);
  EXPECT_EQ(building_levels({{"building", "yes"}, {"height", "32"}, {"building:levels", "x"}}), 1);
}

TEST(feature_levels, residential_buildings_always_have_three) {
  EXPECT_EQ(building_levels({{"building", "apartments"}, {"building:levels", "10"}}), 3);
  EXPECT_EQ(building_levels({{"building", "hotel"}, {"height", "60"}}), 3);
  EXPECT_EQ(building_levels({{"building", "tower"}}), 3);
  EXPECT_EQ(building_levels({{"building", "office"}, {"building:levels", "10"}}), 11);
}

TEST(feature_levels, other_kinds_only_read_the_storey_tag) {
  auto properties = json{{"building", "apartments"}, {"height", "30"}};
  EXPECT_EQ(feature_levels(feature_kind::green, properties), 1);
  properties["building:levels"] = "4";
  EXPECT_EQ(feature_levels(feature_kind::water, properties), 5);
}

TEST(feature_height, by_kind_in_scene_units) {
  auto height = [](feature_kind kind, int levels, float size) {
    auto feature   = city_feature{};
    feature.kind   = kind;
    feature.levels = levels;
    return feature_height(feature, size);
  };
  EXPECT_EQ(height(feature_kind::building, 4, scene_size), 0.325f);
  EXPECT_EQ(height(feature_kind::building, 2, 100), (5.0f + 2) / 20);
  EXPECT_EQ(height(feature_kind::building, -3, scene_size), 0.0001f);
  EXPECT_EQ(height(feature_kind::road, 4, scene_size), 0.0005f);
  EXPECT_EQ(height(feature_kind::pedestrian, 0, scene_size), 0.0004f);
  EXPECT_EQ(height(feature_kind::waterway, 0, scene_size), 0.00015f);
  EXPECT_EQ(height(feature_kind::green, 9, scene_size), 0.0001f);
  EXPECT_EQ(height((feature_kind)7, 0, scene_size), 0.0001f);
}

// No building has 200 storeys or is 1000 m tall: tags beyond that, either
// way, carry no number (a storey tag of 2147483520 made a building 10^8
// units tall).
TEST(feature_levels, storeys_and_heights_beyond_any_building_carry_no_number) {
  struct level_case {
    json properties;
    int  levels;
  };
  for (auto& [tags, levels] : {
           level_case{{{"building:levels", "200"}}, 201},
           level_case{{{"building:levels", "-200"}}, -199},
           level_case{{{"building:levels", "201"}}, 1},
           level_case{{{"building:levels", "-201"}}, 1},
           level_case{{{"building:levels", "2147483520"}}, 1},
           level_case{{{"building:levels", 1e300}}, 1},
           level_case{{{"height", "1000"}}, 312},
           level_case{{{"height", "1001"}}, 1},
           level_case{{{"height", "-5000"}}, 1},
           level_case{{{"height", "3.4e38"}}, 1},
           level_case{{{"height", "32"}, {"building:height", "5000"}}, 10},
           level_case{{{"building:levels", "5000"}, {"height", "32"}}, 1},
       }) {
    auto properties        = tags;
    properties["building"] = "yes";
    EXPECT_EQ(building_levels(properties), levels) << properties;
  }
  EXPECT_EQ(area({{"building", "yes"}, {"roof:height", "1000"}}).roof_height, 1000.0f / 50);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:height", "1001"}}).roof_height, 0.0f);
  EXPECT_EQ(area({{"building", "yes"}, {"roof:height", "-2e9 m"}}).roof_height, 0.0f);
}
