#include "generator/osm_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>
#include <vector>

#ifndef BLOCKGEN_NO_OSMIUM
#include <osmium/area/assembler.hpp>
#include <osmium/relations/relations_manager.hpp>
#include <osmium/handler.hpp>
#include <osmium/handler/node_locations_for_ways.hpp>
#include <osmium/index/map/sparse_mem_array.hpp>
#include <osmium/io/pbf_input.hpp>
#include <osmium/io/xml_input.hpp>
#include <osmium/relations/manager_util.hpp>
#include <osmium/visitor.hpp>
#endif

#include "generator/feature_records.h"
#include "generator/file_records.h"
#include "support/files.h"

static bool ends_with(const std::string& text, const std::string& end) {
  return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool has_osm_name(const std::string& path, osm_format* format) {
  auto name = path.substr(path.find_last_of("/\\") + 1);
  auto kind = osm_format::xml;
  if (ends_with(name, ".osm") || ends_with(name, ".OSM")) {
    kind = osm_format::xml;
  } else if (ends_with(name, ".osm.pbf") || ends_with(name, ".OSM.PBF")) {
    kind = osm_format::pbf;
  } else {
    return false;
  }
  if (format) *format = kind;
  return true;
}

bool is_osm_file(const std::string& path, osm_format* format) {
  auto kind = osm_format::xml;
  if (!has_osm_name(path, &kind)) return false;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(std::filesystem::u8path(path), ec)) return false;
  if (format) *format = kind;
  return true;
}

#ifndef BLOCKGEN_NO_OSMIUM
namespace {

// Turns the objects of one file into records as the library hands them over:
// nodes and ways while the file is read, areas as they are assembled.
struct osm_records : osmium::handler::Handler {
  float                      scene_size;
  std::vector<city_feature>& records;
  read_report                report   = {};
  feature_tags               tags     = {};
  geometry_points            geometry = {};

  osm_records(float scene_size, std::vector<city_feature>& records)
      : scene_size(scene_size), records(records) {}

  void read_tags(const osmium::TagList& list) {
    tags.clear();
    auto key = tag_key{};
    for (auto& tag : list) {
      if (find_tag_key(tag.key(), key)) tags.set_text(key, tag.value());
    }
  }

  // Appends the node locations in degrees, each once where consecutive
  // nodes share one. The reason a location cannot be used, or nullptr.
  const char* add_points(const osmium::NodeRefList& nodes) {
    auto last = osmium::Location{};
    for (auto& node : nodes) {
      auto location = node.location();
      if (location.is_undefined()) return "a node that is not in the file";
      if (!location.valid()) return "a location off the globe";
      if (location == last) continue;
      last = location;
      geometry.points.push_back({location.lon_without_check(), location.lat_without_check()});
    }
    return nullptr;
  }

  void add(geometry_type type, const char* osm_type, osmium::object_id_type id) {
    add_feature_records(type, tags, osm_type + std::string{"_"} + std::to_string(id), geometry,
                        scene_size, records);
  }

  void skip(const char* reason, const char* osm_type, osmium::object_id_type id) {
    report.feature_read(reason, osm_type + std::string{" "} + std::to_string(id));
  }

  void node(const osmium::Node& node) {
    // Untagged nodes are the corners of ways, not features.
    if (node.tags().empty()) return;
    auto location = node.location();
    if (location.is_undefined()) return skip("a node without a location", "node", node.id());
    if (!location.valid()) return skip("a location off the globe", "node", node.id());
    read_tags(node.tags());
    geometry.clear();
    geometry.points.push_back({location.lon_without_check(), location.lat_without_check()});
    add(geometry_type::point, "node", node.id());
    report.feature_read(nullptr, {});
  }

  void way(const osmium::Way& way) {
    auto& nodes = way.nodes();
    if (way.tags().empty() || nodes.empty()) return;
    // A closed way tagged area=yes is only an area.
    if (nodes.size() > 1 && way.ends_have_same_location() && way.tags().has_tag("area", "yes"))
      return;
    geometry.clear();
    if (auto reason = add_points(nodes)) return skip(reason, "way", way.id());
    geometry.line_ends.push_back(geometry.points.size());
    read_tags(way.tags());
    add(geometry_type::line_string, "way", way.id());
    report.feature_read(nullptr, {});
  }

