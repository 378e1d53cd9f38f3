#include "generator/geojson.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "generator/tags.h"
#include "support/console.h"
#include "support/files.h"
#include "support/hash.h"

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

bool is_geojson_file(const std::string& path) {
  if (path_extension(path) != ".geojson") return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::u8path(path), ec);
}

geojson_entry classify_geojson_entry(const std::string& path) {
  if (path_extension(path) != ".geojson") return geojson_entry::other;
  std::error_code ec;
  auto status = std::filesystem::status(std::filesystem::u8path(path), ec);
  if (ec || !std::filesystem::exists(status) || std::filesystem::is_regular_file(status) ||
      std::filesystem::is_directory(status))
    return geojson_entry::read;
  return geojson_entry::skip;
}

std::string safe_feature_id(const std::string& id) {
  auto safe = id;
  for (auto& c : safe) {
    auto byte = (unsigned char)c;
    if (byte < 0x20 || byte == 0x7f || std::strchr("/\\<>:\"|?*", c)) c = '_';
  }
  return safe;
}


std::string fit_record_name(std::string name) {
  if (name.size() <= max_record_name) return name;
  auto hash = stable_hash{};
  hash.add(name.data(), name.size());
  char digits[20];
  std::snprintf(digits, sizeof(digits), "-%016llx", (unsigned long long)hash.value);
  auto head = max_record_name - std::strlen(digits);
  // A byte 10xxxxxx continues a character: cut before the character instead.
  while (head > 0 && ((unsigned char)name[head] & 0xC0) == 0x80) head--;
  name.resize(head);
  return name + digits;
}

// Half the absolute shoelace sum, the points taken cyclically.
static double quad_area(const std::array<vec2d, 4>& quad) {
  auto sum = 0.0;
  for (size_t i = 0; i < quad.size(); i++) {
    auto& p = quad[i];
    auto& q = quad[(i + 1) % quad.size()];
    sum += p.x * q.y - q.x * p.y;
  }
  return std::abs(sum) / 2;
}

std::vector<vec2d> segment_quad(const vec2d& a, const vec2d& b, double w) {
  auto diagonal = std::array<vec2d, 4>{
      {{b.x + w, b.y + w}, {b.x - w, b.y - w}, {a.x - w, a.y - w}, {a.x + w, a.y + w}}};
  auto along_x = std::array<vec2d, 4>{{{b.x + w, b.y}, {b.x - w, b.y}, {a.x - w, a.y}, {a.x + w, a.y}}};
  // The diagonal offset is flat for segments along the diagonal.
  auto& quad = quad_area(along_x) > quad_area(diagonal) ? along_x : diagonal;
  return {quad.begin(), quad.end()};
}

// Offsets and widths are single-precision constants, widened where degrees
// are computed.
static const float line_offset    = 0.00005f;
static const float waterway_width = 0.0004f;

namespace {

// How a member of a feature or geometry was found.
enum struct member : uint8_t { missing, null, wrong_type, present };

// The "coordinates" value as a flat list in document order: an array is one
// token with its element count, followed by its elements. Arrays nested
// deeper than a multi-polygon's positions are kept as one `other` token:
// no geometry reads into them.
enum struct token_kind : uint8_t { number, array, other };
struct coordinate_token {
  token_kind kind = token_kind::other;
  union {
    double number;
    size_t count;  // elements of an array
  };
};
constexpr size_t max_coordinate_nesting = 4;

// What a feature's records are made from, gathered from the event stream or
// from a parsed document.
struct feature_parts {
  member                        geometry = member::missing, properties = member::missing;
  member                        id = member::missing, type = member::missing;
  bool                          has_coordinates = false;
  std::string                   id_text = "", type_text = "";
  feature_tags                  tags;
  std::vector<coordinate_token> coordinates = {};

