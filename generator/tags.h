#pragma once
// OpenStreetMap tag rules: what a feature is and how it looks.
//
// Tags are looked up by their exact key; a tag is present when the key
// exists, whatever its value. Values are read as text: a JSON text as
// written, a JSON number as its decimal text; null, booleans, objects and
// arrays are present but carry no text and no number.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "generator/features.h"

// The keys the rules read. Every other key of a feature's properties is
// ignored, so the reader keeps only these.
enum struct tag_key : uint8_t {
  building, roof_shape, roof_height, historic, tourism, building_colour, water, waterway,
  landuse, natural, leisure, highway, type, tree, genus, building_levels, height,
  building_height,
  count
};

// The rule key of a properties key ("roof:shape" -> roof_shape); false for
// keys the rules do not read.
bool find_tag_key(std::string_view key, tag_key& tag);

// The tags of one feature as the rules see them. Cleared and refilled for
// every feature, so the texts keep their storage.
struct feature_tags {
  static constexpr size_t count = (size_t)tag_key::count;
  std::array<bool, count>        present  = {};
  std::array<bool, count>        has_text = {};
  std::array<std::string, count> text     = {};
  // Not an aggregate: a braced list of key-value pairs is a JSON object.
  feature_tags();
  void clear();
  // The value of a key; a later value of the same key replaces it.
  void set_text(tag_key tag, const std::string& value);
  void set_no_text(tag_key tag);
};

// The rule tags of a JSON properties object; none when it is not an object.
feature_tags tags_of(const nlohmann::json& properties);

// Kind of a polygon or multi-polygon; for buildings also roof shape, roof
// height (metres / scene_size), landmark flag and landmark colour.
void classify_area(city_feature& feature, const feature_tags& tags, float scene_size);
// Kind of one line-string segment; a waterway also gets its width.
void classify_line(city_feature& feature, const feature_tags& tags);
// Kind of one multi-line-string segment: waterway or ignored.
void classify_waterway(city_feature& feature, const feature_tags& tags);
// Trees are the only points kept; sets the tree type.
void classify_point(city_feature& feature, const feature_tags& tags);

// Storeys of a polygon feature: building:levels + 1, or for buildings without
// it the height at 3.2 m a storey; residential buildings always have 3.
// No building has more than max_storey_tag storeys or is taller than
// max_height_metres: tags beyond either (either sign) carry no number, and
// the same holds for roof:height.
int feature_levels(feature_kind kind, const feature_tags& tags);
constexpr float max_storey_tag    = 200;
constexpr float max_height_metres = 1000;

// The same rules on a JSON properties object.
void classify_area(city_feature& feature, const nlohmann::json& properties, float scene_size);
void classify_line(city_feature& feature, const nlohmann::json& properties);
void classify_waterway(city_feature& feature, const nlohmann::json& properties);
void classify_point(city_feature& feature, const nlohmann::json& properties);
int  feature_levels(feature_kind kind, const nlohmann::json& properties);

// Width of a line-string segment; a waterway keeps the width its
// classification gave it (classified_width).
float line_width(feature_kind kind, float classified_width);
// Extrusion height in scene units.
float feature_height(const city_feature& feature, float scene_size);

bool is_green_value(const std::string& value);
bool is_pedestrian_way(const feature_tags& tags);
bool is_residential_building(const feature_tags& tags);
bool is_pedestrian_way(const nlohmann::json& properties);
bool is_residential_building(const nlohmann::json& properties);

// Skips leading white space and converts the longest prefix that forms a
// number ("5 m" gives 5). False when there is no such prefix or the value is
// not a finite float (beyond the float range, "inf", "nan").
bool parse_float(const std::string& text, float& value);
