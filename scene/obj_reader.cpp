// OBJ files through tinyobjloader, read one way for both uses: the shape
// loader takes the arrays of a one-object file, the scene reader every
// object by material with diffuse colours and map_Kd images from the
// material libraries.

#include "scene/obj_reader.h"

#include <tiny_obj_loader.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <unordered_map>

#include "scene/obj_scene.h"
#include "scene/scene.h"
#include "scene/shape.h"
#include "support/files.h"

namespace {

// ---------------------------------------------------------------------------
// Reading and checking
// ---------------------------------------------------------------------------

struct obj_contents {
  tinyobj::attrib_t                attrib    = {};
  std::vector<tinyobj::shape_t>    shapes    = {};
  std::vector<tinyobj::material_t> materials = {};
};

// How many positions, normals and texture coordinates there are.
struct obj_counts {
  size_t positions = 0, normals = 0, texcoords = 0;
};

// The first problem of what the library read, in general words, or null;
// `bad_vertex` is the first vertex whose coordinates are not finite.
const char* find_problem(const obj_contents& obj, size_t& bad_vertex) {
  auto& attrib = obj.attrib;
  for (size_t i = 0; i < attrib.vertices.size(); i++) {
    if (!std::isfinite(attrib.vertices[i])) {
      bad_vertex = i / 3;
      return "a vertex coordinate is not a finite number";
    }
  }
  auto counts = obj_counts{attrib.vertices.size() / 3, attrib.normals.size() / 3,
                           attrib.texcoords.size() / 2};
  for (auto& shape : obj.shapes) {
    // Row sizes must cover the index arrays exactly: the library keeps a
    // face's size in one byte.
    auto face_corners = size_t{0}, line_corners = size_t{0};
    for (auto size : shape.mesh.num_face_vertices) face_corners += size;
    if (face_corners != shape.mesh.indices.size()) return "a face has more than 255 corners";
    for (auto size : shape.lines.num_line_vertices) {
      if (size < 0) return "a line has a negative number of corners";
      line_corners += (size_t)size;
    }
    if (line_corners != shape.lines.indices.size()) return "a line does not match its corners";
    for (auto indices : {&shape.mesh.indices, &shape.lines.indices, &shape.points.indices}) {
      for (auto& index : *indices) {
        if (index.vertex_index < 0 || (size_t)index.vertex_index >= counts.positions ||
            (index.normal_index >= 0 && (size_t)index.normal_index >= counts.normals) ||
            (index.texcoord_index >= 0 && (size_t)index.texcoord_index >= counts.texcoords))
          return "a face, line or point refers to a value that does not exist";
      }
    }
  }
  return nullptr;
}

// The text read again statement by statement, as tinyobjloader reads it,
// to name the line of a problem: lines end at LF, CR or CR LF and stop at a
// NUL; a statement is its first word after spaces and tabs; each corner
// number is read as atoi reads it, a negative one counting back from the
// values read so far.
bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_line_end(char c) { return c == '\r' || c == '\n' || c == '\0'; }

struct obj_lines {
  const std::string& text;
  size_t             at     = 0;
  size_t             number = 0;
  std::string        line   = "";