  // A later member of the same name replaces an earlier one.
  void reset_geometry(member state) {
    geometry        = state;
    type            = member::missing;
    has_coordinates = false;
    coordinates.clear();
  }
  void reset_properties(member state) {
    properties = state;
    id         = member::missing;
    tags.clear();
  }
  void reset() {
    reset_geometry(member::missing);
    reset_properties(member::missing);
  }
};

// The positions of a geometry that reads: every point in order, where each
// line or ring ends, and where each polygon's rings end.
struct geometry_points {
  std::vector<vec2d>  points       = {};
  std::vector<size_t> line_ends    = {};  // one past a line's or ring's last point
  std::vector<size_t> polygon_ends = {};  // one past a polygon's last ring
  void clear() {
    points.clear();
    line_ends.clear();
    polygon_ends.clear();
  }
};

}  // namespace

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

// The records of one feature, made from its tags and points.
namespace {
struct feature_records {
  const feature_tags&        tags;
  const std::string&         id;
  const geometry_points&     geometry;
  float                      scene_size;
  std::vector<city_feature>& records;

  size_t line_begin(size_t line) const { return line == 0 ? 0 : geometry.line_ends[line - 1]; }

  void append(const city_feature& record, const char* prefix, int counter, size_t line) {
    records.push_back(record);
    auto& added = records.back();
    added.name  = fit_record_name(prefix + id + std::to_string(counter));
    added.outline.assign(geometry.points.begin() + (std::ptrdiff_t)line_begin(line),
                         geometry.points.begin() + (std::ptrdiff_t)geometry.line_ends[line]);
  }

  // The record every ring or polygon of an area copies; false when ignored.
  bool classify(city_feature& record) const {
    classify_area(record, tags, scene_size);
    if (record.kind == feature_kind::ignored) return false;
    record.levels = feature_levels(record.kind, tags);
    return true;
  }

  void polygon() {
    auto record = city_feature{};
    if (!classify(record)) return;
    // Every ring, inner ones included, is an outline of its own.
    for (size_t ring = 0; ring < geometry.line_ends.size(); ring++)
      append(record, "building_", (int)ring, ring);
  }

  void multi_polygon() {
    auto record = city_feature{};
    if (!classify(record)) return;
    auto n = 0;
    auto next_ring = size_t{0};
    for (auto polygon_end : geometry.polygon_ends) {
      auto first = std::exchange(next_ring, polygon_end);
      if (first == polygon_end) continue;  // a polygon without rings adds nothing
      append(record, "building_", n++, first);
      auto& added = records.back();
      for (auto ring = first + 1; ring < polygon_end; ring++) {
        added.holes.emplace_back(geometry.points.begin() + (std::ptrdiff_t)line_begin(ring),
                                 geometry.points.begin() + (std::ptrdiff_t)geometry.line_ends[ring]);
      }
    }
  }

  void segments(const city_feature& record, const char* prefix, double offset, size_t line,
                int& counter) {
    auto& points = geometry.points;
    for (auto j = line_begin(line); j + 1 < geometry.line_ends[line]; j++) {
      records.push_back(record);
      records.back().outline = segment_quad(points[j], points[j + 1], offset);
      records.back().name    = fit_record_name(prefix + id + std::to_string(counter++));
    }
  }

  void line_string() {
    if (geometry.points.size() < 2) return;
    // Every segment gets the same classification, so it is made once.
    auto record = city_feature{};
    classify_line(record, tags);
    if (record.kind == feature_kind::ignored) return;
    record.width = line_width(record.kind, record.width);
    auto i = 0;
    segments(record, "line_", (double)line_offset, 0, i);
  }

  void multi_line_string() {
    auto record = city_feature{};
    classify_waterway(record, tags);
    if (record.kind == feature_kind::ignored) return;
    record.width = waterway_width;
    auto i = 0;
    for (size_t line = 0; line < geometry.line_ends.size(); line++)
      segments(record, "multiline_", (double)waterway_width, line, i);
  }

  void point() {
    auto record = city_feature{};
    classify_point(record, tags);
    if (record.kind == feature_kind::ignored) return;
    record.name    = fit_record_name("point_" + id);
    record.outline = {geometry.points[0]};
    records.push_back(std::move(record));
  }
};
}  // namespace

