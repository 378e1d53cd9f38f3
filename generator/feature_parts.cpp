#include "generator/feature_parts.h"

#include <cmath>

static void skip_token(const std::vector<coordinate_token>& tokens, size_t& next) {
  auto& token = tokens[next++];
  if (token.kind != token_kind::array) return;
  for (size_t i = 0; i < token.count; i++) skip_token(tokens, next);
}

// A position: two finite numbers in range; a third, the altitude, and
// anything after it are ignored.
static const char* read_position(const std::vector<coordinate_token>& tokens, size_t& next,
                                 vec2d& position) {
  auto& value = tokens[next++];
  if (value.kind != token_kind::array) return "position that is not an array";
  if (value.count < 2) return "position with fewer than two numbers";
  double xy[2];
  for (auto& coordinate : xy) {
    auto& token = tokens[next++];
    if (token.kind != token_kind::number) return "coordinate that is not a number";
    if (!std::isfinite(token.number)) return "coordinate that is not finite";
    coordinate = token.number;
  }
  // One position off the globe would stretch the map's bounds and squash
  // every other feature into one edge of the scene.
  if (!(std::abs(xy[0]) <= 180)) return "longitude outside -180 to 180";
  if (!(std::abs(xy[1]) <= 90)) return "latitude outside -90 to 90";
  for (size_t i = 2; i < value.count; i++) skip_token(tokens, next);
  position = {xy[0], xy[1]};
  return nullptr;
}

// Collects the points of a value nested `depth` deep: 0 a position, 1 a line
// or ring, 2 a polygon or multi-line, 3 a multi-polygon. The reason the first
// bad part cannot be read, or nullptr.
static const char* read_coordinates(const std::vector<coordinate_token>& tokens, size_t& next,
                                    int depth, geometry_points& out) {
  if (depth == 0) {
    auto position = vec2d{};
    if (auto reason = read_position(tokens, next, position)) return reason;
    out.points.push_back(position);
    return nullptr;
  }
  auto& value = tokens[next++];
  if (value.kind != token_kind::array)
    return "\"coordinates\" not nested as the geometry type requires";
  for (size_t i = 0; i < value.count; i++) {
    if (auto reason = read_coordinates(tokens, next, depth - 1, out)) return reason;
  }
  if (depth == 1) out.line_ends.push_back(out.points.size());
  if (depth == 2) out.polygon_ends.push_back(out.line_ends.size());
  return nullptr;
}

feature_parts::feature_parts() {}

feature_reader::feature_reader(const std::string& path, float scene_size,
                               std::vector<city_feature>& records)
    : path(path), scene_size(scene_size), records(records), first_record(records.size()) {
  // "city" of "maps/city.geojson"
  auto name = path.substr(path.find_last_of("/\\") + 1);
  file_id   = name.substr(0, name.rfind('.'));
}

void feature_reader::restart() {
  records.erase(records.begin() + (std::ptrdiff_t)first_record, records.end());
  report = {};
}

// The reason a feature cannot be read, or nullptr; `id` and `type` are set
// for one that can.
static const char* check_feature(const feature_parts& parts, std::string& id, id_rule& rule) {
  if (parts.geometry == member::missing) return "missing \"geometry\"";
  if (parts.geometry == member::null) return "null \"geometry\"";
  if (parts.geometry != member::present) return "\"geometry\" that is not an object";
  if (parts.properties == member::missing) return "missing \"properties\"";
  if (parts.properties != member::present) return "\"properties\" that is not an object";
  if (auto reason = find_feature_id(parts.ids, parts.type_text, id, rule)) return reason;
  if (parts.type == member::missing) return "missing \"type\"";
  if (parts.type != member::present) return "\"type\" that is not text";
  return nullptr;
}

void feature_reader::read(feature_parts& parts) {
  auto rule = id_rule::none;
  if (auto reason = check_feature(parts, id, rule)) return report.feature_read(reason, where());
  auto& type  = parts.type_text;
  auto  depth = type == "Point"             ? 0
                : type == "LineString"      ? 1
                : type == "MultiLineString" ? 2
                : type == "Polygon"         ? 2
                : type == "MultiPolygon"    ? 3
                                            : -1;
  // Other geometries (GeometryCollection, ...) are not part of the city.
  if (depth < 0) return report.feature_read(nullptr, where());
  if (!parts.has_coordinates) return report.feature_read("missing \"coordinates\"", where());
  geometry.clear();
  auto next = size_t{0};
  if (auto reason = read_coordinates(parts.coordinates, next, depth, geometry))
    return report.feature_read(reason, where());

  if (rule == id_rule::none) {
    id = file_id + "/" + std::to_string(report.features);
    report.without_id++;
  }
  // Overpass data has no GDAL tag text; any other dialect may.
  if (parts.has_other_tags && rule != id_rule::overpass)
    add_other_tags(parts.other_tags, parts.tags, other_tags);
  auto geometry_kind = type == "Point"             ? geometry_type::point
                       : type == "LineString"      ? geometry_type::line_string
                       : type == "MultiLineString" ? geometry_type::multi_line_string
                       : type == "Polygon"         ? geometry_type::polygon
                                                   : geometry_type::multi_polygon;
  add_feature_records(geometry_kind, parts.tags, safe_feature_id(id), geometry, scene_size, records);
  report.feature_read(nullptr, where());
}
