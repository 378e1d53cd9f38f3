#include "generator/tags.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

static bool has_tag(const json& properties, const char* key) {
  return properties.is_object() && properties.contains(key);
}

// Real exports write some numeric tags as JSON numbers ("building:levels": 5);
// they read as their decimal text.
static bool tag_text(const json& properties, const char* key, std::string& text) {
  if (!properties.is_object()) return false;
  auto it = properties.find(key);
  if (it == properties.end()) return false;
  if (it->is_string()) {
    text = it->get_ref<const std::string&>();
    return true;
  }
  if (it->is_number()) {
    text = it->dump();
    return true;
  }
  return false;
}

static bool tag_equals(const json& properties, const char* key, const char* value) {
  auto text = std::string{};
  return tag_text(properties, key, text) && text == value;
}

// Letters, lists and decimal commas mean the text is not a plain number
// ("2;3", "12 m", "2,5"). Only A and B among the capitals are rejected.
static bool has_rejected_character(const std::string& text) {
  for (auto c : text) {
    if ((c >= 'a' && c <= 'z') || c == 'A' || c == 'B' || c == ';' || c == ',') return true;
  }
  return false;
}

// The number a storey or height tag carries, if any.
static bool tag_number(const json& properties, const char* key, float& value) {
  auto text = std::string{};
  return tag_text(properties, key, text) && !has_rejected_character(text) &&
         parse_float(text, value);
}

// Storey counts beyond the int range are no count at all.
static bool fits_int(double value) {
  return value >= (double)std::numeric_limits<int>::min() &&
         value <= (double)std::numeric_limits<int>::max();
}

bool parse_float(const std::string& text, float& value) {
  auto begin = text.c_str();
  char* end  = nullptr;
  auto result = std::strtof(begin, &end);
  if (end == begin || !std::isfinite(result)) return false;
  value = result;
  return true;
}

bool is_green_value(const std::string& value) {
  static const char* const values[] = {
      "park",    "pitch",    "garden",        "playground", "greenfield",
      "scrub",   "heath",    "farmyard",      "grass",      "farmland",
      "village_green", "meadow", "orchard",   "vineyard",   "recreation_ground",
      "grassland", "dog_park"};
  for (auto green : values) {
    if (value == green) return true;
  }
  return false;
}

bool is_pedestrian_way(const json& properties) {
  auto text = std::string{};
  if (!tag_text(properties, "highway", text)) return false;
  static const char* const values[] = {"footway", "pedestrian",    "track",
                                       "steps",   "path",          "living_street",
                                       "pedestrian_area", "pedestrian_line"};
  for (auto way : values) {
    if (text == way) return true;
  }
  return false;
}

bool is_residential_building(const json& properties) {
  auto text = std::string{};
  if (!tag_text(properties, "building", text)) return false;
  return text == "apartments" || text == "residential" || text == "tower" || text == "hotel";
}

static feature_kind highway_kind(const json& properties) {
  return is_pedestrian_way(properties) ? feature_kind::pedestrian : feature_kind::road;
}

static void classify_building(city_feature& feature, const json& properties,
                              float scene_size) {
  feature.kind = feature_kind::building;
  auto text = std::string{};
  if (has_tag(properties, "roof:shape")) {
    tag_text(properties, "roof:shape", text);
    if (text == "gabled" || text == "onion" || text == "pyramid") {
      feature.roof_shape = roof_pointed;
    } else if (text == "flat") {
      feature.roof_shape = roof_flat;
    } else {
      feature.roof_shape = roof_none;
    }
  }
  if (tag_text(properties, "roof:height", text)) {
    // Some exports write a missing roof height as the text "null"; such roofs
    // get a fixed small height in scene units.
    auto metres = 0.0f;
    if (text == "null") {
      feature.roof_height = 0.109f;
    } else if (parse_float(text, metres)) {
      feature.roof_height = metres / scene_size;
    }
  }
  auto landmark = has_tag(properties, "historic") ||
                  tag_equals(properties, "tourism", "attraction");
  if (landmark) {
    feature.landmark = 1;
    if (tag_text(properties, "building:colour", text)) feature.colour = text;
  }
}