// Appends the records of one feature. A feature whose structure is broken
// adds nothing; the reason is returned, nullptr otherwise.
static const char* read_feature(const feature_parts& parts, float scene_size,
                                geometry_points& geometry, std::vector<city_feature>& records) {
  if (parts.geometry == member::missing) return "missing \"geometry\"";
  if (parts.geometry == member::null) return "null \"geometry\"";
  if (parts.geometry != member::present) return "\"geometry\" that is not an object";
  if (parts.properties == member::missing) return "missing \"properties\"";
  if (parts.properties != member::present) return "\"properties\" that is not an object";
  if (parts.id == member::missing) return "missing \"@id\"";
  if (parts.id != member::present) return "\"@id\" that is not text";
  if (parts.type == member::missing) return "missing \"type\"";
  if (parts.type != member::present) return "\"type\" that is not text";

  auto& type  = parts.type_text;
  auto  depth = type == "Point"             ? 0
                : type == "LineString"      ? 1
                : type == "MultiLineString" ? 2
                : type == "Polygon"         ? 2
                : type == "MultiPolygon"    ? 3
                                            : -1;
  // Other geometries (GeometryCollection, ...) are not part of the city.
  if (depth < 0) return nullptr;
  if (!parts.has_coordinates) return "missing \"coordinates\"";
  geometry.clear();
  auto next = size_t{0};
  if (auto reason = read_coordinates(parts.coordinates, next, depth, geometry)) return reason;

  auto id   = safe_feature_id(parts.id_text);
  auto made = feature_records{parts.tags, id, geometry, scene_size, records};
  if (type == "Polygon") {
    made.polygon();
  } else if (type == "MultiPolygon") {
    made.multi_polygon();
  } else if (type == "LineString") {
    made.line_string();
  } else if (type == "MultiLineString") {
    made.multi_line_string();
  } else {
    made.point();
  }
  return nullptr;
}

namespace {

// Skipped features of one file, reported in one line once the file has read.
struct skip_report {
  size_t      index = 0, skipped = 0;
  std::string first_reason = "";

  void feature_read(const char* reason) {
    if (reason && skipped++ == 0)
      first_reason = "feature " + std::to_string(index) + ": " + reason;
    index++;
  }
  void print(const std::string& path) const {
    if (skipped == 0) return;
    print_line(path + ": skipped " + std::to_string(skipped) + " malformed feature" +
               (skipped == 1 ? "" : "s") + " (first: " + first_reason + ")");
  }
};

// Where the value that comes next belongs.
enum struct slot : uint8_t {
  skip, root, features, feature, geometry, type, coordinates, coordinate, properties, id, tag
};
// The containers open around it.
enum struct frame : uint8_t { root, features, feature, geometry, properties, coordinates };

// The event handler of the streaming reader. Each feature is gathered into
// `parts` and turned into records when it closes; values nobody reads are
// skipped without being kept. Objects keep the last of repeated keys, as a
// parsed document does.
struct geojson_stream {
  float                      scene_size;
  std::vector<city_feature>& records;
  size_t                     first_size;

  std::vector<frame>  frames      = {};
  std::vector<size_t> open_arrays = {};  // tokens of the open coordinate arrays
  size_t              skip_depth  = 0;   // containers open inside a skipped value
  slot                pending     = slot::skip;
  tag_key             pending_tag = {};
  bool                root_object = false, features_array = false;

  feature_parts   parts    = {};
  geometry_points geometry = {};
  skip_report     report   = {};

  // A later "features" member replaces an earlier one.
  void replace_features(bool is_array) {
    records.erase(records.begin() + (std::ptrdiff_t)first_size, records.end());
    report         = {};
    features_array = is_array;
  }

  slot next_slot() {
    if (frames.empty()) return slot::root;
    switch (frames.back()) {
      case frame::features: return slot::feature;
      case frame::coordinates: parts.coordinates[open_arrays.back()].count++; return slot::coordinate;
      default: return std::exchange(pending, slot::skip);
    }
  }

  void add_token(token_kind kind, double number = 0) {
    auto token = coordinate_token{};
    token.kind = kind;
    if (kind == token_kind::array) {
      token.count = 0;
    } else {
      token.number = number;
    }
    parts.coordinates.push_back(token);
  }

