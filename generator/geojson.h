#pragma once
// Reading OpenStreetMap GeoJSON extracts into city_feature records. The
// dialects of the field are told apart feature by feature: Overpass ("@id":
// "way/123"), osmium ("@type": "way", "@id": 123, or a feature "id" such as
// "w123") and GDAL ("osm_id", "osm_way_id", tags in "other_tags"); each
// feature gets the id Overpass data would give it (feature_ids.h).

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "generator/feature_names.h"
#include "generator/feature_records.h"
#include "generator/features.h"
#include "generator/normalize.h"

// Reads and parses a JSON file. ": file not found", ": read error",
// ": parse error in json".
bool load_json(const std::string& path, nlohmann::json& value, std::string& error);

// True for a regular file (or a link to one) whose extension is exactly
// ".geojson". Folders, FIFOs, sockets and devices of that name are not read:
// opening a FIFO would wait for a writer forever.
bool is_geojson_file(const std::string& path);

// How the driver treats a directory entry. Only names whose extension is
// exactly ".geojson" are input. Of those, FIFOs, sockets and devices are
// skipped with a warning line, never opened (a FIFO would wait for a writer
// forever); everything else is read, so that a folder or a dangling link of
// that name fails to open and ends the run with ": file not found".
enum struct geojson_entry { other, read, skip };
geojson_entry classify_geojson_entry(const std::string& path);

// Appends the records of one file, then maps every record read so far onto
// the scene_size square centred on the origin. It keeps the degrees of every
// record it has read in the collection for the next call.
bool load_geojson(const std::string& path, city_features& features, std::string& error,
                  float scene_size);

// The two halves of load_geojson. Reading many files calls read_geojson for
// each and normalize_features once after the last: the same scene, in time
// linear in the input.
//
// The file is read as a stream of JSON events, one feature at a time: memory
// holds the file's text and the records, never a document of the whole file.
// read_geojson fails, appending nothing, when the file cannot be read or
// parsed or its root has no "features" array (": not a feature collection").
// A feature with a broken structure (missing or null members, an "@id" that
// is neither text nor a number, bad positions, positions outside longitude
// -180 to 180 or latitude -90 to 90) is skipped and the rest of the file is
// read; one line on standard output then names the file, the count and the
// first reason. Features without any id are named after the file and their
// position ("city/7" for the eighth feature of city.geojson), and one line
// says how many; a file that holds features but builds nothing says so too.
bool read_geojson(const std::string& path, city_features& features, std::string& error,
                  float scene_size);
// The same on a file's text already in memory; `path` names it in messages.
bool read_geojson_text(const std::string& path, const std::string& text,
                       city_features& features, std::string& error, float scene_size);
// The same records from a document parsed whole: the straightforward reader
// that tests and fuzz targets hold the streaming one against.
bool read_geojson_document(const std::string& path, const nlohmann::json& root,
                           city_features& features, std::string& error, float scene_size);