  void area(const osmium::Area& area) {
    geometry.clear();
    for (auto& item : area) {
      auto type = item.type();
      if (type != osmium::item_type::outer_ring && type != osmium::item_type::inner_ring) continue;
      // An outer ring starts a polygon.
      if (type == osmium::item_type::outer_ring && !geometry.line_ends.empty())
        geometry.polygon_ends.push_back(geometry.line_ends.size());
      auto reason = add_points(static_cast<const osmium::NodeRefList&>(item));
      if (reason) return skip(reason, area.from_way() ? "way" : "relation", area.orig_id());
      geometry.line_ends.push_back(geometry.points.size());
    }
    if (!geometry.line_ends.empty()) geometry.polygon_ends.push_back(geometry.line_ends.size());
    read_tags(area.tags());
    add(geometry_type::multi_polygon, area.from_way() ? "way" : "relation", area.orig_id());
    report.feature_read(nullptr, {});
  }
};

using location_index = osmium::index::map::SparseMemArray<osmium::unsigned_object_id_type,
                                                          osmium::Location>;
using location_handler = osmium::handler::NodeLocationsForWays<location_index, location_index>;

// The multipolygon relations of a file and their member ways, assembled
// into areas as their last member arrives; closed ways are areas on their
// own. The library's manager does the same but stops at the first object
// out of id order, and files exported from openstreetmap.org are not in id
// order: this one takes any order, and a repeated member way (which would
// count towards its relation twice) is dropped before it reaches it.
// Areas take the id of their way or relation doubled (plus one for a
// relation): larger ids, which no real object has, make no area.
bool fits_area_id(osmium::object_id_type id) {
  const auto limit = std::numeric_limits<osmium::object_id_type>::max() / 2 - 1;
  return id <= limit && id >= -limit;
}

class area_manager
    : public osmium::relations::RelationsManager<area_manager, false, true, false, false> {
  osmium::area::Assembler::config_type config = {};

 public:
  // The member ways of the relations kept, sorted once the relations are
  // read, and whether each has reached the manager.
  std::vector<osmium::object_id_type> member_ways = {};
  std::vector<bool>                   member_seen = {};

  bool new_relation(const osmium::Relation& relation) {
    auto type = relation.tags().get_value_by_key("type");
    if (!type || !fits_area_id(relation.id()) || (std::strcmp(type, "multipolygon") != 0 && std::strcmp(type, "boundary") != 0))
      return false;
    auto has_way = false;
    for (auto& member : relation.members()) {
      if (member.type() != osmium::item_type::way) continue;
      has_way = true;
      member_ways.push_back(member.ref());
    }
    return has_way;
  }

  void sort_member_ways() {
    std::sort(member_ways.begin(), member_ways.end());
    member_ways.erase(std::unique(member_ways.begin(), member_ways.end()), member_ways.end());
    member_seen.assign(member_ways.size(), false);
  }

  // False for a member way that reached the manager before.
  bool first_time(osmium::object_id_type id) {
    auto found = std::lower_bound(member_ways.begin(), member_ways.end(), id);
    if (found == member_ways.end() || *found != id) return true;
    auto seen = member_seen[(size_t)(found - member_ways.begin())];
    if (seen) return false;
    seen = true;
    return true;
  }

  void complete_relation(const osmium::Relation& relation) {
    auto ways = std::vector<const osmium::Way*>{};
    for (auto& member : relation.members()) {
      if (member.ref() != 0) ways.push_back(get_member_way(member.ref()));
    }
    try {
      osmium::area::Assembler{config}(relation, ways, buffer());
    } catch (const osmium::invalid_location&) {
      // a member way with a node missing from the file: no area
    }
  }

  void after_way(const osmium::Way& way) {
    // A ring needs four nodes, the first repeated at the end.
    if (way.nodes().size() <= 3 || way.tags().empty() || !fits_area_id(way.id())) return;
    auto& first = way.nodes().front();
    auto& last  = way.nodes().back();
    if (!first.location() || !last.location() || !way.ends_have_same_location()) return;
    if (way.tags().has_tag("area", "no")) return;
    try {
      osmium::area::Assembler{config}(way, buffer());
      possibly_flush();
    } catch (const osmium::invalid_location&) {
    }
  }
};

// Hands ways on to the manager's second pass, each member way once.
struct member_ways_once : osmium::handler::Handler {
  area_manager&                                        manager;
  osmium::relations::SecondPassHandler<osmium::relations::RelationsManager<area_manager, false, true, false, false>>& next;
  void way(const osmium::Way& way) {
    if (manager.first_time(way.id())) next.way(way);
  }
  void flush() { next.flush(); }
};

// Reads the file twice: its multipolygon relations first, then its nodes
// and ways, which make points, lines and areas.
void read_osm(const osmium::io::File& file, osm_records& handler) {
  auto manager = area_manager{};
  osmium::relations::read_relations(file, manager);
  manager.sort_member_ways();

  auto positive = location_index{}, negative = location_index{};
  auto locations = location_handler{positive, negative};
  locations.ignore_errors();  // a way with a missing node is skipped and counted
  auto& second_pass = manager.handler([&handler](osmium::memory::Buffer&& areas) {
    osmium::apply(areas, handler);
  });
  auto once   = member_ways_once{{}, manager, second_pass};
  auto reader = osmium::io::Reader{file, osmium::osm_entity_bits::node | osmium::osm_entity_bits::way};
  osmium::apply(reader, locations, handler, once);
  reader.close();
}

bool read_osm_records(const std::string& path, const osmium::io::File& file, osm_format format,
                      city_features& features, std::string& error, float scene_size) {
  auto new_records = file_records{features.features};
  auto parse_error = format == osm_format::xml ? ": parse error in osm" : ": parse error in osm.pbf";
  try {
    auto handler = osm_records{scene_size, new_records.records};
    read_osm(file, handler);
    handler.report.print(path, new_records.count(), "without a usable geometry");
  } catch (const std::bad_alloc&) {
    return new_records.fail(error, path, ": out of memory");
  } catch (const std::system_error& e) {
    // The reader decodes on threads of its own: at the system's limit of
    // threads the file cannot be read, whatever it holds.
    auto no_thread = e.code() == std::errc::resource_unavailable_try_again;
    return new_records.fail(error, path, no_thread ? ": no thread can be started to read it" : parse_error);
  } catch (const std::exception&) {
    return new_records.fail(error, path, parse_error);
  }
  return true;
}

const char* format_name(osm_format format) { return format == osm_format::xml ? "osm" : "pbf"; }

}  // namespace