  void begin_coordinates() {
    parts.has_coordinates = true;
    parts.coordinates.clear();
  }

  // A container nobody reads: its events are only counted until it closes.
  bool skip_container() {
    skip_depth = 1;
    return true;
  }

  // A null, boolean, number or text where `where` expects something else.
  void other_value(slot where, bool is_null) {
    switch (where) {
      case slot::root: root_object = false; break;
      case slot::features: replace_features(false); break;
      case slot::feature: report.feature_read("feature that is not an object"); break;
      case slot::geometry: parts.reset_geometry(is_null ? member::null : member::wrong_type); break;
      case slot::type: parts.type = member::wrong_type; break;
      case slot::coordinates: begin_coordinates(); add_token(token_kind::other); break;
      case slot::coordinate: add_token(token_kind::other); break;
      case slot::properties: parts.reset_properties(member::wrong_type); break;
      case slot::id: parts.id = member::wrong_type; break;
      case slot::tag: parts.tags.set_no_text(pending_tag); break;
      case slot::skip: break;
    }
  }

  template <class Number>
  bool number(Number value) {
    if (skip_depth > 0) return true;
    auto where = next_slot();
    if (where == slot::coordinates) begin_coordinates();
    if (where == slot::coordinates || where == slot::coordinate) {
      add_token(token_kind::number, (double)value);
    } else if (where == slot::tag) {
      // A number tag reads as its decimal text.
      parts.tags.set_text(pending_tag, json(value).dump());
    } else {
      other_value(where, false);
    }
    return true;
  }

  bool null() {
    if (skip_depth == 0) other_value(next_slot(), true);
    return true;
  }
  bool boolean(bool) {
    if (skip_depth == 0) other_value(next_slot(), false);
    return true;
  }
  bool number_integer(json::number_integer_t value) { return number(value); }
  bool number_unsigned(json::number_unsigned_t value) { return number(value); }
  bool number_float(json::number_float_t value, const std::string&) { return number(value); }
  bool binary(json::binary_t&) {
    if (skip_depth == 0) other_value(next_slot(), false);
    return true;
  }

  bool string(std::string& value) {
    if (skip_depth > 0) return true;
    auto where = next_slot();
    if (where == slot::type) {
      parts.type = member::present;
      parts.type_text.assign(value);
    } else if (where == slot::id) {
      parts.id = member::present;
      parts.id_text.assign(value);
    } else if (where == slot::tag) {
      parts.tags.set_text(pending_tag, value);
    } else {
      other_value(where, false);
    }
    return true;
  }

  bool key(std::string& name) {
    if (skip_depth > 0) return true;
    switch (frames.back()) {
      case frame::root: pending = name == "features" ? slot::features : slot::skip; break;
      case frame::feature:
        pending = name == "geometry" ? slot::geometry
                  : name == "properties" ? slot::properties
                                         : slot::skip;
        break;
      case frame::geometry:
        pending = name == "type" ? slot::type : name == "coordinates" ? slot::coordinates : slot::skip;
        break;
      case frame::properties:
        pending = name == "@id"                       ? slot::id
                  : find_tag_key(name, pending_tag) ? slot::tag
                                                      : slot::skip;
        break;
      default: pending = slot::skip; break;
    }
    return true;
  }

  bool start_object(std::size_t) {
    if (skip_depth > 0) return ++skip_depth, true;
    switch (auto where = next_slot()) {
      case slot::root:
        root_object = true;
        frames.push_back(frame::root);
        return true;
      case slot::feature:
        parts.reset();
        frames.push_back(frame::feature);
        return true;
      case slot::geometry:
        parts.reset_geometry(member::present);
        frames.push_back(frame::geometry);
        return true;
      case slot::properties:
        parts.reset_properties(member::present);
        frames.push_back(frame::properties);
        return true;
      default:
        other_value(where, false);
        return skip_container();
    }
  }

