#include "generator/geojson.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "generator/tags.h"
#include "support/console.h"
#include "support/files.h"

using json = nlohmann::json;

bool load_json(const std::string& path, json& value, std::string& error) {
  auto text = std::string{};
  if (!load_text(path, text, error)) return false;
  try {
    value = json::parse(text);
  } catch (...) {
    error = path + ": parse error in json";
    return false;
  }
  return true;
}

std::string safe_feature_id(const std::string& id) {
  auto safe = id;
  for (auto& c : safe) {
    auto byte = (unsigned char)c;
    if (byte < 0x20 || byte == 0x7f || std::strchr("/\\<>:\"|?*", c)) c = '_';
  }
  return safe;
}

// Half the absolute shoelace sum, the points taken cyclically.
static double quad_area(const std::vector<vec2d>& quad) {
  auto sum = 0.0;
  for (size_t i = 0; i < quad.size(); i++) {
    auto& p = quad[i];
    auto& q = quad[(i + 1) % quad.size()];
    sum += p.x * q.y - q.x * p.y;
  }
  return std::abs(sum) / 2;
}

std::vector<vec2d> segment_quad(const vec2d& a, const vec2d& b, double w) {
  auto diagonal = std::vector<vec2d>{
      {b.x + w, b.y + w}, {b.x - w, b.y - w}, {a.x - w, a.y - w}, {a.x + w, a.y + w}};
  auto along_x = std::vector<vec2d>{{b.x + w, b.y}, {b.x - w, b.y}, {a.x - w, a.y}, {a.x + w, a.y}};
  // The diagonal offset is flat for segments along the diagonal.
  return quad_area(along_x) > quad_area(diagonal) ? along_x : diagonal;
}

// Offsets and widths are single-precision constants, widened where degrees
// are computed.
static const float line_offset    = 0.00005f;
static const float waterway_width = 0.0004f;

// Why a position, or a nested array of them, cannot be read; nullptr when it
// can. depth 0 is a position, 1 a line or ring, 2 a polygon, 3 a multi-polygon.
static const char* check_positions(const json& value, int depth) {
  if (depth == 0) {
    if (!value.is_array()) return "position that is not an array";
    if (value.size() < 2) return "position with fewer than two numbers";
    for (auto i = 0; i < 2; i++) {
      if (!value[i].is_number()) return "coordinate that is not a number";
      if (!std::isfinite(value[i].get<double>())) return "coordinate that is not finite";
    }
    return nullptr;
  }
  if (!value.is_array()) return "\"coordinates\" not nested as the geometry type requires";
  for (auto& item : value) {
    if (auto reason = check_positions(item, depth - 1)) return reason;
  }
  return nullptr;
}

// A third number, the altitude, is ignored.
static vec2d to_position(const json& value) {
  return {value[0].get<double>(), value[1].get<double>()};
}

static std::vector<vec2d> to_positions(const json& value) {
  auto positions = std::vector<vec2d>{};
  positions.reserve(value.size());
  for (auto& item : value) positions.push_back(to_position(item));
  return positions;
}

// The record every ring or polygon of an area copies; false when ignored.
static bool classify_area_record(city_feature& record, const json& properties,
                                 float scene_size) {
  classify_area(record, properties, scene_size);
  if (record.kind == feature_kind::ignored) return false;
  record.levels = feature_levels(record.kind, properties);
  return true;
}

static void read_polygon(const json& coordinates, const json& properties,
                         const std::string& id, float scene_size,
                         std::vector<city_feature>& records) {
  auto record = city_feature{};
  if (!classify_area_record(record, properties, scene_size)) return;
  // Every ring, inner ones included, is an outline of its own.
  auto j = 0;
  for (auto& ring : coordinates) {
    records.push_back(record);
    records.back().name        = "building_" + id + std::to_string(j++);
    records.back().geo_outline = to_positions(ring);
  }
}

static void read_multi_polygon(const json& coordinates, const json& properties,
                               const std::string& id, float scene_size,
                               std::vector<city_feature>& records) {
  auto record = city_feature{};
  if (!classify_area_record(record, properties, scene_size)) return;
  auto n = 0;
  for (auto& polygon : coordinates) {
    if (polygon.empty()) continue;
    records.push_back(record);
    auto& added       = records.back();
    added.name        = "building_" + id + std::to_string(n++);
    added.geo_outline = to_positions(polygon[0]);
    for (size_t r = 1; r < polygon.size(); r++) added.geo_holes.push_back(to_positions(polygon[r]));
  }
}