bool read_osm_data(const std::string& path, const char* data, size_t size, osm_format format,
                   city_features& features, std::string& error, float scene_size) {
  auto file = osmium::io::File{data, size, format_name(format)};
  return read_osm_records(path, file, format, features, error, scene_size);
}
#else
// A build without libosmium (the Windows build, until the library and expat
// are built for it) names OSM files and says it cannot read them.
bool read_osm_data(const std::string& path, const char*, size_t, osm_format, city_features&,
                   std::string& error, float) {
  error = path + ": OSM files cannot be read by this build (convert them to GeoJSON)";
  return false;
}
#endif

bool read_osm_file(const std::string& path, city_features& features, std::string& error,
                   float scene_size) {
  auto format = ends_with(path, ".pbf") || ends_with(path, ".PBF") ? osm_format::pbf : osm_format::xml;
  // Named as load_text names what it cannot read; a FIFO is never opened.
  std::error_code ec;
  auto file_path = std::filesystem::u8path(path);
  auto status    = std::filesystem::status(file_path, ec);
  if (ec || !std::filesystem::exists(status) || std::filesystem::is_directory(status)) {
    error = path + ": file not found";
    return false;
  }
  if (!std::filesystem::is_regular_file(status)) {
    error = path + ": not a regular file";
    return false;
  }
#if defined(_WIN32) || defined(BLOCKGEN_NO_OSMIUM)
  // The library opens files by their narrow name, which cannot hold every
  // UTF-8 path on Windows: the bytes are read here instead.
  auto bytes = std::string{};
  if (!load_text(path, bytes, error)) return false;
  return read_osm_data(path, bytes.data(), bytes.size(), format, features, error, scene_size);
#else
  // An absolute name: the library would read "-" as standard input and
  // fetch a name that starts with "http:" from the network.
  auto absolute = std::filesystem::absolute(file_path, ec);
  if (ec) {
    error = path + ": file not found";
    return false;
  }
  auto file = osmium::io::File{absolute.u8string(), format_name(format)};
  return read_osm_records(path, file, format, features, error, scene_size);
#endif
}
