// The reader of a parsed document: the straightforward reader that tests
// and fuzz targets hold the streaming one against.
#include "generator/geojson.h"

#include <nlohmann/json.hpp>

#include "generator/feature_parts.h"

using json = nlohmann::json;

// The coordinate tokens of a parsed value, as the stream makes them.
static void add_tokens(const json& value, size_t nesting, std::vector<coordinate_token>& tokens) {
  auto token = coordinate_token{};
  if (value.is_number()) {
    token.kind   = token_kind::number;
    token.number = value.get<double>();
    tokens.push_back(token);
  } else if (value.is_array() && nesting < max_coordinate_nesting) {
    token.kind  = token_kind::array;
    token.count = value.size();
    tokens.push_back(token);
    for (auto& item : value) add_tokens(item, nesting + 1, tokens);
  } else {
    token.kind   = token_kind::other;
    token.number = 0;
    tokens.push_back(token);
  }
}

static member member_of(const json& object, const char* name, json::const_iterator& found,
                        bool (json::*expected)() const noexcept) {
  found = object.find(name);
  if (found == object.end()) return member::missing;
  if (found->is_null() && expected != &json::is_null) return member::null;
  return ((*found).*expected)() ? member::present : member::wrong_type;
}

static void read_id(const json& value, id_member& id) {
  if (value.is_string()) {
    id.set_text(value.get<std::string>());
  } else if (value.is_number()) {
    id.set_number(value.dump());
  } else {
    id.set_other(value.is_null());
  }
}

static void gather_ids(const json& properties, feature_id_members& ids) {
  auto read = [&](const char* name, id_member& id) {
    auto found = properties.find(name);
    if (found != properties.end()) read_id(*found, id);
  };
  read("@id", ids.at_id);
  read("@type", ids.at_type);
  read("osm_id", ids.osm_id);
  read("osm_way_id", ids.osm_way_id);
}

static void gather_parts(const json& feature, feature_parts& parts) {
  parts.reset();
  auto found = json::const_iterator{};
  parts.geometry = member_of(feature, "geometry", found, &json::is_object);
  if (parts.geometry == member::present) {
    auto& geometry = *found;
    parts.type = member_of(geometry, "type", found, &json::is_string);
    if (parts.type == member::null) parts.type = member::wrong_type;
    if (parts.type == member::present) parts.type_text = found->get<std::string>();
    found = geometry.find("coordinates");
    parts.has_coordinates = found != geometry.end();
    if (parts.has_coordinates) add_tokens(*found, 0, parts.coordinates);
  }
  if (auto id = feature.find("id"); id != feature.end()) read_id(*id, parts.ids.feature);
  parts.properties = member_of(feature, "properties", found, &json::is_object);
  if (parts.properties == member::null) parts.properties = member::wrong_type;
  if (parts.properties == member::present) {
    auto& properties = *found;
    gather_ids(properties, parts.ids);
    found = properties.find("other_tags");
    parts.has_other_tags = found != properties.end() && found->is_string();
    if (parts.has_other_tags) parts.other_tags = found->get<std::string>();
    parts.tags = tags_of(properties);
  }
}

bool read_geojson_document(const std::string& path, const json& root, city_features& features,
                           std::string& error, float scene_size) {
  auto list = root.is_object() ? root.find("features") : root.end();
  if (list == root.end() || !list->is_array()) {
    error = path + ": not a feature collection";
    return false;
  }
  auto parts  = feature_parts{};
  auto reader = feature_reader{path, scene_size, features.features};
  for (auto& feature : *list) {
    if (!feature.is_object()) {
      reader.not_an_object();
      continue;
    }
    gather_parts(feature, parts);
    reader.read(parts);
  }
  reader.print_report();
  return true;
}