void classify_area(city_feature& feature, const json& properties, float scene_size) {
  if (has_tag(properties, "building")) {
    classify_building(feature, properties, scene_size);
    return;
  }
  auto text = std::string{};
  if (has_tag(properties, "water")) {
    feature.kind = feature_kind::water;
  } else if (has_tag(properties, "waterway")) {
    feature.kind = feature_kind::waterway;
  } else if (has_tag(properties, "landuse")) {
    auto known = tag_text(properties, "landuse", text);
    if (known && is_green_value(text)) {
      feature.kind = feature_kind::green;
    } else if (known && text == "forest") {
      feature.kind = feature_kind::forest;
    } else {
      feature.kind = feature_kind::ignored;
    }
  } else if (has_tag(properties, "natural")) {
    auto known = tag_text(properties, "natural", text);
    if (known && text == "wood") {
      feature.kind = feature_kind::forest;
    } else if (known && is_green_value(text)) {
      feature.kind = feature_kind::green;
    } else if (known && text == "water") {
      feature.kind = feature_kind::water;
    } else {
      feature.kind = feature_kind::ignored;
    }
  } else if (has_tag(properties, "leisure")) {
    auto known = tag_text(properties, "leisure", text);
    feature.kind = known && is_green_value(text) ? feature_kind::green : feature_kind::ignored;
  } else if (has_tag(properties, "highway")) {
    feature.kind = highway_kind(properties);
  } else {
    feature.kind = feature_kind::ignored;
  }
}

void classify_line(city_feature& feature, const json& properties) {
  if (has_tag(properties, "highway")) {
    feature.kind = highway_kind(properties);
  } else if (has_tag(properties, "natural")) {
    feature.kind = feature_kind::green;
  } else if (has_tag(properties, "waterway")) {
    feature.kind  = feature_kind::waterway;
    feature.width = tag_equals(properties, "waterway", "river") ? 0.004f : 0.00005f;
  } else {
    feature.kind = feature_kind::ignored;
  }
}

void classify_waterway(city_feature& feature, const json& properties) {
  feature.kind = has_tag(properties, "waterway") ? feature_kind::waterway
                                                 : feature_kind::ignored;
}

void classify_point(city_feature& feature, const json& properties) {
  if (!tag_equals(properties, "natural", "tree")) {
    feature.kind = feature_kind::ignored;
    return;
  }
  feature.kind = feature_kind::tree;
  auto text = std::string{};
  if (has_tag(properties, "type")) {
    tag_text(properties, "type", text);
    feature.tree_type = text == "palm"      ? tree_palm
                        : text == "pine"    ? tree_pine
                        : text == "cypress" ? tree_cypress
                                            : tree_generic;
  } else if (has_tag(properties, "tree")) {
    feature.tree_type = tree_generic;
  } else if (has_tag(properties, "genus")) {
    tag_text(properties, "genus", text);
    feature.tree_type = text == "Quercus"     ? tree_oak
                        : text == "Cupressus" ? tree_cypress
                        : text == "Pinus"     ? tree_pine
                                              : tree_generic;
  } else {
    feature.tree_type = tree_generic;
  }
}

int feature_levels(feature_kind kind, const json& properties) {
  auto result     = 1;
  auto has_levels = has_tag(properties, "building:levels");
  auto value      = 0.0f;
  if (has_levels && tag_number(properties, "building:levels", value)) {
    // The tag counts the storeys above the ground floor.
    auto storeys = std::round((double)value) + 1;
    if (fits_int(storeys)) result = (int)storeys;
  }
  if (kind != feature_kind::building) return result;

  // Without a storey count the height decides, at 3.2 m a storey;
  // building:height wins over height.
  auto height = -1.0f;
  if (!has_levels && tag_number(properties, "height", value)) height = value;
  if (!has_levels && tag_number(properties, "building:height", value)) height = value;
  if (height > -1) {
    auto storeys = std::trunc((double)height / 3.2);
    if (fits_int(storeys)) result = (int)storeys;
  }

  // Housing blocks look alike whatever their tags say.
  if (is_residential_building(properties)) result = 3;
  return result;
}

float line_width(feature_kind kind, float classified_width) {
  switch (kind) {
    case feature_kind::pedestrian: return 0.00005f;
    case feature_kind::waterway: return classified_width;
    default: return 0.0001f;
  }
}

float feature_height(const city_feature& feature, float scene_size) {
  switch (feature.kind) {
    case feature_kind::building:
      return feature.levels > 0 ? (scene_size / 20 + (float)feature.levels) / 20 : 0.0001f;
    case feature_kind::road: return 0.0005f;
    case feature_kind::pedestrian: return 0.0004f;
    case feature_kind::water:
    case feature_kind::waterway:
    case feature_kind::forest: return 0.00015f;
    default: return 0.0001f;
  }
}
