#pragma once
// Reading OpenStreetMap GeoJSON extracts into city_feature records.

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "generator/features.h"

// Reads and parses a JSON file. ": file not found", ": read error",
// ": parse error in json".
bool load_json(const std::string& path, nlohmann::json& value, std::string& error);

// Appends the records of one file, then maps every record read so far onto
// the scene_size square centred on the origin.
bool load_geojson(const std::string& path, city_features& features, std::string& error,
                  float scene_size);

// The two halves of load_geojson. Reading many files calls read_geojson for
// each and normalize_features once after the last: the same scene, in time
// linear in the input.
bool read_geojson(const std::string& path, city_features& features, std::string& error,
                  float scene_size);
void normalize_features(city_features& features, float scene_size);
