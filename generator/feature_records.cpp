#include "generator/feature_records.h"

#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "generator/feature_names.h"
#include "support/console.h"

std::string safe_feature_id(const std::string& id) {
  auto safe = id;
  for (auto& c : safe) {
    auto byte = (unsigned char)c;
    if (byte < 0x20 || byte == 0x7f || std::strchr("/\\<>:\"|?*", c)) c = '_';
  }
  return safe;
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

void add_feature_records(geometry_type type, const feature_tags& tags, const std::string& id,
                         const geometry_points& geometry, float scene_size,
                         std::vector<city_feature>& records) {
  auto made = feature_records{tags, id, geometry, scene_size, records};
  switch (type) {
    case geometry_type::polygon: made.polygon(); break;
    case geometry_type::multi_polygon: made.multi_polygon(); break;
    case geometry_type::line_string: made.line_string(); break;
    case geometry_type::multi_line_string: made.multi_line_string(); break;
    case geometry_type::point: made.point(); break;
  }
}

void read_report::feature_read(const char* reason, const std::string& where) {
  if (reason && skipped++ == 0) first_reason = where + ": " + reason;
  features++;
}

static std::string feature_count(size_t count) {
  return std::to_string(count) + (count == 1 ? " feature" : " features");
}

void read_report::print(const std::string& path, size_t records_built,
                        const char* skipped_as) const {
  if (skipped > 0) {
    auto what = skipped_as ? feature_count(skipped) + " " + skipped_as
                           : std::to_string(skipped) + " malformed feature" + (skipped == 1 ? "" : "s");
    print_line(path + ": skipped " + what + " (first: " + first_reason + ")");
  }
  if (without_id > 0)
    print_line(path + ": " + feature_count(without_id) +
               " without an id, named after the file and their position");
  // A file that builds nothing is worth a line: a city that comes out empty
  // is otherwise a mystery.
  if (records_built == 0 && features > 0)
    print_line(path + ": nothing built from its " + feature_count(features) +
               " (no building, road, water, green area or tree among them)");
}