  bool start_array(std::size_t) {
    if (skip_depth > 0) return ++skip_depth, true;
    auto where = next_slot();
    if (where == slot::features) {
      replace_features(true);
      frames.push_back(frame::features);
      return true;
    }
    if (where == slot::coordinates) begin_coordinates();
    if ((where == slot::coordinates || where == slot::coordinate) &&
        open_arrays.size() < max_coordinate_nesting) {
      open_arrays.push_back(parts.coordinates.size());
      add_token(token_kind::array);
      frames.push_back(frame::coordinates);
      return true;
    }
    if (where == slot::coordinate) {
      add_token(token_kind::other);
    } else {
      other_value(where, false);
    }
    return skip_container();
  }

  bool end_object() {
    if (skip_depth > 0) return --skip_depth, true;
    auto closed = frames.back();
    frames.pop_back();
    if (closed == frame::feature) report.feature_read(read_feature(parts, scene_size, geometry, records));
    return true;
  }

  bool end_array() {
    if (skip_depth > 0) return --skip_depth, true;
    auto closed = frames.back();
    frames.pop_back();
    if (closed == frame::coordinates) open_arrays.pop_back();
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }
};

}  // namespace

bool read_geojson(const std::string& path, city_features& features, std::string& error,
                  float scene_size) {
  auto text = std::string{};
  if (!load_text(path, text, error)) return false;
  return read_geojson_text(path, text, features, error, scene_size);
}

bool read_geojson_text(const std::string& path, const std::string& text,
                       city_features& features, std::string& error, float scene_size) {
  auto& records    = features.features;
  auto  first_size = records.size();
  auto  fail       = [&](const char* reason) {
    records.erase(records.begin() + (std::ptrdiff_t)first_size, records.end());
    error = path + reason;
    return false;
  };
  try {
    auto stream = geojson_stream{scene_size, records, first_size};
    if (!json::sax_parse(text, &stream)) return fail(": parse error in json");
    if (!stream.root_object || !stream.features_array) return fail(": not a feature collection");
    stream.report.print(path);
  } catch (const std::bad_alloc&) {
    // Nothing of a file that does not fit is kept.
    return fail(": out of memory");
  }
  return true;
}

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
  parts.properties = member_of(feature, "properties", found, &json::is_object);
  if (parts.properties == member::null) parts.properties = member::wrong_type;
  if (parts.properties == member::present) {
    auto& properties = *found;
    parts.id = member_of(properties, "@id", found, &json::is_string);
    if (parts.id == member::null) parts.id = member::wrong_type;
    if (parts.id == member::present) parts.id_text = found->get<std::string>();
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
  auto parts    = feature_parts{};
  auto geometry = geometry_points{};
  auto report   = skip_report{};
  for (auto& feature : *list) {
    if (!feature.is_object()) {
      report.feature_read("feature that is not an object");
      continue;
    }
    gather_parts(feature, parts);
    report.feature_read(read_feature(parts, scene_size, geometry, features.features));
  }
  report.print(path);
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
    for (auto& p : record.outline) {
      min = {std::min(min.x, p.x), std::min(min.y, p.y)};
      max = {std::max(max.x, p.x), std::max(max.y, p.y)};
    }
  }
  auto size = (double)scene_size;
  auto map  = [&](vec2d& p) {
    p = vec2d{map_axis(p.x, min.x, max.x, size), map_axis(p.y, min.y, max.y, size)};
  };
  for (auto& record : features.features) {
    record.height = feature_height(record, scene_size);
    for (auto& p : record.outline) map(p);
    for (auto& hole : record.holes) {
      for (auto& p : hole) map(p);
    }
  }
}

// Everything the reader takes from a feature, the name aside.
static bool same_content(const city_feature& a, const city_feature& b) {
  return a.kind == b.kind && a.roof_shape == b.roof_shape && a.tree_type == b.tree_type &&
         a.landmark == b.landmark && a.colour == b.colour && a.levels == b.levels &&
         a.roof_height == b.roof_height && a.width == b.width && a.outline == b.outline &&
         a.holes == b.holes;
}

