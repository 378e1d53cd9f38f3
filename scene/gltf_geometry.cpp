// The glTF writer's geometry: each shape's vertex and index data appended
// to the view of its kind, the accessors kept for the document.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "scene/gltf_writer.h"
#include "scene/shape.h"

namespace gltf_writing {

const int view_strides[view_kinds] = {12, 12, 8, 16, 0, 0, 0};

bool gltf_builder::flush_parts(bool all) {
  for (auto& view : views)
    if (!view.flush(all, error)) return false;
  return accessors.flush(all, error) && nodes.flush(all, error) && meshes.flush(all, error);
}

int gltf_builder::add_vertices(view_kind view, const void* data, size_t count, size_t size) {
  auto record = accessor_record{};
  record.view = (uint32_t)view;
  record.offset = views[view].total();
  record.count = count;
  views[view].pending.append((const char*)data, count * size);
  accessors.pending.append((const char*)&record, sizeof(record));
  return (int)accessor_count++;
}

int gltf_builder::add_positions(const std::vector<vec3f>& positions) {
  auto index = add_vertices(positions_view, positions.data(), positions.size(), sizeof(vec3f));
  auto record = accessor_record{};
  std::memcpy(&record, accessors.pending.data() + accessors.pending.size() - sizeof(record),
              sizeof(record));
  record.has_bounds = 1;
  record.min = record.max = positions.front();
  for (auto& p : positions) {
    record.min = {std::min(record.min.x, p.x), std::min(record.min.y, p.y),
                  std::min(record.min.z, p.z)};
    record.max = {std::max(record.max.x, p.x), std::max(record.max.y, p.y),
                  std::max(record.max.z, p.z)};
  }
  std::memcpy(accessors.pending.data() + accessors.pending.size() - sizeof(record), &record,
              sizeof(record));
  return index;
}

// Indices in the smallest type that holds the largest; the largest value
// of each type is left out, as readers take it for a primitive restart.
int gltf_builder::add_indices(const int* indices, size_t count) {
  auto largest = 0;
  for (size_t i = 0; i < count; i++) largest = std::max(largest, indices[i]);
  auto view = largest < 255 ? index8_view : largest < 65535 ? index16_view : index32_view;
  auto size = view == index8_view ? 1 : view == index16_view ? 2 : 4;
  auto& bytes = views[view].pending;
  auto record = accessor_record{};
  record.view = (uint32_t)view;
  record.offset = views[view].total();
  record.count = count;
  auto start = bytes.size();
  bytes.resize(start + count * (size_t)size);
  auto out = &bytes[start];
  for (size_t i = 0; i < count; i++) {
    auto value = (uint32_t)indices[i];
    if (size == 1) out[i] = (char)(uint8_t)value;
    else if (size == 2) std::memcpy(out + 2 * i, &value, 2);  // little-endian hosts
    else std::memcpy(out + 4 * i, &value, 4);
  }
  accessors.pending.append((const char*)&record, sizeof(record));
  return (int)accessor_count++;
}

// The accessors of a shape; `aspect` > 0 asks for façade texture
// coordinates, `bake` places the shape in the world when its instance's
// frame cannot be a node matrix.
bool gltf_builder::add_geometry(const scene_shape& shape, float aspect, const frame3f* bake,
                                geometry_entry& entry) {
  if (!has_valid_indices(shape)) {
    error = filename + ": error in shape \"" + shape.name + "\": index out of range";
    return false;
  }
  for (auto& p : shape.positions) {
    if (!is_finite(p)) {
      error = filename + ": error in shape \"" + shape.name + "\": a position is not finite";
      return false;
    }
  }
  entry = geometry_entry{};
  auto count = shape.positions.size();
  auto placed_positions = [&](const std::vector<vec3f>& positions) {
    if (!bake) return add_positions(positions);
    auto placed = positions;
    for (auto& p : placed) p = transform_point(*bake, p);
    return add_positions(placed);
  };
  // Normals turn with the inverse transpose of the frame and must be of
  // unit length; a zero normal points up.
  auto add_normals = [&](std::vector<vec3f> normals) {
    for (auto& n : normals) {
      if (bake) {
        auto& f = *bake;
        auto det = dot(f.x, cross(f.y, f.z));
        n = (cross(f.y, f.z) * n.x + cross(f.z, f.x) * n.y + cross(f.x, f.y) * n.z) *
            (det < 0 ? -1.0f : 1.0f);
      }
      n = is_finite(n) && length(n) > 0 ? normalize(n) : vec3f{0, 1, 0};
    }
    return add_vertices(normals_view, normals.data(), normals.size(), sizeof(vec3f));
  };
  auto add_texcoords = [&](const std::vector<vec2f>& texcoords) {
    return add_vertices(texcoords_view, texcoords.data(), texcoords.size(), sizeof(vec2f));
  };
  auto add_shape_vertices = [&](geometry_entry& g) {
    g.positions = placed_positions(shape.positions);
    if (shape.normals.size() == count) g.normals = add_normals(shape.normals);
    if (shape.texcoords.size() == count) g.texcoords = add_texcoords(shape.texcoords);
    if (shape.colors.size() == count) {
      auto colors = shape.colors;
      for (auto& c : colors) c = {unit(c.x), unit(c.y), unit(c.z), unit(c.w)};
      g.colors = add_vertices(colors_view, colors.data(), colors.size(), sizeof(vec4f));
    }
  };

  auto faces = std::vector<vec3i>{};
  auto own_vertices = false;
  if (aspect > 0 && shape.texcoords.empty()) {
    auto mesh = make_facade_texcoords(shape, aspect);
    if (!mesh.triangles.empty()) {
      entry.positions = placed_positions(mesh.positions);
      entry.texcoords = add_texcoords(mesh.texcoords);
      faces = std::move(mesh.triangles);
      own_vertices = true;
    }
  } else if (!shape.quadspos.empty()) {
    auto quads = std::vector<vec4i>{};
    auto positions = std::vector<vec3f>{};
    auto normals = std::vector<vec3f>{};
    auto texcoords = std::vector<vec2f>{};
    if (!make_indexed_quads(shape.quadspos, shape.quadsnorm, shape.quadstexcoord, shape.positions,
                            shape.normals, shape.texcoords, quads, positions, normals,
                            texcoords)) {
      error = filename + ": error in shape \"" + shape.name + "\": index out of range";
      return false;
    }
    entry.positions = placed_positions(positions);
    if (!normals.empty()) entry.normals = add_normals(std::move(normals));
    if (!texcoords.empty()) entry.texcoords = add_texcoords(texcoords);
    faces = quads_to_triangles({}, quads);
    own_vertices = true;
  } else {
    faces = quads_to_triangles(shape.triangles, shape.quads);
  }
  if (!own_vertices) add_shape_vertices(entry);
  if (!faces.empty()) entry.faces = add_indices(&faces.front().x, 3 * faces.size());

  if (!shape.lines.empty() || !shape.points.empty())
    entry.line_positions = own_vertices ? placed_positions(shape.positions) : entry.positions;
  if (!shape.lines.empty())
    entry.lines = add_indices(&shape.lines.front().x, 2 * shape.lines.size());
  if (!shape.points.empty()) entry.points = add_indices(shape.points.data(), shape.points.size());
  return flush_parts(false);
}

}  // namespace gltf_writing
