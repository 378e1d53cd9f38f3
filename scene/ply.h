#pragma once
// PLY files (the Stanford polygon format): the model, reader and writer, and
// the operations that move shape arrays into and out of a model.
//
// A model is a table of elements ("vertex", "face", ...), each with a row
// count and typed properties. Every property keeps its values in one array of
// its own type (a list keeps the values of all rows one after another plus a
// count per row), so a model of a big mesh costs no more than its arrays.

#include <cstdint>
#include <string>
#include <vector>

#include "scene/math.h"

// The ten value types; the header keywords are "char"/"int8", "short"/"int16",
// "int"/"int32", "long"/"int64", "uchar"/"uint8", "ushort"/"uint16",
// "uint"/"uint32", "ulong"/"uint64", "float"/"float32", "double"/"float64".
enum struct ply_type { i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };

enum struct ply_format { ascii = 0, binary_little_endian = 1, binary_big_endian = 2 };

struct ply_property {
  std::string name    = "";
  bool        is_list = false;
  ply_type    type    = ply_type::f32;
  // Only the array of `type` is used.
  std::vector<int8_t>   data_i8  = {};
  std::vector<int16_t>  data_i16 = {};
  std::vector<int32_t>  data_i32 = {};
  std::vector<int64_t>  data_i64 = {};
  std::vector<uint8_t>  data_u8  = {};
  std::vector<uint16_t> data_u16 = {};
  std::vector<uint32_t> data_u32 = {};
  std::vector<uint64_t> data_u64 = {};
  std::vector<float>    data_f32 = {};
  std::vector<double>   data_f64 = {};
  // Lists only: the number of values of each row.
  std::vector<uint8_t> list_sizes = {};
};

struct ply_element {
  std::string               name       = "";
  uint64_t                  count      = 0;
  std::vector<ply_property> properties = {};
};

struct ply_model {
  ply_format               format   = ply_format::binary_little_endian;
  std::vector<std::string> comments = {};
  std::vector<ply_element> elements = {};
};

// The header keyword written for a type ("float" for f32) and its size in
// binary files.
const char* ply_type_keyword(ply_type type);
size_t      ply_type_size(ply_type type);
// The number of values stored in the property's own array.
size_t ply_value_count(const ply_property& property);

// Reads a file into `model` (cleared first). Fails with ": file not found",
// ": parse error" (header or ascii values) or ": read error" (data ends early,
// or an element declares more rows than the file can hold), the last two
// followed by what is wrong in parentheses: the header or data line, or the
// element ("element vertex: 10 rows declared, the data holds at most 3").
bool load_ply(const std::string& filename, ply_model& model, std::string& error);
// The same on the bytes of a file already in memory; `filename` names it in
// messages.
bool parse_ply(const std::string& filename, const std::string& data, ply_model& model,
               std::string& error);
// Writes the model. Fails with ": file not found" when the file cannot be
// created and ": write error" when a write fails or the model is inconsistent
// (a property whose value count disagrees with its element's row count); an
// inconsistent model is found before the file is touched.
bool save_ply(const std::string& filename, const ply_model& model, std::string& error);
// The bytes save_ply writes, in `out` (replaced); fails only on an
// inconsistent model, with ": write error".
bool encode_ply(const std::string& filename, const ply_model& model, std::string& out,
                std::string& error);

// Adding: each does nothing and succeeds when its array is empty. A vertex
// array goes to element "vertex", created with one row per value; an element
// that exists already keeps its count, and values of another count are
// refused (false, model unchanged).
bool add_positions(ply_model& model, const std::vector<vec3f>& positions);
bool add_normals(ply_model& model, const std::vector<vec3f>& normals);
bool add_texcoords(ply_model& model, const std::vector<vec2f>& texcoords, bool flip = false);
bool add_colors(ply_model& model, const std::vector<vec4f>& colors);
bool add_radius(ply_model& model, const std::vector<float>& radius);
// Rows of "face"/"vertex_indices": triangles with count 3, then quads with
// count 4, or 3 when a quad repeats its third index as its fourth.
bool add_faces(ply_model& model, const std::vector<vec3i>& triangles,
               const std::vector<vec4i>& quads);
bool add_lines(ply_model& model, const std::vector<vec2i>& lines);
bool add_points(ply_model& model, const std::vector<int>& points);

// Reading: each returns false with its output empty when the element or a
// needed property is missing, has the wrong list kind or a value count that
// disagrees with the element. Values of any type convert to float as they
// are (a uchar 255 reads 255.0); list entries convert to 32-bit ints.
bool get_positions(const ply_model& model, std::vector<vec3f>& positions);
bool get_normals(const ply_model& model, std::vector<vec3f>& normals);
// "u"/"v", or "s"/"t" when there is no "u"; with flip v becomes 1 - v.
bool get_texcoords(const ply_model& model, std::vector<vec2f>& texcoords, bool flip = false);
// Alpha is 1 when the file has no "alpha".
bool get_colors(const ply_model& model, std::vector<vec4f>& colors);
bool get_radius(const ply_model& model, std::vector<float>& radius);
// A face row of n >= 3 indices is the fan (i0, ik-1, ik), k = 2 .. n-1.
bool get_triangles(const ply_model& model, std::vector<vec3i>& triangles);
// Rows of 4 are quads; other rows become their fan triangles as quads whose
// fourth index repeats the third.
bool get_quads(const ply_model& model, std::vector<vec4i>& quads);
bool get_lines(const ply_model& model, std::vector<vec2i>& lines);
bool get_points(const ply_model& model, std::vector<int>& points);
// True when some face row has exactly 4 indices.
bool has_quads(const ply_model& model);
