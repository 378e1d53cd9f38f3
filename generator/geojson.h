#pragma once
// Reading OpenStreetMap GeoJSON extracts into city_feature records.

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "generator/features.h"

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
// is not text, bad positions, positions outside longitude -180 to 180 or
// latitude -90 to 90) is skipped and the rest of the file is read; one line
// on standard output then names the file, the count and the first reason.
bool read_geojson(const std::string& path, city_features& features, std::string& error,
                  float scene_size);
// The same on a file's text already in memory; `path` names it in messages.
bool read_geojson_text(const std::string& path, const std::string& text,
                       city_features& features, std::string& error, float scene_size);
// The same records from a document parsed whole: the straightforward reader
// that tests and fuzz targets hold the streaming one against.
bool read_geojson_document(const std::string& path, const nlohmann::json& root,
                           city_features& features, std::string& error, float scene_size);

// Maps the outlines and holes, read in degrees, onto the scene_size square:
// longitude and latitude are stretched independently over the bounds of all
// outlines; an axis without extent maps to 0. Call it once, after the last
// file: the records hold scene units afterwards.
void normalize_features(city_features& features, float scene_size);

// Record names become shape and file names, and records of one kind with
// one name share one file when the scene is saved. Names joined from an id
// and a counter can meet ("line_way_1" + "23", "line_way_12" + "3"): a record
// whose name an earlier record with other content holds is renamed with a
// "~2", "~3", ... suffix, so no geometry is lost. A record repeated exactly
// (one way in two overlapping extracts) keeps its name and merges as before.
// Each record costs the same however many share its name.
void make_names_unique(city_features& features);

// Record names longer than this are shortened by fit_record_name, so that
// every file named after a record ("<name>~<n>_roof.ply" the longest) fits
// the 255 bytes a file system allows a name.
constexpr size_t max_record_name = 200;
// Names up to max_record_name bytes unchanged; longer ones keep their head
// (cut between UTF-8 characters) and end in "-" and sixteen hex digits of a
// stable hash of the whole name, max_record_name bytes or fewer in all.
std::string fit_record_name(std::string name);

// The four-point outline, in degrees, of a line segment from a to b widened
// by w: offset along the diagonal, or along x when that covers more area.
std::vector<vec2d> segment_quad(const vec2d& a, const vec2d& b, double w);

// An OSM id made safe inside a file name: "/", "\", control characters and
// the characters Windows forbids in names (<>:"|?*) become "_".
std::string safe_feature_id(const std::string& id);