static uint64_t content_hash(const city_feature& record) {
  auto hash = stable_hash{};
  for (auto number : {(int)record.kind, record.roof_shape, record.tree_type, record.landmark,
                      record.levels})
    hash.add(number);
  hash.add(record.colour);
  hash.add((double)record.roof_height);
  hash.add((double)record.width);
  auto add_points = [&](const std::vector<vec2d>& points) {
    hash.add(points.size());
    for (auto& p : points) hash.add(p.x), hash.add(p.y);
  };
  add_points(record.outline);
  hash.add(record.holes.size());
  for (auto& hole : record.holes) add_points(hole);
  return hash.value;
}

void make_names_unique(city_features& features) {
  auto& records = features.features;
  // Every record by its name as read: equal names are neighbours, in record
  // order. Sorting costs the same whatever the names are.
  struct named {
    uint64_t hash;
    size_t   index;
  };
  auto name_hash = [](const std::string& name) {
    auto hash = stable_hash{};
    hash.add(name.data(), name.size());
    return hash.value;
  };
  auto order = std::vector<named>(records.size());
  for (size_t i = 0; i < records.size(); i++) order[i] = {name_hash(records[i].name), i};
  std::sort(order.begin(), order.end(), [&](const named& a, const named& b) {
    if (a.hash != b.hash) return a.hash < b.hash;
    auto names = records[a.index].name.compare(records[b.index].name);
    return names != 0 ? names < 0 : a.index < b.index;
  });
  auto read_name = [&](const std::string& name) {
    auto hash  = name_hash(name);
    auto found = std::lower_bound(order.begin(), order.end(), hash, [&](const named& a, uint64_t h) {
      return a.hash < h || (a.hash == h && records[a.index].name < name);
    });
    return found != order.end() && found->hash == hash && records[found->index].name == name;
  };

  // Within a group of records that read the same name, the first of each
  // content keeps or gets a name, later ones of the same content share it.
  // Renamed records take the lowest free suffix; no name of another group
  // can end in "~<n>" of this one, so only the names as read can be in the way.
  auto renames = std::vector<std::pair<size_t, std::string>>{};
  auto holders = std::unordered_map<uint64_t, std::vector<std::pair<size_t, std::string>>>{};
  for (size_t begin = 0, end = 0; begin < order.size(); begin = end) {
    auto& base = records[order[begin].index].name;
    for (end = begin + 1; end < order.size() && order[end].hash == order[begin].hash &&
                          records[order[end].index].name == base;
         end++) {
    }
    if (end - begin == 1) continue;
    holders.clear();
    auto suffix = 2;
    for (auto k = begin; k < end; k++) {
      auto  index  = order[k].index;
      auto& record = records[index];
      auto& same   = holders[content_hash(record)];
      auto  held   = std::find_if(same.begin(), same.end(), [&](const auto& holder) {
        return same_content(records[holder.first], record);
      });
      if (held != same.end()) {
        if (held->second != base) renames.emplace_back(index, held->second);
        continue;
      }
      auto name = base;
      if (k != begin) {
        do {
          name = base + "~" + std::to_string(suffix++);
        } while (read_name(name));
        renames.emplace_back(index, name);
      }
      same.emplace_back(index, std::move(name));
    }
  }
  for (auto& [index, name] : renames) records[index].name = std::move(name);
}

bool load_geojson(const std::string& path, city_features& features, std::string& error,
                  float scene_size) {
  if (!read_geojson(path, features, error, scene_size)) return false;
  // Keep the degrees of the new records, and give every earlier record its
  // degrees back, so that one mapping covers them all.
  auto& records = features.features;
  auto& degrees = features.degrees;
  for (auto i = features.degrees_records; i < records.size(); i++) {
    degrees.insert(degrees.end(), records[i].outline.begin(), records[i].outline.end());
    for (auto& hole : records[i].holes) degrees.insert(degrees.end(), hole.begin(), hole.end());
  }
  features.degrees_records = records.size();
  auto next = degrees.begin();
  for (auto& record : records) {
    for (auto& p : record.outline) p = *next++;
    for (auto& hole : record.holes) {
      for (auto& p : hole) p = *next++;
    }
  }
  make_names_unique(features);
  normalize_features(features, scene_size);
  return true;
}
