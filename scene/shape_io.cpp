#include "scene/shape_io.h"

#include <tiny_obj_loader.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <unordered_map>

#include "scene/ply.h"
#include "scene/scene.h"
#include "scene/scene_files.h"
#include "scene/shape.h"
#include "support/files.h"
#include "support/format.h"

namespace {

// ---------------------------------------------------------------------------
// OBJ reading
// ---------------------------------------------------------------------------

// Face rows as quads: 4 corners stay a quad, other rows become fan triangles
// whose fourth index repeats the third (as for PLY faces).
template <typename Index>
void obj_faces_to_quads(const tinyobj::mesh_t& mesh, Index&& index, std::vector<vec4i>& quads) {
  auto start = size_t{0};
  for (auto size : mesh.num_face_vertices) {
    if (size == 4) {
      quads.push_back({index(start), index(start + 1), index(start + 2), index(start + 3)});
    } else {
      for (auto k = size_t{2}; k < size; k++) {
        auto c = index(start + k);
        quads.push_back({index(start), index(start + k - 1), c, c});
      }
    }
    start += size;
  }
}

template <typename Index>
void obj_faces_to_triangles(const tinyobj::mesh_t& mesh, Index&& index,
                            std::vector<vec3i>& triangles) {
  auto start = size_t{0};
  for (auto size : mesh.num_face_vertices) {
    for (auto k = size_t{2}; k < size; k++)
      triangles.push_back({index(start), index(start + k - 1), index(start + k)});
    start += size;
  }
}

template <typename Index>
void obj_lines(const tinyobj::lines_t& polylines, Index&& index, std::vector<vec2i>& lines) {
  auto start = size_t{0};
  for (auto size : polylines.num_line_vertices) {
    for (auto k = 1; k < size; k++)
      lines.push_back({index(start + k - 1), index(start + k)});
    start += (size_t)size;
  }
}

bool parse_obj_shape(const std::string& filename, const std::string& text,
                     std::vector<int>& points, std::vector<vec2i>& lines,
                     std::vector<vec3i>& triangles, std::vector<vec4i>& quads,
                     std::vector<vec4i>& quadspos, std::vector<vec4i>& quadsnorm,
                     std::vector<vec4i>& quadstexcoord, std::vector<vec3f>& positions,
                     std::vector<vec3f>& normals, std::vector<vec2f>& texcoords,
                     std::vector<vec4f>& colors, std::string& error, bool facevarying,
                     bool flip_texcoord) {
  // The text is read by the caller so that UTF-8 paths work everywhere; the
  // reader keeps its warnings to itself and materials are not wanted.
  auto reader = tinyobj::ObjReader{};
  auto config = tinyobj::ObjReaderConfig{};
  config.triangulate = false;
  config.vertex_color = false;  // colours only when every vertex has them
  if (!reader.ParseFromString(text, "", config)) return error = filename + ": parse error", false;

  auto& attrib = reader.GetAttrib();
  auto& shapes = reader.GetShapes();
  if (shapes.size() != 1) return error = filename + ": empty shape", false;
  auto& mesh = shapes.front().mesh;
  auto& polylines = shapes.front().lines;
  auto& dots = shapes.front().points;
  if (mesh.indices.empty() && polylines.indices.empty() && dots.indices.empty())
    return error = filename + ": empty shape", false;

  // Row sizes must cover the index arrays exactly (the reader keeps face
  // sizes in one byte), and every index must address a value.
  auto face_corners = size_t{0}, line_corners = size_t{0};
  for (auto size : mesh.num_face_vertices) face_corners += size;
  for (auto size : polylines.num_line_vertices) {
    if (size < 0) return error = filename + ": parse error", false;
    line_corners += (size_t)size;
  }
  if (face_corners != mesh.indices.size() || line_corners != polylines.indices.size())
    return error = filename + ": parse error", false;

  auto num_positions = attrib.vertices.size() / 3;
  auto num_normals = attrib.normals.size() / 3;
  auto num_texcoords = attrib.texcoords.size() / 2;
  auto use_normals = num_normals > 0, use_texcoords = num_texcoords > 0;
  auto same_indices = true;
  for (auto indices : {&mesh.indices, &polylines.indices, &dots.indices}) {
    for (auto& index : *indices) {
      if (index.vertex_index < 0 || (size_t)index.vertex_index >= num_positions ||
          (index.normal_index >= 0 && (size_t)index.normal_index >= num_normals) ||
          (index.texcoord_index >= 0 && (size_t)index.texcoord_index >= num_texcoords))
        return error = filename + ": parse error", false;
      // A vertex array is kept only when every corner refers to it.
      if (index.normal_index < 0) use_normals = false;
      if (index.texcoord_index < 0) use_texcoords = false;
      if (index.normal_index >= 0 && index.normal_index != index.vertex_index)
        same_indices = false;
      if (index.texcoord_index >= 0 && index.texcoord_index != index.vertex_index)
        same_indices = false;
    }
  }

  auto position_at = [&](size_t i) {
    return vec3f{attrib.vertices[3 * i], attrib.vertices[3 * i + 1], attrib.vertices[3 * i + 2]};
  };
  auto normal_at = [&](size_t i) {
    return vec3f{attrib.normals[3 * i], attrib.normals[3 * i + 1], attrib.normals[3 * i + 2]};
  };
  auto texcoord_at = [&](size_t i) {
    auto v = attrib.texcoords[2 * i + 1];
    return vec2f{attrib.texcoords[2 * i], flip_texcoord ? 1 - v : v};
  };
  auto has_colors = attrib.colors.size() == attrib.vertices.size();
  auto color_at = [&](size_t i) {
    return vec4f{attrib.colors[3 * i], attrib.colors[3 * i + 1], attrib.colors[3 * i + 2], 1};
  };

  if (facevarying) {
    // Every array as in the file; corners keep their separate indices.
    for (auto i = size_t{0}; i < num_positions; i++) positions.push_back(position_at(i));
    if (use_normals)
      for (auto i = size_t{0}; i < num_normals; i++) normals.push_back(normal_at(i));
    if (use_texcoords)
      for (auto i = size_t{0}; i < num_texcoords; i++) texcoords.push_back(texcoord_at(i));
    obj_faces_to_quads(mesh, [&](size_t c) { return mesh.indices[c].vertex_index; }, quadspos);
    if (use_normals)
      obj_faces_to_quads(mesh, [&](size_t c) { return mesh.indices[c].normal_index; }, quadsnorm);
    if (use_texcoords)
      obj_faces_to_quads(mesh, [&](size_t c) { return mesh.indices[c].texcoord_index; },
                         quadstexcoord);
    auto& line_indices = polylines.indices;
    obj_lines(polylines, [&](size_t c) { return line_indices[c].vertex_index; }, lines);
    for (auto& dot : dots.indices) points.push_back(dot.vertex_index);
  } else {
    auto direct = same_indices && (!use_normals || num_normals == num_positions) &&
                  (!use_texcoords || num_texcoords == num_positions);
    // Corner c of the faces, lines and points, one after another, as a vertex.
    auto corner_vertex = std::vector<int>{};
    auto add_vertex = [&](size_t p, size_t n, size_t t) {
      positions.push_back(position_at(p));
      if (use_normals) normals.push_back(normal_at(n));
      if (use_texcoords) texcoords.push_back(texcoord_at(t));
      if (has_colors) colors.push_back(color_at(p));
    };
    if (direct) {
      for (auto i = size_t{0}; i < num_positions; i++) add_vertex(i, i, i);
    } else {
      // One vertex for each distinct combination of indices, in first-use order.
      auto welder = corner_welder{};
      for (auto indices : {&mesh.indices, &polylines.indices, &dots.indices}) {
        for (auto& index : *indices) {
          auto key = corner_key{index.vertex_index, use_normals ? index.normal_index : -1,
                                use_texcoords ? index.texcoord_index : -1};
          corner_vertex.push_back(welder.weld(key, (int)positions.size(), [&](const corner_key& key) {
            add_vertex((size_t)key.position, (size_t)key.normal, (size_t)key.texcoord);
          }));
        }
      }
    }
    auto line_base = mesh.indices.size(), point_base = line_base + polylines.indices.size();
    auto face_index = [&](size_t c) {
      return direct ? mesh.indices[c].vertex_index : corner_vertex[c];
    };
    auto line_index = [&](size_t c) {
      return direct ? polylines.indices[c].vertex_index : corner_vertex[line_base + c];
    };
    auto any_quad = false;
    for (auto size : mesh.num_face_vertices) any_quad = any_quad || size == 4;
    if (any_quad) {
      obj_faces_to_quads(mesh, face_index, quads);
    } else {
      obj_faces_to_triangles(mesh, face_index, triangles);
    }
    obj_lines(polylines, line_index, lines);
    for (auto c = size_t{0}; c < dots.indices.size(); c++)
      points.push_back(direct ? dots.indices[c].vertex_index : corner_vertex[point_base + c]);
  }
  return true;
}

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
    if (!parse_obj_shape(filename, data, points, lines, triangles, quads, quadspos, quadsnorm,
                         quadstexcoord, positions, normals, texcoords, colors, error,
                         facevarying, flip_texcoord))
      return false;
  } else {
    return error = filename + ": unknown format", false;
  }

  if (positions.empty()) return error = filename + ": empty shape", false;
  // Indices come from the file: one that addresses no vertex would send every
  // later reader of the shape out of bounds.
  auto count = positions.size();
  if (!indices_in_range(points, count) || !indices_in_range(lines, count) ||
      !indices_in_range(triangles, count) || !indices_in_range(quads, count) ||
      !indices_in_range(quadspos, count) || !indices_in_range(quadsnorm, normals.size()) ||
      !indices_in_range(quadstexcoord, texcoords.size()))
    return error = filename + ": parse error", false;
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
