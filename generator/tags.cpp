#include "generator/tags.h"

#include <cmath>
#include <cstdlib>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

static const std::pair<std::string_view, tag_key> tag_keys[] = {
    {"building", tag_key::building},
    {"roof:shape", tag_key::roof_shape},
    {"roof:height", tag_key::roof_height},
    {"historic", tag_key::historic},
    {"tourism", tag_key::tourism},
    {"building:colour", tag_key::building_colour},
    {"water", tag_key::water},
    {"waterway", tag_key::waterway},
    {"landuse", tag_key::landuse},
    {"natural", tag_key::natural},
    {"leisure", tag_key::leisure},
    {"highway", tag_key::highway},
    {"type", tag_key::type},
    {"tree", tag_key::tree},
    {"genus", tag_key::genus},
    {"building:levels", tag_key::building_levels},
    {"height", tag_key::height},
    {"building:height", tag_key::building_height},
};
static_assert(std::size(tag_keys) == feature_tags::count, "every rule key has its text");

bool find_tag_key(std::string_view key, tag_key& tag) {
  for (auto& [name, value] : tag_keys) {
    if (name == key) {
      tag = value;
      return true;
    }
  }
  return false;
}

feature_tags::feature_tags() {}

void feature_tags::clear() {
  present.fill(false);
  has_text.fill(false);
}

void feature_tags::set_text(tag_key tag, const std::string& value) {
  present[(size_t)tag]  = true;
  has_text[(size_t)tag] = true;
  text[(size_t)tag].assign(value);
}

void feature_tags::set_no_text(tag_key tag) {
  present[(size_t)tag]  = true;
  has_text[(size_t)tag] = false;
}

feature_tags tags_of(const json& properties) {
  auto tags = feature_tags{};
  if (!properties.is_object()) return tags;
  auto tag = tag_key{};
  for (auto& [key, value] : properties.items()) {
    if (!find_tag_key(key, tag)) continue;
    if (value.is_string()) {
      tags.set_text(tag, value.get_ref<const std::string&>());
    } else if (value.is_number()) {
      // Real exports write some numeric tags as JSON numbers
      // ("building:levels": 5); they read as their decimal text.
      tags.set_text(tag, value.dump());
    } else {
      tags.set_no_text(tag);
    }
  }
  return tags;
}

static bool has_tag(const feature_tags& tags, tag_key tag) { return tags.present[(size_t)tag]; }

// The text of a tag; nullptr when it is absent or carries none.
static const std::string* tag_text(const feature_tags& tags, tag_key tag) {
  return tags.has_text[(size_t)tag] ? &tags.text[(size_t)tag] : nullptr;
}

static bool tag_equals(const feature_tags& tags, tag_key tag, const char* value) {
  auto text = tag_text(tags, tag);
  return text && *text == value;
}

// Letters, lists and decimal commas mean the text is not a plain number
// ("2;3", "12 m", "2,5"). Only A and B among the capitals are rejected.
static bool has_rejected_character(const std::string& text) {
  for (auto c : text) {
    if ((c >= 'a' && c <= 'z') || c == 'A' || c == 'B' || c == ';' || c == ',') return true;
  }
  return false;
}

