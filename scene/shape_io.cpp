#include "scene/shape_io.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

#include "scene/obj_reader.h"
#include "scene/ply.h"
#include "scene/scene.h"
#include "scene/scene_files.h"
#include "scene/shape.h"
#include "support/files.h"
#include "support/format.h"

namespace {

// ---------------------------------------------------------------------------
// OBJ writing
// ---------------------------------------------------------------------------

bool encode_obj_shape(const std::string& filename, const std::vector<int>& points,
                      const std::vector<vec2i>& lines, const std::vector<vec3i>& triangles,
                      const std::vector<vec4i>& quads, const std::vector<vec4i>& quadspos,
                      const std::vector<vec4i>& quadsnorm, const std::vector<vec4i>& quadstexcoord,
                      const std::vector<vec3f>& positions, const std::vector<vec3f>& normals,
                      const std::vector<vec2f>& texcoords, const std::vector<vec4f>& colors,
                      std::string& out, std::string& error, bool flip_texcoord) {
  if (triangles.empty() && quads.empty() && lines.empty() && points.empty() && quadspos.empty())
    return error = filename + ": empty shape", false;

  // Indexed corners address every vertex array alike, so their lengths must
  // agree or the file would refer to values it does not hold.
  if (quadspos.empty()) {
    for (auto size : {normals.size(), texcoords.size(), colors.size()}) {
      if (size != 0 && size != positions.size()) return error = filename + ": write error", false;
    }
  }

  out.clear();
  // Vertex colours ride on the "v" lines (r g b after x y z), as readers expect.
  auto with_colors = !colors.empty() && colors.size() == positions.size();
  for (auto i = size_t{0}; i < positions.size(); i++) {
    auto& p = positions[i];
    out += "v ";
    append_float(out, p.x), out += ' ', append_float(out, p.y), out += ' ';
    append_float(out, p.z);
    if (with_colors) {
      auto& c = colors[i];
      out += ' ', append_float(out, c.x), out += ' ', append_float(out, c.y);
      out += ' ', append_float(out, c.z);
    }
    out += '\n';
  }
  for (auto& n : normals) {
    out += "vn ";
    append_float(out, n.x), out += ' ', append_float(out, n.y), out += ' ';
    append_float(out, n.z), out += '\n';
  }
  for (auto& t : texcoords) {
    out += "vt ";
    append_float(out, t.x), out += ' ', append_float(out, flip_texcoord ? 1 - t.y : t.y);
    out += '\n';
  }

  // Indexed corners use one index for every vertex array there is.
  append_obj_elements(out, points, lines, triangles, quads, quadspos, quadsnorm, quadstexcoord,
                      obj_offsets{}, !texcoords.empty(), !normals.empty(), true);
  return true;
}

// ---------------------------------------------------------------------------
// C++ array literals
// ---------------------------------------------------------------------------

void append_printf(std::string& out, float value) {
  char buffer[64];
  auto length = std::snprintf(buffer, sizeof(buffer), "%f", value);
  if (length > 0 && (size_t)length < sizeof(buffer)) {
    out.append(buffer, (size_t)length);
  } else {
    // Values too large for the buffer still come out whole.
    auto big = std::string((size_t)std::max(length, 0) + 1, '\0');
    std::snprintf(big.data(), big.size(), "%f", value);
    out.append(big.c_str());
  }
}

void append_value(std::string& out, float value) { append_printf(out, value); }
void append_value(std::string& out, int value) { append_int(out, value); }

void append_components(std::string& out, std::initializer_list<float> values) {
  out += '{';
  auto first = true;
  for (auto v : values) {
    if (!first) out += ',';
    append_printf(out, v);
    first = false;
  }
  out += "},\n";
}

void append_components(std::string& out, std::initializer_list<int> values) {
  out += '{';
  auto first = true;
  for (auto v : values) {
    if (!first) out += ',';
    append_int(out, v);
    first = false;
  }
  out += "},\n";
}

void append_element(std::string& out, float v) { append_value(out, v), out += ",\n"; }
void append_element(std::string& out, int v) { append_value(out, v), out += ",\n"; }
void append_element(std::string& out, const vec2f& v) { append_components(out, {v.x, v.y}); }
void append_element(std::string& out, const vec3f& v) { append_components(out, {v.x, v.y, v.z}); }
void append_element(std::string& out, const vec4f& v) {
  append_components(out, {v.x, v.y, v.z, v.w});
}
void append_element(std::string& out, const vec2i& v) { append_components(out, {v.x, v.y}); }
void append_element(std::string& out, const vec3i& v) { append_components(out, {v.x, v.y, v.z}); }
void append_element(std::string& out, const vec4i& v) {
  append_components(out, {v.x, v.y, v.z, v.w});
}

template <typename T>
void append_array(std::string& out, const char* name, const char* type,
                  const std::vector<T>& values) {
  if (values.empty()) return;
  out += std::string{"auto shape_"} + name + " = vector<" + type + ">{\n";
  for (auto& value : values) append_element(out, value);
  out += "};\n\n";
}

// ---------------------------------------------------------------------------
// Index checks
// ---------------------------------------------------------------------------

std::vector<int> corners_of(int point) { return {point}; }
std::vector<int> corners_of(const vec2i& line) { return {line.x, line.y}; }
std::vector<int> corners_of(const vec3i& triangle) { return {triangle.x, triangle.y, triangle.z}; }
std::vector<int> corners_of(const vec4i& quad) { return {quad.x, quad.y, quad.z, quad.w}; }

// True, with `problem` naming the index, when an element's index addresses
// none of the `count` values. Indices beyond the int range were read as -1.
template <typename T>
bool bad_index(const std::vector<T>& elements, size_t count, const char* element,
               const char* value, const char* values, std::string& problem) {
  if (indices_in_range(elements, count)) return false;
  for (auto& e : elements) {
    for (auto index : corners_of(e)) {
      if (index >= 0 && (size_t)index < count) continue;
      problem = std::string{element} + " index ";
      if (index < 0) {
        problem += "negative or beyond the int range";
      } else {
        problem += std::to_string(index) + " out of range, the file has " +
                   std::to_string(count) + " " + (count == 1 ? value : values);
      }
      return true;
    }
  }
  return false;
}

}  // namespace

