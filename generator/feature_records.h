#pragma once
// The records of one feature, made from its tags, its id and its points in
// degrees: the one place where every reader (GeoJSON of any dialect, .osm
// and .osm.pbf files) turns a feature into city_feature records.

#include <string>
#include <vector>

#include "generator/features.h"
#include "generator/tags.h"

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

// The geometry types that make records; GeoJSON's other types add nothing.
enum struct geometry_type : uint8_t { point, line_string, multi_line_string, polygon, multi_polygon };

// Appends the records of one feature whose classification is not ignored:
// every ring of a polygon, every polygon of a multi-polygon (its inner rings
// as holes), every segment of a line and a tree's single point. `id` is
// already safe in a file name (safe_feature_id); names are a prefix, the id
// and a counter. A point geometry holds one point.
void add_feature_records(geometry_type type, const feature_tags& tags, const std::string& id,
                         const geometry_points& geometry, float scene_size,
                         std::vector<city_feature>& records);

// The four-point outline, in degrees, of a line segment from a to b widened
// by w: offset along the diagonal, or along x when that covers more area.
std::vector<vec2d> segment_quad(const vec2d& a, const vec2d& b, double w);

// An OSM id made safe inside a file name: "/", "\", control characters and
// the characters Windows forbids in names (<>:"|?*) become "_".
std::string safe_feature_id(const std::string& id);

// What one file's reading tells the user once the file is read, one line
// each: how many features were skipped as malformed and the first reason,
// how many had no id and were named after the file, and that nothing at all
// was built from a file that holds features.
struct read_report {
  size_t      features = 0, skipped = 0, without_id = 0;
  std::string first_reason = "";
  // Counts a feature; a reason marks it skipped. `where` names it in the
  // first reason ("feature 3", "way 15").
  void feature_read(const char* reason, const std::string& where);
  // The skipped ones are "malformed features", or features `skipped_as`
  // ("features without a usable geometry").
  void print(const std::string& path, size_t records_built, const char* skipped_as = nullptr) const;
};