// The number a storey or height tag carries, if any: a plain number no
// larger than `limit` either way.
static bool tag_number(const feature_tags& tags, tag_key tag, float limit, float& value) {
  auto text   = tag_text(tags, tag);
  auto number = 0.0f;
  if (!text || has_rejected_character(*text) || !parse_float(*text, number)) return false;
  if (std::abs(number) > limit) return false;
  value = number;
  return true;
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

bool is_pedestrian_way(const feature_tags& tags) {
  auto text = tag_text(tags, tag_key::highway);
  if (!text) return false;
  static const char* const values[] = {"footway", "pedestrian",    "track",
                                       "steps",   "path",          "living_street",
                                       "pedestrian_area", "pedestrian_line"};
  for (auto way : values) {
    if (*text == way) return true;
  }
  return false;
}

bool is_residential_building(const feature_tags& tags) {
  auto text = tag_text(tags, tag_key::building);
  if (!text) return false;
  return *text == "apartments" || *text == "residential" || *text == "tower" || *text == "hotel";
}

static feature_kind highway_kind(const feature_tags& tags) {
  return is_pedestrian_way(tags) ? feature_kind::pedestrian : feature_kind::road;
}

static void classify_building(city_feature& feature, const feature_tags& tags,
                              float scene_size) {
  feature.kind = feature_kind::building;
  if (has_tag(tags, tag_key::roof_shape)) {
    auto text = tag_text(tags, tag_key::roof_shape);
    auto shape = text ? *text : std::string{};
    if (shape == "gabled" || shape == "onion" || shape == "pyramid") {
      feature.roof_shape = roof_pointed;
    } else if (shape == "flat") {
      feature.roof_shape = roof_flat;
    } else {
      feature.roof_shape = roof_none;
    }
  }
  if (auto text = tag_text(tags, tag_key::roof_height)) {
    // Some exports write a missing roof height as the text "null"; such roofs
    // get a fixed small height in scene units.
    auto metres = 0.0f;
    if (*text == "null") {
      feature.roof_height = 0.109f;
    } else if (parse_float(*text, metres) && std::abs(metres) <= max_height_metres) {
      feature.roof_height = metres / scene_size;
    }
  }
  auto landmark = has_tag(tags, tag_key::historic) ||
                  tag_equals(tags, tag_key::tourism, "attraction");
  if (landmark) {
    feature.landmark = 1;
    if (auto colour = tag_text(tags, tag_key::building_colour)) feature.colour = *colour;
  }
}

void classify_area(city_feature& feature, const feature_tags& tags, float scene_size) {
  if (has_tag(tags, tag_key::building)) {
    classify_building(feature, tags, scene_size);
    return;
  }
  if (has_tag(tags, tag_key::water)) {
    feature.kind = feature_kind::water;
  } else if (has_tag(tags, tag_key::waterway)) {
    feature.kind = feature_kind::waterway;
  } else if (has_tag(tags, tag_key::landuse)) {
    auto text = tag_text(tags, tag_key::landuse);
    if (text && is_green_value(*text)) {
      feature.kind = feature_kind::green;
    } else if (text && *text == "forest") {
      feature.kind = feature_kind::forest;
    } else {
      feature.kind = feature_kind::ignored;
    }
  } else if (has_tag(tags, tag_key::natural)) {
    auto text = tag_text(tags, tag_key::natural);
    if (text && *text == "wood") {
      feature.kind = feature_kind::forest;
    } else if (text && is_green_value(*text)) {
      feature.kind = feature_kind::green;
    } else if (text && *text == "water") {
      feature.kind = feature_kind::water;
    } else {
      feature.kind = feature_kind::ignored;
    }
  } else if (has_tag(tags, tag_key::leisure)) {
    auto text = tag_text(tags, tag_key::leisure);
    feature.kind = text && is_green_value(*text) ? feature_kind::green : feature_kind::ignored;
  } else if (has_tag(tags, tag_key::highway)) {
    feature.kind = highway_kind(tags);
  } else {
    feature.kind = feature_kind::ignored;
  }
}

void classify_line(city_feature& feature, const feature_tags& tags) {
  if (has_tag(tags, tag_key::highway)) {
    feature.kind = highway_kind(tags);
  } else if (has_tag(tags, tag_key::natural)) {
    feature.kind = feature_kind::green;
  } else if (has_tag(tags, tag_key::waterway)) {
    feature.kind  = feature_kind::waterway;
    feature.width = tag_equals(tags, tag_key::waterway, "river") ? 0.004f : 0.00005f;
  } else {
    feature.kind = feature_kind::ignored;
  }
}

void classify_waterway(city_feature& feature, const feature_tags& tags) {
  feature.kind = has_tag(tags, tag_key::waterway) ? feature_kind::waterway
                                                  : feature_kind::ignored;
}

void classify_point(city_feature& feature, const feature_tags& tags) {
  if (!tag_equals(tags, tag_key::natural, "tree")) {
    feature.kind = feature_kind::ignored;
    return;
  }
  feature.kind = feature_kind::tree;
  if (has_tag(tags, tag_key::type)) {
    auto text = tag_text(tags, tag_key::type);
    auto type = text ? *text : std::string{};
    feature.tree_type = type == "palm"      ? tree_palm
                        : type == "pine"    ? tree_pine
                        : type == "cypress" ? tree_cypress
                                            : tree_generic;
  } else if (has_tag(tags, tag_key::tree)) {
    feature.tree_type = tree_generic;
  } else if (has_tag(tags, tag_key::genus)) {
    auto text  = tag_text(tags, tag_key::genus);
    auto genus = text ? *text : std::string{};
    feature.tree_type = genus == "Quercus"     ? tree_oak
                        : genus == "Cupressus" ? tree_cypress
                        : genus == "Pinus"     ? tree_pine
                                               : tree_generic;
  } else {
    feature.tree_type = tree_generic;
  }
}

int feature_levels(feature_kind kind, const feature_tags& tags) {
  auto result     = 1;
  auto has_levels = has_tag(tags, tag_key::building_levels);
  auto value      = 0.0f;
  if (has_levels && tag_number(tags, tag_key::building_levels, max_storey_tag, value)) {
    // The tag counts the storeys above the ground floor.
    result = (int)std::round((double)value) + 1;
  }
  if (kind != feature_kind::building) return result;

  // Without a storey count the height decides, at 3.2 m a storey;
  // building:height wins over height.
  auto height = -1.0f;
  if (!has_levels && tag_number(tags, tag_key::height, max_height_metres, value)) height = value;
  if (!has_levels && tag_number(tags, tag_key::building_height, max_height_metres, value))
    height = value;
  if (height > -1) result = (int)std::trunc((double)height / 3.2);

  // Housing blocks look alike whatever their tags say.
  if (is_residential_building(tags)) result = 3;
  return result;
}

void classify_area(city_feature& feature, const json& properties, float scene_size) {
  classify_area(feature, tags_of(properties), scene_size);
}

void classify_line(city_feature& feature, const json& properties) {
  classify_line(feature, tags_of(properties));
}

void classify_waterway(city_feature& feature, const json& properties) {
  classify_waterway(feature, tags_of(properties));
}

void classify_point(city_feature& feature, const json& properties) {
  classify_point(feature, tags_of(properties));
}

int feature_levels(feature_kind kind, const json& properties) {
  return feature_levels(kind, tags_of(properties));
}

bool is_pedestrian_way(const json& properties) { return is_pedestrian_way(tags_of(properties)); }

bool is_residential_building(const json& properties) {
  return is_residential_building(tags_of(properties));
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
