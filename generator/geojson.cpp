#include "generator/geojson.h"

#include <nlohmann/json.hpp>

#include "support/files.h"

bool load_json(const std::string& path, nlohmann::json& value, std::string& error) {
  auto text = std::string{};
  if (!load_text(path, text, error)) return false;
  try {
    value = nlohmann::json::parse(text);
  } catch (...) {
    error = path + ": parse error in json";
    return false;
  }
  return true;
}

bool read_geojson(const std::string& path, city_features&, std::string& error, float) {
  // Features are read by the GeoJSON reader work; for now only the file is checked.
  auto json = nlohmann::json{};
  return load_json(path, json, error);
}

void normalize_features(city_features&, float) {}

bool load_geojson(const std::string& path, city_features& features, std::string& error,
                  float scene_size) {
  if (!read_geojson(path, features, error, scene_size)) return false;
  normalize_features(features, scene_size);
  return true;
}