bool load_shape(const std::string& filename, std::vector<int>& points,
                std::vector<vec2i>& lines, std::vector<vec3i>& triangles,
                std::vector<vec4i>& quads, std::vector<vec4i>& quadspos,
                std::vector<vec4i>& quadsnorm, std::vector<vec4i>& quadstexcoord,
                std::vector<vec3f>& positions, std::vector<vec3f>& normals,
                std::vector<vec2f>& texcoords, std::vector<vec4f>& colors,
                std::vector<float>& radius, std::string& error, bool facevarying,
                bool flip_texcoord) {
  points.clear(), lines.clear(), triangles.clear(), quads.clear();
  quadspos.clear(), quadsnorm.clear(), quadstexcoord.clear();
  positions.clear(), normals.clear(), texcoords.clear(), colors.clear(), radius.clear();
  if (!has_extension(filename, ".ply") && !has_extension(filename, ".obj"))
    return error = filename + ": unknown format", false;
  auto data = std::string{};
  if (!load_text(filename, data, error)) return false;
  return parse_shape(filename, data, points, lines, triangles, quads, quadspos, quadsnorm,
                     quadstexcoord, positions, normals, texcoords, colors, radius, error,
                     facevarying, flip_texcoord);
}

bool parse_shape(const std::string& filename, const std::string& data,
                 std::vector<int>& points, std::vector<vec2i>& lines,
                 std::vector<vec3i>& triangles, std::vector<vec4i>& quads,
                 std::vector<vec4i>& quadspos, std::vector<vec4i>& quadsnorm,
                 std::vector<vec4i>& quadstexcoord, std::vector<vec3f>& positions,
                 std::vector<vec3f>& normals, std::vector<vec2f>& texcoords,
                 std::vector<vec4f>& colors, std::vector<float>& radius, std::string& error,
                 bool facevarying, bool flip_texcoord) {
  points.clear(), lines.clear(), triangles.clear(), quads.clear();
  quadspos.clear(), quadsnorm.clear(), quadstexcoord.clear();
  positions.clear(), normals.clear(), texcoords.clear(), colors.clear(), radius.clear();

  if (has_extension(filename, ".ply")) {
    auto model = ply_model{};
    if (!parse_ply(filename, data, model, error)) return false;
    // A missing array is no error: it just stays empty.
    get_positions(model, positions);
    get_normals(model, normals);
    get_texcoords(model, texcoords, flip_texcoord);
    if (facevarying) {
      get_quads(model, quadspos);
      if (!normals.empty()) quadsnorm = quadspos;
      if (!texcoords.empty()) quadstexcoord = quadspos;
    } else {
      get_colors(model, colors);
      get_radius(model, radius);
      if (has_quads(model)) {
        get_quads(model, quads);
      } else {
        get_triangles(model, triangles);
      }
      get_lines(model, lines);
      get_points(model, points);
    }
  } else if (has_extension(filename, ".obj")) {
    auto shape = scene_shape{};
    if (!parse_obj_shape(filename, data, shape, error, facevarying, flip_texcoord)) return false;
    points = std::move(shape.points), lines = std::move(shape.lines);
    triangles = std::move(shape.triangles), quads = std::move(shape.quads);
    quadspos = std::move(shape.quadspos), quadsnorm = std::move(shape.quadsnorm);
    quadstexcoord = std::move(shape.quadstexcoord), positions = std::move(shape.positions);
    normals = std::move(shape.normals), texcoords = std::move(shape.texcoords);
    colors = std::move(shape.colors);
  } else {
    return error = filename + ": unknown format", false;
  }

  if (positions.empty()) return error = filename + ": empty shape", false;
  // Indices come from the file: one that addresses no vertex would send every
  // later reader of the shape out of bounds.
  auto count = positions.size();
  auto problem = std::string{};
  bad_index(points, count, "point", "vertex", "vertices", problem) ||
      bad_index(lines, count, "line", "vertex", "vertices", problem) ||
      bad_index(triangles, count, "face", "vertex", "vertices", problem) ||
      bad_index(quads, count, "face", "vertex", "vertices", problem) ||
      bad_index(quadspos, count, "face", "vertex", "vertices", problem) ||
      bad_index(quadsnorm, normals.size(), "face normal", "normal", "normals", problem) ||
      bad_index(quadstexcoord, texcoords.size(), "face texture coordinate", "texture coordinate",
                "texture coordinates", problem);
  if (!problem.empty()) return error = filename + ": parse error (" + problem + ")", false;
  return true;
}