static void read_line_string(const json& coordinates, const json& properties,
                             const std::string& id, std::vector<city_feature>& records) {
  if (coordinates.size() < 2) return;
  // Every segment gets the same classification, so it is made once.
  auto record = city_feature{};
  classify_line(record, properties);
  if (record.kind == feature_kind::ignored) return;
  record.width = line_width(record.kind, record.width);
  auto i = 0;
  for (size_t j = 0; j + 1 < coordinates.size(); j++) {
    records.push_back(record);
    records.back().geo_outline = segment_quad(
        to_position(coordinates[j]), to_position(coordinates[j + 1]), (double)line_offset);
    records.back().name = "line_" + id + std::to_string(i++);
  }
}

static void read_multi_line_string(const json& coordinates, const json& properties,
                                   const std::string& id, std::vector<city_feature>& records) {
  auto record = city_feature{};
  classify_waterway(record, properties);
  if (record.kind == feature_kind::ignored) return;
  record.width = waterway_width;
  auto i = 0;
  for (auto& line : coordinates) {
    for (size_t j = 0; j + 1 < line.size(); j++) {
      records.push_back(record);
      records.back().geo_outline = segment_quad(
          to_position(line[j]), to_position(line[j + 1]), (double)waterway_width);
      records.back().name = "multiline_" + id + std::to_string(i++);
    }
  }
}

static void read_point(const json& coordinates, const json& properties, const std::string& id,
                       std::vector<city_feature>& records) {
  auto record = city_feature{};
  classify_point(record, properties);
  if (record.kind == feature_kind::ignored) return;
  record.name        = "point_" + id;
  record.geo_outline = {to_position(coordinates)};
  records.push_back(std::move(record));
}

// Appends the records of one feature. A feature whose structure is broken
// adds nothing; the reason is returned, nullptr otherwise.
static const char* read_feature(const json& feature, float scene_size,
                                std::vector<city_feature>& records) {
  if (!feature.is_object()) return "feature that is not an object";
  auto geometry = feature.find("geometry");
  if (geometry == feature.end()) return "missing \"geometry\"";
  if (geometry->is_null()) return "null \"geometry\"";
  if (!geometry->is_object()) return "\"geometry\" that is not an object";
  auto properties = feature.find("properties");
  if (properties == feature.end()) return "missing \"properties\"";
  if (!properties->is_object()) return "\"properties\" that is not an object";
  auto id_value = properties->find("@id");
  if (id_value == properties->end()) return "missing \"@id\"";
  if (!id_value->is_string()) return "\"@id\" that is not text";
  auto type_value = geometry->find("type");
  if (type_value == geometry->end()) return "missing \"type\"";
  if (!type_value->is_string()) return "\"type\" that is not text";

  auto& type  = type_value->get_ref<const std::string&>();
  auto  depth = type == "Point"             ? 0
                : type == "LineString"      ? 1
                : type == "MultiLineString" ? 2
                : type == "Polygon"         ? 2
                : type == "MultiPolygon"    ? 3
                                            : -1;
  // Other geometries (GeometryCollection, ...) are not part of the city.
  if (depth < 0) return nullptr;
  auto coordinates = geometry->find("coordinates");
  if (coordinates == geometry->end()) return "missing \"coordinates\"";
  if (auto reason = check_positions(*coordinates, depth)) return reason;

  auto id = safe_feature_id(id_value->get_ref<const std::string&>());
  if (type == "Polygon") {
    read_polygon(*coordinates, *properties, id, scene_size, records);
  } else if (type == "MultiPolygon") {
    read_multi_polygon(*coordinates, *properties, id, scene_size, records);
  } else if (type == "LineString") {
    read_line_string(*coordinates, *properties, id, records);
  } else if (type == "MultiLineString") {
    read_multi_line_string(*coordinates, *properties, id, records);
  } else {
    read_point(*coordinates, *properties, id, records);
  }
  return nullptr;
}

bool read_geojson(const std::string& path, city_features& features, std::string& error,
                  float scene_size) {
  auto text = std::string{};
  if (!load_text(path, text, error)) return false;
  return read_geojson_text(path, text, features, error, scene_size);
}

