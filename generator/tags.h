#pragma once
// OpenStreetMap tag rules: what a feature is and how it looks.
//
// Tags are looked up by their exact key; a tag is present when the key
// exists, whatever its value. Values are read as text: a JSON text as
// written, a JSON number as its decimal text; null, booleans, objects and
// arrays are present but carry no text and no number.

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "generator/features.h"

// Kind of a polygon or multi-polygon; for buildings also roof shape, roof
// height (metres / scene_size), landmark flag and landmark colour.
void classify_area(city_feature& feature, const nlohmann::json& properties,
                   float scene_size);
// Kind of one line-string segment; a waterway also gets its width.
void classify_line(city_feature& feature, const nlohmann::json& properties);
// Kind of one multi-line-string segment: waterway or ignored.
void classify_waterway(city_feature& feature, const nlohmann::json& properties);
// Trees are the only points kept; sets the tree type.
void classify_point(city_feature& feature, const nlohmann::json& properties);

// Storeys of a polygon feature: building:levels + 1, or for buildings without
// it the height at 3.2 m a storey; residential buildings always have 3.
int feature_levels(feature_kind kind, const nlohmann::json& properties);
// Width of a line-string segment; a waterway keeps the width its
// classification gave it (classified_width).
float line_width(feature_kind kind, float classified_width);
// Extrusion height in scene units.
float feature_height(const city_feature& feature, float scene_size);

bool is_green_value(const std::string& value);
bool is_pedestrian_way(const nlohmann::json& properties);
bool is_residential_building(const nlohmann::json& properties);

// Skips leading white space and converts the longest prefix that forms a
// number ("5 m" gives 5). False when there is no such prefix or the value is
// not a finite float (beyond the float range, "inf", "nan").
bool parse_float(const std::string& text, float& value);
