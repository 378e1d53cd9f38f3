#pragma once
// Reading OpenStreetMap files, .osm (XML) and .osm.pbf, into city_feature
// records. A file gives the records its GeoJSON export (osmium export, its
// rules for what is an area) gives through read_geojson: the same names
// ("building_way_123" + counter), tags, rings and holes.
//
// Tagged nodes are points; a way is a line unless it is closed and tagged
// area=yes; a closed way of four nodes or more that is not tagged area=no,
// and a multipolygon or boundary relation whose member ways are all in the
// file, are assembled into areas (a closed way is then a line and an area,
// as in osmium's export). Consecutive nodes at one location count once.
//
// Memory: node locations are kept in a sparse array, 16 bytes a node of the
// file, sorted once before the first way; ways are read one at a time and
// only the member ways of multipolygon relations are kept until their
// relation is complete. The file itself is streamed (POSIX) or held once in
// memory (Windows, where the library cannot open UTF-8 paths).

#include <cstddef>
#include <cstdint>
#include <string>

#include "generator/features.h"

enum struct osm_format : uint8_t { xml, pbf };

// True for a regular file (or a link to one) named "<name>.osm" or
// "<name>.osm.pbf", in lower case or all upper case; `format` then says
// which. Folders, FIFOs and devices of that name are not read.
bool is_osm_file(const std::string& path, osm_format* format = nullptr);
// True for such a name, whatever is at the path.
bool has_osm_name(const std::string& path, osm_format* format = nullptr);

// Appends the records of one file, in degrees, as read_geojson does (call
// make_names_unique and normalize_features after the last file). Fails,
// appending nothing, with ": file not found", ": not a regular file",
// ": parse error in osm" (XML) or ": parse error in osm.pbf" and
// ": out of memory". Objects whose geometry cannot be built (a way with a
// node missing from the file, a location off the globe) are skipped and
// counted on one line; a file that builds nothing says so.
bool read_osm_file(const std::string& path, city_features& features, std::string& error,
                   float scene_size);
// The same on a file's bytes in memory; `path` names it in messages.
bool read_osm_data(const std::string& path, const char* data, size_t size, osm_format format,
                   city_features& features, std::string& error, float scene_size);