// The bytes of a shape file, and whether they are text (written with the
// platform's line ends) or binary.
static bool encode_shape(const std::string& filename, const std::vector<int>& points,
                         const std::vector<vec2i>& lines, const std::vector<vec3i>& triangles,
                         const std::vector<vec4i>& quads, const std::vector<vec4i>& quadspos,
                         const std::vector<vec4i>& quadsnorm,
                         const std::vector<vec4i>& quadstexcoord,
                         const std::vector<vec3f>& positions, const std::vector<vec3f>& normals,
                         const std::vector<vec2f>& texcoords, const std::vector<vec4f>& colors,
                         const std::vector<float>& radius, std::string& bytes, bool& text,
                         std::string& error, bool flip_texcoord) {
  text = false;
  if (has_extension(filename, ".ply")) {
    auto model = ply_model{};
    auto ok = true;
    if (quadspos.empty()) {
      ok = add_positions(model, positions) && add_normals(model, normals) &&
           add_texcoords(model, texcoords, flip_texcoord) && add_colors(model, colors) &&
           add_radius(model, radius) && add_faces(model, triangles, quads) &&
           add_lines(model, lines) && add_points(model, points);
    } else {
      auto fv_quads = std::vector<vec4i>{};
      auto fv_positions = std::vector<vec3f>{};
      auto fv_normals = std::vector<vec3f>{};
      auto fv_texcoords = std::vector<vec2f>{};
      ok = make_indexed_quads(quadspos, quadsnorm, quadstexcoord, positions, normals, texcoords,
                              fv_quads, fv_positions, fv_normals, fv_texcoords) &&
           add_positions(model, fv_positions) && add_normals(model, fv_normals) &&
           add_texcoords(model, fv_texcoords, flip_texcoord) && add_faces(model, {}, fv_quads);
    }
    // Vertex arrays of different lengths, or face-varying indices that
    // address nothing, cannot make a consistent file: nothing is written.
    if (!ok) return error = filename + ": write error", false;
    return encode_ply(filename, model, bytes, error);
  }

  if (has_extension(filename, ".obj")) {
    text = true;
    return encode_obj_shape(filename, points, lines, triangles, quads, quadspos, quadsnorm,
                            quadstexcoord, positions, normals, texcoords, colors, bytes, error,
                            flip_texcoord);
  }

  if (has_extension(filename, ".cpp")) {
    text = true;
    auto& out = bytes;
    out.clear();
    append_array(out, "positions", "vec3f", positions);
    append_array(out, "normals", "vec3f", normals);
    append_array(out, "texcoords", "vec2f", texcoords);
    append_array(out, "colors", "vec4f", colors);
    append_array(out, "radius", "float", radius);
    append_array(out, "points", "int", points);
    append_array(out, "lines", "vec2i", lines);
    append_array(out, "triangles", "vec3i", triangles);
    append_array(out, "quads", "vec4i", quads);
    append_array(out, "quadspos", "vec4i", quadspos);
    append_array(out, "quadsnorm", "vec4i", quadsnorm);
    append_array(out, "quadstexcoord", "vec4i", quadstexcoord);
    return true;
  }

  return error = filename + ": unknown format", false;
}