bool read_geojson_text(const std::string& path, const std::string& text,
                       city_features& features, std::string& error, float scene_size) {
  // The parsed document lives only for this file.
  auto root = json{};
  try {
    root = json::parse(text);
  } catch (...) {
    error = path + ": parse error in json";
    return false;
  }
  auto list = root.is_object() ? root.find("features") : root.end();
  if (list == root.end() || !list->is_array()) {
    error = path + ": not a feature collection";
    return false;
  }

  auto& records    = features.features;
  auto  first_size = records.size();
  try {
    auto skipped      = size_t{0};
    auto first_reason = std::string{};
    auto index        = size_t{0};
    for (auto& feature : *list) {
      if (auto reason = read_feature(feature, scene_size, records)) {
        if (skipped++ == 0) first_reason = "feature " + std::to_string(index) + ": " + reason;
      }
      index++;
    }
    if (skipped > 0) {
      print_line(path + ": skipped " + std::to_string(skipped) + " malformed feature" +
                 (skipped == 1 ? "" : "s") + " (first: " + first_reason + ")");
    }
  } catch (const std::bad_alloc&) {
    // Nothing of a file that does not fit is kept.
    records.erase(records.begin() + (std::ptrdiff_t)first_size, records.end());
    error = path + ": out of memory";
    return false;
  }
  return true;
}

// (v - lo) / (hi - lo) * size - size / 2, or 0 without extent. Differences
// too large for a double are taken on halves; halving is exact, so the
// ratio is the same.
static double map_axis(double v, double lo, double hi, double size) {
  if (!(hi > lo)) return 0;
  auto range = hi - lo, offset = v - lo;
  auto t     = std::isfinite(range) && std::isfinite(offset)
                   ? offset / range
                   : (v / 2 - lo / 2) / (hi / 2 - lo / 2);
  // Only a hole far outside every outline can leave the float range.
  return std::clamp(t * size - size / 2, -(double)FLT_MAX, (double)FLT_MAX);
}

void normalize_features(city_features& features, float scene_size) {
  auto min = vec2d{DBL_MAX, DBL_MAX}, max = vec2d{-DBL_MAX, -DBL_MAX};
  for (auto& record : features.features) {
    for (auto& p : record.geo_outline) {
      min = {std::min(min.x, p.x), std::min(min.y, p.y)};
      max = {std::max(max.x, p.x), std::max(max.y, p.y)};
    }
  }
  auto size = (double)scene_size;
  auto map  = [&](const vec2d& p) {
    return vec2d{map_axis(p.x, min.x, max.x, size), map_axis(p.y, min.y, max.y, size)};
  };
  for (auto& record : features.features) {
    record.height = feature_height(record, scene_size);
    record.outline.resize(record.geo_outline.size());
    for (size_t i = 0; i < record.geo_outline.size(); i++) {
      record.outline[i] = map(record.geo_outline[i]);
    }
    record.holes.resize(record.geo_holes.size());
    for (size_t h = 0; h < record.geo_holes.size(); h++) {
      auto& hole = record.holes[h];
      hole.resize(record.geo_holes[h].size());
      for (size_t i = 0; i < hole.size(); i++) hole[i] = map(record.geo_holes[h][i]);
    }
  }
}

// Everything the reader takes from a feature, the name and the scene fields
// (derived from these) aside.
static bool same_content(const city_feature& a, const city_feature& b) {
  return a.kind == b.kind && a.roof_shape == b.roof_shape && a.tree_type == b.tree_type &&
         a.landmark == b.landmark && a.colour == b.colour && a.levels == b.levels &&
         a.roof_height == b.roof_height && a.width == b.width &&
         a.geo_outline == b.geo_outline && a.geo_holes == b.geo_holes;
}

void make_names_unique(city_features& features) {
  auto taken = std::unordered_set<std::string>{};
  for (auto& record : features.features) taken.insert(record.name);
  // Per name as read: the records of distinct content that carried it.
  auto holders = std::unordered_map<std::string, std::vector<const city_feature*>>{};
  holders.reserve(features.features.size());
  for (auto& record : features.features) {
    auto& group = holders[record.name];
    auto same = std::find_if(group.begin(), group.end(),
                             [&](const city_feature* held) { return same_content(*held, record); });
    if (same != group.end()) {
      record.name = (*same)->name;
      continue;
    }
    if (!group.empty()) {
      for (auto suffix = 2;; suffix++) {
        auto name = record.name + "~" + std::to_string(suffix);
        if (taken.insert(name).second) {
          record.name = name;
          break;
        }
      }
    }
    group.push_back(&record);
  }
}

bool load_geojson(const std::string& path, city_features& features, std::string& error,
                  float scene_size) {
  if (!read_geojson(path, features, error, scene_size)) return false;
  make_names_unique(features);
  normalize_features(features, scene_size);
  return true;
}