  bool next() {
    if (at >= text.size()) return false;
    auto end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    line.assign(text, at, end - at);
    at = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    number++;
    return true;
  }
  // The statement's first character, past the spaces and tabs.
  const char* statement() const {
    auto token = line.c_str();
    return token + std::strspn(token, " \t");
  }
};

enum struct obj_statement { other, position, normal, texcoord, face, line, point };

obj_statement statement_kind(const char* token) {
  if (token[0] == 'v' && is_blank(token[1])) return obj_statement::position;
  if (token[0] == 'v' && token[1] == 'n' && is_blank(token[2])) return obj_statement::normal;
  if (token[0] == 'v' && token[1] == 't' && is_blank(token[2])) return obj_statement::texcoord;
  if (token[0] == 'f' && is_blank(token[1])) return obj_statement::face;
  if (token[0] == 'l' && is_blank(token[1])) return obj_statement::line;
  if (token[0] == 'p' && is_blank(token[1])) return obj_statement::point;
  return obj_statement::other;
}

obj_counts count_statements(const std::string& text) {
  auto counts = obj_counts{};
  auto lines = obj_lines{text};
  while (lines.next()) {
    switch (statement_kind(lines.statement())) {
      case obj_statement::position: counts.positions++; break;
      case obj_statement::normal: counts.normals++; break;
      case obj_statement::texcoord: counts.texcoords++; break;
      default: break;
    }
  }
  return counts;
}

// One corner, "v", "v/t", "v//n" or "v/t/n": the numbers as written and as
// 0-based indices (-1 where absent), in the order position, texcoord, normal.
struct obj_corner {
  long written[3]  = {0, 0, 0};
  long resolved[3] = {-1, -1, -1};
  int  zero        = -1;  // which number is 0, an index that cannot be
};

void read_number(const char*& token, int slot, size_t seen, obj_corner& corner) {
  auto value = (long)(int)std::strtol(token, nullptr, 10);
  corner.written[slot] = value;
  if (value == 0 && corner.zero < 0) corner.zero = slot;
  corner.resolved[slot] = value > 0 ? value - 1 : (long)seen + value;
  token += std::strcspn(token, "/ \t\r");
}

obj_corner read_corner(const char*& token, const obj_counts& seen) {
  auto corner = obj_corner{};
  read_number(token, 0, seen.positions, corner);
  if (corner.zero >= 0 || token[0] != '/') return corner;
  token++;
  if (token[0] == '/') {
    token++;
    read_number(token, 2, seen.normals, corner);
    return corner;
  }
  read_number(token, 1, seen.texcoords, corner);
  if (corner.zero >= 0 || token[0] != '/') return corner;
  token++;
  read_number(token, 2, seen.normals, corner);
  return corner;
}

std::string count_of(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// What is wrong with one corner of a face, line or point, or "".
std::string corner_problem(const char* element, const obj_corner& corner,
                           const obj_counts& totals) {
  const char* names[3] = {" index ", " texture coordinate index ", " normal index "};
  if (corner.zero >= 0)
    return std::string{element} + names[corner.zero] + "0, but indices count from 1";
  const size_t counts[3] = {totals.positions, totals.texcoords, totals.normals};
  for (int slot = 0; slot < 3; slot++) {
    auto index = corner.resolved[slot];
    // Only a position is needed; an absent texcoord or normal reads as -1.
    auto bad = slot == 0 ? index < 0 || (size_t)index >= counts[0]
                         : index >= 0 && (size_t)index >= counts[slot];
    if (!bad) continue;
    auto have = slot == 0   ? count_of(counts[0], "vertex", "vertices")
                : slot == 1 ? count_of(counts[1], "texture coordinate", "texture coordinates")
                            : count_of(counts[2], "normal", "normals");
    return std::string{element} + names[slot] + std::to_string(corner.written[slot]) +
           " out of range, the file has " + have;
  }
  return "";
}

// "line N: WHAT" for the first statement that makes the file unreadable,
// or "" when none is found. `bad_vertex` is a vertex whose coordinates the
// library could not read as finite numbers.
std::string locate_problem(const std::string& text, size_t bad_vertex) {
  auto totals = count_statements(text);
  auto seen = obj_counts{};
  auto lines = obj_lines{text};
  while (lines.next()) {
    auto token = lines.statement();
    auto here = "line " + std::to_string(lines.number) + ": ";
    auto kind = statement_kind(token);
    if (kind == obj_statement::position && seen.positions++ == bad_vertex)
      return here + "a vertex coordinate is not a finite number";
    if (kind == obj_statement::normal) seen.normals++;
    if (kind == obj_statement::texcoord) seen.texcoords++;
    if (kind != obj_statement::face && kind != obj_statement::line &&
        kind != obj_statement::point)
      continue;
    auto element = kind == obj_statement::face   ? "face"
                   : kind == obj_statement::line ? "line"
                                                 : "point";
    token += 2;
    if (kind == obj_statement::face) token += std::strspn(token, " \t");
    auto corners = size_t{0};
    auto problem = std::string{};
    while (!is_line_end(token[0])) {
      auto corner = read_corner(token, seen);
      // A zero stops the library at once; other problems count only in
      // the faces it keeps, those of three corners or more.
      if (corner.zero >= 0) return here + corner_problem(element, corner, totals);
      if (problem.empty()) problem = corner_problem(element, corner, totals);
      corners++;
      token += std::strspn(token, " \t\r");
    }
    if (kind == obj_statement::face && corners < 3) continue;
    if (kind == obj_statement::face && corners > 255)
      return here + "a face of " + std::to_string(corners) + " corners, more than 255";
    if (!problem.empty()) return here + problem;
  }
  return "";
}

// Reads OBJ text with its material libraries (none when `materials` is
// null) and checks every reference, so that what it returns can be used
// without further checks.
bool read_obj(const std::string& filename, const std::string& text,
              tinyobj::MaterialReader* materials, obj_contents& obj, std::string& error) {
  obj = obj_contents{};
  auto warn = std::string{}, err = std::string{};
  auto stream = std::istringstream(text);
  // Faces stay polygons: the library's own triangulation reads positions
  // by index before anything could check them. Vertex colours only when
  // every vertex has them.
  auto ok = tinyobj::LoadObj(&obj.attrib, &obj.shapes, &obj.materials, &warn, &err, &stream,
                             materials, false, false);
  auto problem = std::string{};
  auto bad_vertex = SIZE_MAX;
  if (!ok) {
    problem = err.substr(0, err.find('\n'));
  } else if (auto found = find_problem(obj, bad_vertex)) {
    problem = found;
  } else {
    return true;
  }
  auto located = locate_problem(text, bad_vertex);
  if (!located.empty()) problem = located;
  error = filename + ": parse error" + (problem.empty() ? "" : " (" + problem + ")");
  return false;
}

// The values corners refer to, as shapes keep them; with flip, v becomes
// 1 - v (OBJ counts v upwards, our images run down from the top row).
struct obj_values {
  const tinyobj::attrib_t& attrib;
  bool                     flip_texcoord = true;

  vec3f position(size_t i) const {
    return {attrib.vertices[3 * i], attrib.vertices[3 * i + 1], attrib.vertices[3 * i + 2]};
  }
  vec3f normal(size_t i) const {
    return {attrib.normals[3 * i], attrib.normals[3 * i + 1], attrib.normals[3 * i + 2]};
  }
  vec2f texcoord(size_t i) const {
    auto v = attrib.texcoords[2 * i + 1];
    return {attrib.texcoords[2 * i], flip_texcoord ? 1 - v : v};
  }
  vec4f color(size_t i) const {
    return {attrib.colors[3 * i], attrib.colors[3 * i + 1], attrib.colors[3 * i + 2], 1};
  }
};

// ---------------------------------------------------------------------------
// Shapes
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

// Which vertex arrays a shape keeps: an array only when every corner
// refers to it; `same_indices` when every corner uses one index for all.
struct obj_corner_use {
  bool normals = false, texcoords = false, same_indices = true;
};

obj_corner_use corner_use(const tinyobj::attrib_t& attrib, const tinyobj::shape_t& source) {
  auto use = obj_corner_use{!attrib.normals.empty(), !attrib.texcoords.empty(), true};
  for (auto indices : {&source.mesh.indices, &source.lines.indices, &source.points.indices}) {
    for (auto& index : *indices) {
      if (index.normal_index < 0) use.normals = false;
      if (index.texcoord_index < 0) use.texcoords = false;
      if (index.normal_index >= 0 && index.normal_index != index.vertex_index)
        use.same_indices = false;
      if (index.texcoord_index >= 0 && index.texcoord_index != index.vertex_index)
        use.same_indices = false;
    }
  }
  return use;
}

// Every array as in the file; corners keep their separate indices.
void facevarying_shape(const obj_values& values, const obj_corner_use& use,
                       const tinyobj::shape_t& source, scene_shape& shape) {
  auto& attrib = values.attrib;
  auto& mesh = source.mesh;
  for (auto i = size_t{0}; i < attrib.vertices.size() / 3; i++)
    shape.positions.push_back(values.position(i));
  if (use.normals)
    for (auto i = size_t{0}; i < attrib.normals.size() / 3; i++)
      shape.normals.push_back(values.normal(i));
  if (use.texcoords)
    for (auto i = size_t{0}; i < attrib.texcoords.size() / 2; i++)
      shape.texcoords.push_back(values.texcoord(i));
  obj_faces_to_quads(mesh, [&](size_t c) { return mesh.indices[c].vertex_index; }, shape.quadspos);
  if (use.normals)
    obj_faces_to_quads(mesh, [&](size_t c) { return mesh.indices[c].normal_index; },
                       shape.quadsnorm);
  if (use.texcoords)
    obj_faces_to_quads(mesh, [&](size_t c) { return mesh.indices[c].texcoord_index; },
                       shape.quadstexcoord);
  auto& line_indices = source.lines.indices;
  obj_lines(source.lines, [&](size_t c) { return line_indices[c].vertex_index; }, shape.lines);
  for (auto& dot : source.points.indices) shape.points.push_back(dot.vertex_index);
}

// One vertex per corner kind: the file's own vertices when every corner
// uses one index for all its arrays, else one for each distinct
// combination of indices, in first-use order.
void indexed_shape(const obj_values& values, const obj_corner_use& use,
                   const tinyobj::shape_t& source, scene_shape& shape) {
  auto& attrib = values.attrib;
  auto& mesh = source.mesh;
  auto& polylines = source.lines;
  auto& dots = source.points;
  auto num_positions = attrib.vertices.size() / 3;
  auto direct = use.same_indices &&
                (!use.normals || attrib.normals.size() / 3 == num_positions) &&
                (!use.texcoords || attrib.texcoords.size() / 2 == num_positions);
  auto has_colors = attrib.colors.size() == attrib.vertices.size();
  auto add_vertex = [&](size_t p, size_t n, size_t t) {
    shape.positions.push_back(values.position(p));
    if (use.normals) shape.normals.push_back(values.normal(n));
    if (use.texcoords) shape.texcoords.push_back(values.texcoord(t));
    if (has_colors) shape.colors.push_back(values.color(p));
  };
  // Corner c of the faces, lines and points, one after another, as a vertex.
  auto corner_vertex = std::vector<int>{};
  if (direct) {
    for (auto i = size_t{0}; i < num_positions; i++) add_vertex(i, i, i);
  } else {
    auto welder = corner_welder{};
    for (auto indices : {&mesh.indices, &polylines.indices, &dots.indices}) {
      for (auto& index : *indices) {
        auto key = corner_key{index.vertex_index, use.normals ? index.normal_index : -1,
                              use.texcoords ? index.texcoord_index : -1};
        auto next = (int)shape.positions.size();
        corner_vertex.push_back(welder.weld(key, next, [&](const corner_key& key) {
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
    obj_faces_to_quads(mesh, face_index, shape.quads);
  } else {
    obj_faces_to_triangles(mesh, face_index, shape.triangles);
  }
  obj_lines(polylines, line_index, shape.lines);
  for (auto c = size_t{0}; c < dots.indices.size(); c++)
    shape.points.push_back(direct ? dots.indices[c].vertex_index : corner_vertex[point_base + c]);
}

// ---------------------------------------------------------------------------
// Scenes
// ---------------------------------------------------------------------------

// Material libraries come through the scene's referenced files. The first
// library that cannot be read is remembered: a scene whose materials are
// missing fails rather than showing grey.
struct mtl_reader : tinyobj::MaterialReader {
  const referenced_files& files;
  std::string             folder;
  std::string             failure = "";
  mtl_reader(const referenced_files& files, const std::string& folder)
      : files(files), folder(folder) {}
  bool operator()(const std::string& name, std::vector<tinyobj::material_t>* materials,
                  std::map<std::string, int>* names, std::string* warn,
                  std::string* err) override {
    auto data = std::string{}, error = std::string{};
    if (!files.read(path_join(folder, name), data, error)) {
      if (failure.empty()) failure = error;
      return false;
    }
    auto stream = std::istringstream(data);
    tinyobj::LoadMtl(names, materials, &stream, warn, err);
    return true;
  }
};

std::string clean_path(std::string path) {
  for (auto& c : path)
    if (c == '\\') c = '/';
  return path;
}

// The scene's materials, one per library material, with their images read
// once each.
bool add_obj_materials(const std::string& filename,
                       const std::vector<tinyobj::material_t>& materials,
                       const referenced_files& files, scene_data& scene,
                       std::vector<scene_material*>& scene_materials, std::string& error) {
  auto folder = path_dirname(filename);
  auto textures = std::unordered_map<std::string, scene_texture*>{};
  for (auto& m : materials) {
    auto material = add_material(scene, m.name);
    material->color = {(float)m.diffuse[0], (float)m.diffuse[1], (float)m.diffuse[2]};
    material->emission = {(float)m.emission[0], (float)m.emission[1], (float)m.emission[2]};
    material->opacity = (float)m.dissolve;
    if (!m.diffuse_texname.empty()) {
      auto path = path_join(folder, clean_path(m.diffuse_texname));
      auto found = textures.find(path);
      if (found == textures.end()) {
        auto texture = add_texture(scene, clean_path(m.diffuse_texname));
        auto inner = std::string{};
        if (!files.load_texture(path, *texture, inner)) {
          error = filename + ": error in " + inner;
          return false;
        }
        found = textures.emplace(path, texture).first;
      }
      material->color_tex = found->second;
      // A black diffuse colour beside an image means the image alone.
      if (material->color == vec3f{0, 0, 0}) material->color = {1, 1, 1};
    }
    scene_materials.push_back(material);
  }
  return true;
}

// The faces of one object that use one material, as fan triangles over
// vertices welded from positions and, when every corner has one, texture
// coordinates. Lines and points are not shown.
void add_material_faces(const obj_values& values, const tinyobj::mesh_t& mesh,
                        const std::vector<size_t>& faces, const std::vector<size_t>& offsets,
                        scene_shape& shape) {
  auto has_texcoords = true;
  for (auto f : faces)
    for (size_t k = 0; k < mesh.num_face_vertices[f]; k++)
      if (mesh.indices[offsets[f] + k].texcoord_index < 0) has_texcoords = false;
  auto welder = corner_welder{};
  auto corner = [&](const tinyobj::index_t& index) {
    auto key = corner_key{index.vertex_index, -1, has_texcoords ? index.texcoord_index : -1};
    return welder.weld(key, (int)shape.positions.size(), [&](const corner_key& key) {
      shape.positions.push_back(values.position((size_t)key.position));
      if (has_texcoords) shape.texcoords.push_back(values.texcoord((size_t)key.texcoord));
    });
  };
  for (auto f : faces) {
    auto count = (size_t)mesh.num_face_vertices[f];
    if (count < 3) continue;
    auto first = 0, previous = 0, current = 0;
    for (size_t k = 0; k < count; k++) {
      current = corner(mesh.indices[offsets[f] + k]);
      if (k == 0) first = current;
      if (k >= 2) shape.triangles.push_back({first, previous, current});
      previous = current;
    }
  }
}

}  // namespace

bool parse_obj_shape(const std::string& filename, const std::string& text, scene_shape& shape,
                     std::string& error, bool facevarying, bool flip_texcoord) {
  // Materials are not wanted, and the library keeps its warnings to itself.
  auto obj = obj_contents{};
  if (!read_obj(filename, text, nullptr, obj, error)) return false;
  if (obj.shapes.size() != 1) return error = filename + ": empty shape", false;
  auto& source = obj.shapes.front();
  if (source.mesh.indices.empty() && source.lines.indices.empty() &&
      source.points.indices.empty())
    return error = filename + ": empty shape", false;
  auto values = obj_values{obj.attrib, flip_texcoord};
  auto use = corner_use(obj.attrib, source);
  if (facevarying) {
    facevarying_shape(values, use, source, shape);
  } else {
    indexed_shape(values, use, source, shape);
  }
  return true;
}

bool parse_obj_scene(const std::string& filename, const std::string& data,
                     const referenced_files& files, loaded_scene& scene, std::string& error) {
  scene = loaded_scene{};
  auto reader = mtl_reader(files, path_dirname(filename));
  auto obj = obj_contents{};
  if (!read_obj(filename, data, &reader, obj, error)) return false;
  auto& materials = obj.materials;
  if (!reader.failure.empty() && materials.empty()) {
    error = filename + ": error in " + reader.failure;
    return false;
  }
  auto scene_materials = std::vector<scene_material*>{};
  if (!add_obj_materials(filename, materials, files, scene.scene, scene_materials, error))
    return false;

  auto values = obj_values{obj.attrib, true};
  auto default_material = (scene_material*)nullptr;
  for (auto& source : obj.shapes) {
    auto& mesh = source.mesh;
    // Faces by material, each material's faces one shape.
    auto by_material = std::map<int, std::vector<size_t>>{};
    auto offsets = std::vector<size_t>(mesh.num_face_vertices.size());
    auto offset = size_t{0};
    for (size_t f = 0; f < mesh.num_face_vertices.size(); f++) {
      offsets[f] = offset;
      offset += mesh.num_face_vertices[f];
      auto material = f < mesh.material_ids.size() ? mesh.material_ids[f] : -1;
      if (material < -1 || material >= (int)materials.size()) material = -1;
      by_material[material].push_back(f);
    }
    for (auto& [material_id, faces] : by_material) {
      auto name = source.name;
      if (material_id >= 0 && by_material.size() > 1) name += ":" + materials[material_id].name;
      auto instance = add_instance(scene.scene, name);
      instance->shape = add_shape(scene.scene, name);
      if (material_id >= 0) {
        instance->material = scene_materials[material_id];
      } else {
        if (!default_material) {
          default_material = add_material(scene.scene, "default");
          default_material->color = {0.7f, 0.7f, 0.7f};
        }
        instance->material = default_material;
      }
      add_material_faces(values, mesh, faces, offsets, *instance->shape);
    }
  }
  return true;
}