bool save_shape(const std::string& filename, const std::vector<int>& points,
                const std::vector<vec2i>& lines, const std::vector<vec3i>& triangles,
                const std::vector<vec4i>& quads, const std::vector<vec4i>& quadspos,
                const std::vector<vec4i>& quadsnorm, const std::vector<vec4i>& quadstexcoord,
                const std::vector<vec3f>& positions, const std::vector<vec3f>& normals,
                const std::vector<vec2f>& texcoords, const std::vector<vec4f>& colors,
                const std::vector<float>& radius, std::string& error, bool flip_texcoord) {
  auto bytes = std::string{};
  auto text = false;
  if (!encode_shape(filename, points, lines, triangles, quads, quadspos, quadsnorm,
                    quadstexcoord, positions, normals, texcoords, colors, radius, bytes, text,
                    error, flip_texcoord))
    return false;
  return text ? save_text(filename, bytes, error) : save_file(filename, bytes, error);
}

bool load_shape(const std::string& filename, scene_shape& shape, std::string& error,
                bool facevarying, bool flip_texcoord) {
  return load_shape(filename, shape.points, shape.lines, shape.triangles, shape.quads,
                    shape.quadspos, shape.quadsnorm, shape.quadstexcoord, shape.positions,
                    shape.normals, shape.texcoords, shape.colors, shape.radius, error,
                    facevarying, flip_texcoord);
}

bool encode_shape(const std::string& filename, const scene_shape& shape, std::string& bytes,
                  bool& text, std::string& error, bool flip_texcoord) {
  return encode_shape(filename, shape.points, shape.lines, shape.triangles, shape.quads,
                      shape.quadspos, shape.quadsnorm, shape.quadstexcoord, shape.positions,
                      shape.normals, shape.texcoords, shape.colors, shape.radius, bytes, text,
                      error, flip_texcoord);
}

bool parse_shape(const std::string& filename, const std::string& data, scene_shape& shape,
                 std::string& error, bool facevarying, bool flip_texcoord) {
  return parse_shape(filename, data, shape.points, shape.lines, shape.triangles, shape.quads,
                     shape.quadspos, shape.quadsnorm, shape.quadstexcoord, shape.positions,
                     shape.normals, shape.texcoords, shape.colors, shape.radius, error,
                     facevarying, flip_texcoord);
}

bool save_shape(const std::string& filename, const scene_shape& shape, std::string& error,
                bool flip_texcoord) {
  return save_shape(filename, shape.points, shape.lines, shape.triangles, shape.quads,
                    shape.quadspos, shape.quadsnorm, shape.quadstexcoord, shape.positions,
                    shape.normals, shape.texcoords, shape.colors, shape.radius, error,
                    flip_texcoord);
}
