#include "generator/geojson.h"

#include <filesystem>
#include <new>
#include <utility>

#include <nlohmann/json.hpp>

#include "generator/feature_parts.h"
#include "generator/file_records.h"
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

namespace {

// Where the value that comes next belongs.
enum struct slot : uint8_t {
  skip, root, features, feature, geometry, type, coordinates, coordinate, properties, tag,
  at_id, at_type, feature_id, osm_id, osm_way_id, other_tags
};
// The containers open around it.
enum struct frame : uint8_t { root, features, feature, geometry, properties, coordinates };

// The event handler of the streaming reader. Each feature is gathered into
// `parts` and turned into records when it closes; values nobody reads are
// skipped without being kept. Objects keep the last of repeated keys, as a
// parsed document does.
// The property keys, other than tags, that name a feature or carry tags.
slot property_slot(const std::string& name) {
  return name == "@id"          ? slot::at_id
         : name == "@type"      ? slot::at_type
         : name == "osm_id"     ? slot::osm_id
         : name == "osm_way_id" ? slot::osm_way_id
         : name == "other_tags" ? slot::other_tags
                                : slot::skip;
}

struct geojson_stream {
  feature_reader& reader;
  explicit geojson_stream(feature_reader& reader) : reader(reader) {}

  std::vector<frame>  frames      = {};
  std::vector<size_t> open_arrays = {};  // tokens of the open coordinate arrays
  size_t              skip_depth  = 0;   // containers open inside a skipped value
  slot                pending     = slot::skip;
  tag_key             pending_tag = {};
  bool                root_object = false, features_array = false;

  feature_parts parts = {};

  // A later "features" member replaces an earlier one.
  void replace_features(bool is_array) {
    reader.restart();
    features_array = is_array;
  }

  // The id member a slot fills; nullptr for the other slots.
  id_member* id_slot(slot where) {
    switch (where) {
      case slot::at_id: return &parts.ids.at_id;
      case slot::at_type: return &parts.ids.at_type;
      case slot::feature_id: return &parts.ids.feature;
      case slot::osm_id: return &parts.ids.osm_id;
      case slot::osm_way_id: return &parts.ids.osm_way_id;
      default: return nullptr;
    }
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
      case slot::feature: reader.not_an_object(); break;
      case slot::geometry: parts.reset_geometry(is_null ? member::null : member::wrong_type); break;
      case slot::type: parts.type = member::wrong_type; break;
      case slot::coordinates: begin_coordinates(); add_token(token_kind::other); break;
      case slot::coordinate: add_token(token_kind::other); break;
      case slot::properties: parts.reset_properties(member::wrong_type); break;
      case slot::tag: parts.tags.set_no_text(pending_tag); break;
      case slot::other_tags: parts.has_other_tags = false; break;
      case slot::skip: break;
      default: id_slot(where)->set_other(is_null); break;
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
    } else if (auto id = id_slot(where)) {
      id->set_number(json(value).dump());
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
    } else if (where == slot::tag) {
      parts.tags.set_text(pending_tag, value);
    } else if (where == slot::other_tags) {
      parts.has_other_tags = true;
      parts.other_tags.assign(value);
    } else if (auto id = id_slot(where)) {
      id->set_text(value);
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
        pending = name == "geometry"     ? slot::geometry
                  : name == "properties" ? slot::properties
                  : name == "id"         ? slot::feature_id
                                         : slot::skip;
        break;
      case frame::geometry:
        pending = name == "type" ? slot::type : name == "coordinates" ? slot::coordinates : slot::skip;
        break;
      case frame::properties:
        pending = find_tag_key(name, pending_tag) ? slot::tag : property_slot(name);
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
    if (closed == frame::feature) reader.read(parts);
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
  auto new_records = file_records{features.features};
  try {
    auto reader = feature_reader{path, scene_size, new_records.records};
    auto stream = geojson_stream{reader};
    if (!json::sax_parse(text, &stream))
      return new_records.fail(error, path, ": parse error in json");
    if (!stream.root_object || !stream.features_array)
      return new_records.fail(error, path, ": not a feature collection");
    reader.print_report();
  } catch (const std::bad_alloc&) {
    // Nothing of a file that does not fit is kept.
    return new_records.fail(error, path, ": out of memory");
  }
  return true;
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
