#pragma once
// What the GeoJSON readers gather from one feature, and the one function
// that turns it into records: the streaming reader and the reader of a
// parsed document share it, so both give the same records and messages.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "generator/feature_ids.h"
#include "generator/feature_records.h"
#include "generator/other_tags.h"
#include "generator/tags.h"

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
  member                        type = member::missing;
  bool                          has_coordinates = false;
  std::string                   type_text = "";
  feature_id_members            ids = {};
  bool                          has_other_tags = false;  // GDAL's "other_tags" text
  std::string                   other_tags = "";
  feature_tags                  tags;
  std::vector<coordinate_token> coordinates = {};

  // Not an aggregate: GCC 12 then sees every member initialised.
  feature_parts();

  // A later member of the same name replaces an earlier one.
  void reset_geometry(member state) {
    geometry        = state;
    type            = member::missing;
    has_coordinates = false;
    coordinates.clear();
  }
  void reset_properties(member state) {
    properties = state;
    ids.clear_properties();
    has_other_tags = false;
    tags.clear();
  }
  void reset() {
    reset_geometry(member::missing);
    reset_properties(member::missing);
    ids.feature.clear();
  }
};

// Turns the features of one file into records, one call per feature, and
// reports on the file once it is read.
struct feature_reader {
  std::string                path;        // names the file in messages
  std::string                file_id;     // names features without an id
  float                      scene_size;
  std::vector<city_feature>& records;
  size_t                     first_record;
  read_report                report     = {};
  geometry_points            geometry   = {};
  std::vector<other_tag>     other_tags = {};
  std::string                id         = "";

  feature_reader(const std::string& path, float scene_size, std::vector<city_feature>& records);
  // Appends the records of one feature; one whose structure is broken adds
  // nothing and is counted with its reason. The tags may gain GDAL's.
  void read(feature_parts& parts);
  void not_an_object() { report.feature_read("feature that is not an object", where()); }
  // Drops what was read, for a later "features" member that replaces it.
  void restart();
  void print_report() const { report.print(path, records.size() - first_record); }

 private:
  std::string where() const { return "feature " + std::to_string(report.features); }
};
