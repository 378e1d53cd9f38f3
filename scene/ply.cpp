// The common case over the PLY model: shape arrays (positions, normals,
// texture coordinates, colours, radii, faces, lines, points) added to a
// model and read from one.

#include <climits>
#include <utility>

#include "scene/ply_storage.h"

using namespace ply_storage;

// ---------------------------------------------------------------------------
// Model access
// ---------------------------------------------------------------------------

namespace {

void clear_values(ply_property& property) {
  property.data_i8.clear();
  property.data_i16.clear();
  property.data_i32.clear();
  property.data_i64.clear();
  property.data_u8.clear();
  property.data_u16.clear();
  property.data_u32.clear();
  property.data_u64.clear();
  property.data_f32.clear();
  property.data_f64.clear();
  property.list_sizes.clear();
}

const ply_element* find_element(const ply_model& model, const std::string& name) {
  for (auto& element : model.elements)
    if (element.name == name) return &element;
  return nullptr;
}

const ply_property* find_property(const ply_element& element, const std::string& name) {
  for (auto& property : element.properties)
    if (property.name == name) return &property;
  return nullptr;
}

// A scalar property whose values match its element's rows, or null.
const ply_property* find_scalar(const ply_model& model, const std::string& element_name,
                                const std::string& name) {
  auto element = find_element(model, element_name);
  if (!element) return nullptr;
  auto property = find_property(*element, name);
  if (!property || property->is_list || ply_value_count(*property) != element->count)
    return nullptr;
  return property;
}

// A list property whose counts match its element's rows and values, or null.
const ply_property* find_list(const ply_model& model, const std::string& element_name,
                              const std::string& name) {
  auto element = find_element(model, element_name);
  if (!element) return nullptr;
  auto property = find_property(*element, name);
  if (!property || !property->is_list || !list_matches(*property, element->count)) return nullptr;
  return property;
}

// List entries are vertex indices: one outside the int range, or not a
// number, becomes -1, which addresses no vertex.
template <typename T>
int to_index(T value) {
  if constexpr (std::is_floating_point_v<T>) {
    if (!((double)value >= -2147483648.0 && (double)value < 2147483648.0)) return -1;
  } else if constexpr (std::is_signed_v<T>) {
    if ((int64_t)value < INT_MIN || (int64_t)value > INT_MAX) return -1;
  } else {
    if ((uint64_t)value > (uint64_t)INT_MAX) return -1;
  }
  return (int)value;
}

std::vector<float> scalar_values(const ply_property& property) {
  return visit_values(property, [](auto& values) {
    auto result = std::vector<float>(values.size());
    for (auto k = size_t{0}; k < values.size(); k++) result[k] = to_float(values[k]);
    return result;
  });
}

std::vector<int> list_values(const ply_property& property) {
  return visit_values(property, [](auto& values) {
    auto result = std::vector<int>(values.size());
    for (auto k = size_t{0}; k < values.size(); k++) result[k] = to_index(values[k]);
    return result;
  });
}

// The element with this name and row count, appended when missing; null when
// it exists with another count.
ply_element* add_element(ply_model& model, const std::string& name, size_t count) {
  for (auto& element : model.elements) {
    if (element.name != name) continue;
    return element.count == count ? &element : nullptr;
  }
  model.elements.push_back(ply_element{name, count, {}});
  return &model.elements.back();
}

ply_property& add_property(ply_element& element, const std::string& name, ply_type type,
                           bool is_list) {
  auto found = (ply_property*)nullptr;
  for (auto& property : element.properties)
    if (property.name == name) found = &property;
  if (!found) {
    element.properties.push_back({});
    found = &element.properties.back();
    found->name = name;
  }
  clear_values(*found);
  found->type = type;
  found->is_list = is_list;
  return *found;
}

float component(const vec2f& v, size_t k) { return k == 0 ? v.x : v.y; }
float component(const vec3f& v, size_t k) { return k == 0 ? v.x : k == 1 ? v.y : v.z; }
float component(const vec4f& v, size_t k) {
  return k == 0 ? v.x : k == 1 ? v.y : k == 2 ? v.z : v.w;
}

// Component k of each value into its own float property of "vertex".
template <typename T, size_t N>
bool add_vertex_floats(ply_model& model, const std::vector<T>& values,
                       const char* const (&names)[N]) {
  if (values.empty()) return true;
  auto element = add_element(model, "vertex", values.size());
  if (!element) return false;
  for (auto k = size_t{0}; k < N; k++) {
    auto& data = add_property(*element, names[k], ply_type::f32, false).data_f32;
    data.resize(values.size());
    for (auto i = size_t{0}; i < values.size(); i++) data[i] = component(values[i], k);
  }
  return true;
}

// Rows of an index list; `sizes` holds the count of each row.
bool add_index_rows(ply_model& model, const std::string& element_name,
                    std::vector<uint8_t>&& sizes, std::vector<int32_t>&& indices) {
  if (sizes.empty()) return true;
  auto element = add_element(model, element_name, sizes.size());
  if (!element) return false;
  auto& property = add_property(*element, "vertex_indices", ply_type::i32, true);
  property.list_sizes = std::move(sizes);
  property.data_i32 = std::move(indices);
  return true;
}

// Calls f(row start, row size) for each row of a face, line or point list.
template <typename Func>
void for_each_row(const ply_property& property, Func&& f) {
  auto start = size_t{0};
  for (auto size : property.list_sizes) {
    f(start, (size_t)size);
    start += size;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Adding shape arrays
// ---------------------------------------------------------------------------

bool add_positions(ply_model& model, const std::vector<vec3f>& positions) {
  const char* const names[] = {"x", "y", "z"};
  return add_vertex_floats(model, positions, names);
}

bool add_normals(ply_model& model, const std::vector<vec3f>& normals) {
  const char* const names[] = {"nx", "ny", "nz"};
  return add_vertex_floats(model, normals, names);
}

bool add_texcoords(ply_model& model, const std::vector<vec2f>& texcoords, bool flip) {
  const char* const names[] = {"u", "v"};
  if (!flip) return add_vertex_floats(model, texcoords, names);
  auto flipped = texcoords;
  for (auto& uv : flipped) uv.y = 1 - uv.y;
  return add_vertex_floats(model, flipped, names);
}

bool add_colors(ply_model& model, const std::vector<vec4f>& colors) {
  const char* const names[] = {"red", "green", "blue", "alpha"};
  return add_vertex_floats(model, colors, names);
}

bool add_radius(ply_model& model, const std::vector<float>& radius) {
  if (radius.empty()) return true;
  auto element = add_element(model, "vertex", radius.size());
  if (!element) return false;
  add_property(*element, "radius", ply_type::f32, false).data_f32 = radius;
  return true;
}

bool add_faces(ply_model& model, const std::vector<vec3i>& triangles,
               const std::vector<vec4i>& quads) {
  // Triangles first, then quads; a quad that repeats its third index is a
  // triangle and is written as one.
  auto sizes = std::vector<uint8_t>{};
  auto indices = std::vector<int32_t>{};
  sizes.reserve(triangles.size() + quads.size());
  indices.reserve(triangles.size() * 3 + quads.size() * 4);
  for (auto& t : triangles) {
    sizes.push_back(3);
    indices.insert(indices.end(), {t.x, t.y, t.z});
  }
  for (auto& q : quads) {
    if (q.w == q.z) {
      sizes.push_back(3);
      indices.insert(indices.end(), {q.x, q.y, q.z});
    } else {
      sizes.push_back(4);
      indices.insert(indices.end(), {q.x, q.y, q.z, q.w});
    }
  }
  return add_index_rows(model, "face", std::move(sizes), std::move(indices));
}

bool add_lines(ply_model& model, const std::vector<vec2i>& lines) {
  auto sizes = std::vector<uint8_t>(lines.size(), 2);
  auto indices = std::vector<int32_t>{};
  indices.reserve(lines.size() * 2);
  for (auto& l : lines) indices.insert(indices.end(), {l.x, l.y});
  return add_index_rows(model, "line", std::move(sizes), std::move(indices));
}

bool add_points(ply_model& model, const std::vector<int>& points) {
  auto sizes = std::vector<uint8_t>(points.size(), 1);
  auto indices = std::vector<int32_t>(points.begin(), points.end());
  return add_index_rows(model, "point", std::move(sizes), std::move(indices));
}

// ---------------------------------------------------------------------------
// Reading shape arrays
// ---------------------------------------------------------------------------

namespace {

// The named scalar properties of "vertex" as floats, all or nothing.
template <size_t N>
bool get_vertex_floats(const ply_model& model, const char* const (&names)[N],
                       std::vector<float> (&columns)[N]) {
  for (auto k = size_t{0}; k < N; k++) {
    auto property = find_scalar(model, "vertex", names[k]);
    if (!property) return false;
    columns[k] = scalar_values(*property);
  }
  return true;
}

}  // namespace

bool get_positions(const ply_model& model, std::vector<vec3f>& positions) {
  positions.clear();
  const char* const names[] = {"x", "y", "z"};
  std::vector<float> columns[3];
  if (!get_vertex_floats(model, names, columns)) return false;
  positions.resize(columns[0].size());
  for (auto i = size_t{0}; i < positions.size(); i++)
    positions[i] = {columns[0][i], columns[1][i], columns[2][i]};
  return true;
}

bool get_normals(const ply_model& model, std::vector<vec3f>& normals) {
  normals.clear();
  const char* const names[] = {"nx", "ny", "nz"};
  std::vector<float> columns[3];
  if (!get_vertex_floats(model, names, columns)) return false;
  normals.resize(columns[0].size());
  for (auto i = size_t{0}; i < normals.size(); i++)
    normals[i] = {columns[0][i], columns[1][i], columns[2][i]};
  return true;
}

bool get_texcoords(const ply_model& model, std::vector<vec2f>& texcoords, bool flip) {
  texcoords.clear();
  const char* const uv_names[] = {"u", "v"};
  const char* const st_names[] = {"s", "t"};
  auto vertex = find_element(model, "vertex");
  auto has_u = vertex && find_property(*vertex, "u");
  std::vector<float> columns[2];
  if (!get_vertex_floats(model, has_u ? uv_names : st_names, columns)) return false;
  texcoords.resize(columns[0].size());
  for (auto i = size_t{0}; i < texcoords.size(); i++) {
    texcoords[i] = {columns[0][i], flip ? 1 - columns[1][i] : columns[1][i]};
  }
  return true;
}

bool get_colors(const ply_model& model, std::vector<vec4f>& colors) {
  colors.clear();
  auto vertex = find_element(model, "vertex");
  if (!vertex) return false;
  if (find_property(*vertex, "alpha")) {
    const char* const names[] = {"red", "green", "blue", "alpha"};
    std::vector<float> columns[4];
    if (!get_vertex_floats(model, names, columns)) return false;
    colors.resize(columns[0].size());
    for (auto i = size_t{0}; i < colors.size(); i++)
      colors[i] = {columns[0][i], columns[1][i], columns[2][i], columns[3][i]};
  } else {
    const char* const names[] = {"red", "green", "blue"};
    std::vector<float> columns[3];
    if (!get_vertex_floats(model, names, columns)) return false;
    colors.resize(columns[0].size());
    for (auto i = size_t{0}; i < colors.size(); i++)
      colors[i] = {columns[0][i], columns[1][i], columns[2][i], 1};
  }
  return true;
}

bool get_radius(const ply_model& model, std::vector<float>& radius) {
  radius.clear();
  auto property = find_scalar(model, "vertex", "radius");
  if (!property) return false;
  radius = scalar_values(*property);
  return true;
}

bool get_triangles(const ply_model& model, std::vector<vec3i>& triangles) {
  triangles.clear();
  auto property = find_list(model, "face", "vertex_indices");
  if (!property) return false;
  auto indices = list_values(*property);
  triangles.reserve(property->list_sizes.size());
  for_each_row(*property, [&](size_t start, size_t size) {
    for (auto k = size_t{2}; k < size; k++)
      triangles.push_back({indices[start], indices[start + k - 1], indices[start + k]});
  });
  return true;
}

bool get_quads(const ply_model& model, std::vector<vec4i>& quads) {
  quads.clear();
  auto property = find_list(model, "face", "vertex_indices");
  if (!property) return false;
  auto indices = list_values(*property);
  quads.reserve(property->list_sizes.size());
  for_each_row(*property, [&](size_t start, size_t size) {
    auto i = indices.data() + start;
    if (size == 4) {
      quads.push_back({i[0], i[1], i[2], i[3]});
    } else {
      for (auto k = size_t{2}; k < size; k++) quads.push_back({i[0], i[k - 1], i[k], i[k]});
    }
  });
  return true;
}

bool get_lines(const ply_model& model, std::vector<vec2i>& lines) {
  lines.clear();
  auto property = find_list(model, "line", "vertex_indices");
  if (!property) return false;
  auto indices = list_values(*property);
  for_each_row(*property, [&](size_t start, size_t size) {
    for (auto k = size_t{1}; k < size; k++)
      lines.push_back({indices[start + k - 1], indices[start + k]});
  });
  return true;
}

bool get_points(const ply_model& model, std::vector<int>& points) {
  points.clear();
  auto property = find_list(model, "point", "vertex_indices");
  if (!property) return false;
  points = list_values(*property);
  return true;
}

bool has_quads(const ply_model& model) {
  auto property = find_list(model, "face", "vertex_indices");
  if (!property) return false;
  for (auto size : property->list_sizes)
    if (size == 4) return true;
  return false;
}
