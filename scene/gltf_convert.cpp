// A glTF document's records made into a scene: images, materials, meshes,
// then the node hierarchy with its instances, camera and sun. Every index
// and byte range is checked before it is followed.

#include "scene/gltf_document.h"

#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "scene/matrix.h"

namespace {

// The largest image decoded, as for every other image file.
constexpr size_t max_image_pixels = size_t{8192} * 8192;
// Elements of an accessor without a buffer view are zeros made here: a few.
constexpr uint64_t max_zero_elements = uint64_t{1} << 24;
// Deeper node hierarchies would run the recursive visit out of stack.
constexpr int max_node_depth = 1000;

int component_size(int type) {
  switch (type) {
    case gltf_byte:
    case gltf_unsigned_byte: return 1;
    case gltf_short:
    case gltf_unsigned_short: return 2;
    case gltf_unsigned_int:
    case gltf_float: return 4;
    default: return 0;
  }
}

// One component as a number; normalised integers are scaled to 0 ... 1
// (-1 ... 1 when signed).
double component_value(const unsigned char* p, int type, bool normalized) {
  switch (type) {
    case gltf_float: {
      float v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case gltf_unsigned_byte: return normalized ? p[0] / 255.0 : p[0];
    case gltf_byte: {
      auto v = (double)(int8_t)p[0];
      return normalized ? std::max(v / 127.0, -1.0) : v;
    }
    case gltf_unsigned_short: {
      uint16_t v;
      std::memcpy(&v, p, 2);
      return normalized ? v / 65535.0 : v;
    }
    case gltf_short: {
      int16_t v;
      std::memcpy(&v, p, 2);
      return normalized ? std::max(v / 32767.0, -1.0) : v;
    }
    case gltf_unsigned_int: {
      uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    default: return 0;
  }
}

// A node's transform: its matrix when it has all 16 numbers, otherwise
// translation * rotation * scale, each where given whole.
mat4d node_matrix(const gltf_transform& t) {
  if (t.counts[0] == 16) {
    auto r = mat4d{};
    for (int i = 0; i < 16; i++) r.m[i] = t.matrix[i];
    return r;
  }
  auto translation = mat4d{}, rotation = mat4d{}, scale = mat4d{};
  if (t.counts[1] == 3) translation = translation_matrix(t.t[0], t.t[1], t.t[2]);
  if (t.counts[2] == 4) {
    auto x = t.r[0], y = t.r[1], z = t.r[2], w = t.r[3];
    auto length = std::sqrt(x * x + y * y + z * z + w * w);
    if (length > 0) x /= length, y /= length, z /= length, w /= length;
    auto& q = rotation;
    q.at(0, 0) = 1 - 2 * (y * y + z * z), q.at(0, 1) = 2 * (x * y - z * w), q.at(0, 2) = 2 * (x * z + y * w);
    q.at(1, 0) = 2 * (x * y + z * w), q.at(1, 1) = 1 - 2 * (x * x + z * z), q.at(1, 2) = 2 * (y * z - x * w);
    q.at(2, 0) = 2 * (x * z - y * w), q.at(2, 1) = 2 * (y * z + x * w), q.at(2, 2) = 1 - 2 * (x * x + y * y);
  }
  if (t.counts[3] == 3) scale = scale_matrix(t.s[0], t.s[1], t.s[2]);
  return translation * rotation * scale;
}

// Triangles of a primitive's index list in its mode; other modes are none.
// False when an index addresses no vertex.
bool primitive_triangles(int mode, const std::vector<uint32_t>& indices, size_t vertices,
                         std::vector<vec3i>& triangles) {
  for (auto index : indices)
    if (index >= vertices) return false;
  auto n = indices.size();
  // Sized once: a city has millions of small primitives.
  if (mode == gltf_triangles) triangles.reserve(triangles.size() + n / 3);
  else if (n >= 3) triangles.reserve(triangles.size() + n - 2);
  if (mode == gltf_triangles) {
    for (size_t i = 0; i + 2 < n; i += 3)
      triangles.push_back({(int)indices[i], (int)indices[i + 1], (int)indices[i + 2]});
  } else if (mode == gltf_triangle_strip) {
    for (size_t i = 0; i + 2 < n; i++) {
      if (i % 2 == 0) triangles.push_back({(int)indices[i], (int)indices[i + 1], (int)indices[i + 2]});
      else triangles.push_back({(int)indices[i + 1], (int)indices[i], (int)indices[i + 2]});
    }
  } else if (mode == gltf_triangle_fan) {
    for (size_t i = 1; i + 1 < n; i++)
      triangles.push_back({(int)indices[0], (int)indices[i], (int)indices[i + 1]});
  }
  return true;
}

struct gltf_converter {
  const std::string&           filename;
  gltf_document&               doc;
  gltf_byte_source&            source;
  loaded_scene&                out;
  std::string&                 error;
  const progress_callback&     progress;
  std::vector<scene_texture*>  textures  = {};  // by image
  std::vector<scene_material*> materials = {};
  scene_material*              fallback  = nullptr;
  // The shapes and materials of each mesh's primitives, mesh by mesh: those
  // of mesh m are parts[mesh_first[m]] up to parts[mesh_first[m + 1]].
  std::vector<std::pair<scene_shape*, scene_material*>> parts      = {};
  std::vector<size_t>                                   mesh_first = {};
  std::vector<bool>            visited    = {};
  bool                         has_camera = false;
  // Of each block of node and transform records, how many of its nodes
  // have still to be visited: at none it is freed.
  std::vector<size_t> nodes_left = {}, transforms_left = {};

  bool fail(const std::string& problem) {
    error = filename + ": parse error (" + problem + ")";
    return false;
  }

  // A buffer view that lies inside its buffer, or a failure naming it.
  // `record()` names what asks for it, made only for a message.
  template <typename Name>
  const gltf_view* checked_view(int index, const Name& record) {
    if (index < 0 || (size_t)index >= doc.views.size())
      return fail(record() + ": buffer view " + std::to_string(index) + " does not exist"), nullptr;
    auto& view = doc.views[(size_t)index];
    auto name = [index] { return "buffer view " + std::to_string(index); };
    if (view.buffer < 0 || (size_t)view.buffer >= doc.buffers.size())
      return fail(name() + ": buffer " + std::to_string(view.buffer) + " does not exist"), nullptr;
    auto limit = doc.buffers[(size_t)view.buffer].length;
    if (view.offset > limit || view.length > limit - view.offset)
      return fail(name() + ": bytes " + std::to_string(view.offset) + " to " +
                  std::to_string(view.offset + view.length) + " beyond its buffer of " +
                  std::to_string(limit)), nullptr;
    return &view;
  }

  // The bytes of part of a checked view, or null with the read error set.
  const unsigned char* read(int index, const gltf_view& view, uint64_t offset, uint64_t length) {
    auto bytes = source.bytes(index, view, view.offset + offset, length);
    if (!bytes) error = filename + ": read error";
    return bytes;
  }

  // An accessor's elements: where they start and their stride, after
  // checking that every element lies inside its buffer view. A null start
  // with success: the elements are zeros.
  bool locate(int index, int components, const unsigned char*& base, uint64_t& stride,
              const gltf_accessor*& accessor) {
    if (index < 0 || (size_t)index >= doc.accessors.size())
      return fail("accessor " + std::to_string(index) + " does not exist");
    accessor = &doc.accessors[(size_t)index];
    auto name = [index] { return "accessor " + std::to_string(index); };  // for messages only
    if (accessor->sparse) return fail(name() + ": sparse accessors are not supported");
    if (accessor->components != components)
      return fail(name() + ": " + std::to_string(accessor->components) + " components where " +
                  std::to_string(components) + " are needed");
    auto size = component_size(accessor->component);
    if (size == 0) return fail(name() + ": component type " + std::to_string(accessor->component) + " is unknown");
    auto element = (uint64_t)size * (uint64_t)components;
    base = nullptr;
    stride = 0;
    if (accessor->view < 0 && accessor->count > max_zero_elements)
      return fail(name() + ": count " + std::to_string(accessor->count) + " without a buffer view");
    if (accessor->view < 0 || accessor->count == 0) return true;
    auto view = checked_view(accessor->view, name);
    if (!view) return false;
    stride = view->stride ? view->stride : element;
    // offset + stride * (count - 1) + element <= view length, without overflow
    auto available = view->length;
    auto count = accessor->count;
    if (accessor->offset > available || element > available - accessor->offset ||
        (count - 1) > (available - accessor->offset - element) / stride)
      return fail(name() + ": count " + std::to_string(count) + " beyond its buffer view");
    base = read(accessor->view, *view, accessor->offset, stride * (count - 1) + element);
    return base != nullptr;
  }

  template <typename Vec, int N>
  bool floats(int index, std::vector<Vec>& values) {
    const unsigned char* base;
    uint64_t stride;
    const gltf_accessor* accessor;
    if (!locate(index, N, base, stride, accessor)) return false;
    values.assign((size_t)accessor->count, Vec{});
    if (!base) return true;
    auto size = (size_t)component_size(accessor->component);
    for (size_t i = 0; i < values.size(); i++) {
      float v[4] = {0, 0, 0, 0};
      for (int k = 0; k < N; k++) {
        v[k] = (float)component_value(base + i * stride + k * size, accessor->component, accessor->normalized);
        if (!std::isfinite(v[k]))
          return fail("accessor " + std::to_string(index) + ": element " + std::to_string(i) +
                      " is not a finite number");
      }
      std::memcpy(&values[i], v, sizeof(Vec));
    }
    return true;
  }

  bool indices(int index, std::vector<uint32_t>& values) {
    const unsigned char* base;
    uint64_t stride;
    const gltf_accessor* accessor;
    if (!locate(index, 1, base, stride, accessor)) return false;
    auto type = accessor->component;
    if (type != gltf_unsigned_byte && type != gltf_unsigned_short && type != gltf_unsigned_int)
      return fail("accessor " + std::to_string(index) + ": indices must be unsigned integers");
    values.assign((size_t)accessor->count, 0);
    if (!base) return true;
    for (size_t i = 0; i < values.size(); i++) values[i] = (uint32_t)component_value(base + i * stride, type, false);
    return true;
  }

  // The encoded bytes of an image: its buffer view, or its file as read.
  const unsigned char* image_bytes(size_t index, uint64_t& length) {
    auto& image = doc.images[index];
    auto record = [index] { return "image " + std::to_string(index); };  // for messages only
    if (image.view >= 0) {
      auto view = checked_view(image.view, record);
      if (!view) return nullptr;
      if (view->length == 0) return fail(record() + " is not a readable image"), nullptr;
      length = view->length;
      return read(image.view, *view, 0, view->length);
    }
    if (!image.external) return fail(record() + ": no buffer view"), nullptr;
    if (image.encoded.empty()) {
      error = filename + ": error in " +
              (!doc.unread_file.empty() ? doc.unread_file : record() + ": file not found");
      return nullptr;
    }
    length = image.encoded.size();
    return image.encoded.data();
  }

  // An image decoded into a texture of 8-bit colours with alpha.
  scene_texture* decode_image(size_t index) {
    auto record = "image " + std::to_string(index);
    auto length = uint64_t{0};
    auto bytes = image_bytes(index, length);
    if (!bytes) return nullptr;
    auto w = 0, h = 0, components = 0;
    if (length == 0 || length > 0x7fffffff || !stbi_info_from_memory(bytes, (int)length, &w, &h, &components))
      return fail(record + " is not a readable image"), nullptr;
    if ((size_t)w * (size_t)h > max_image_pixels)
      return fail(record + " is too large (" + std::to_string(w) + " x " + std::to_string(h) + " pixels)"),
             nullptr;
    auto pixels = stbi_load_from_memory(bytes, (int)length, &w, &h, &components, 4);
    if (!pixels) return fail(record + " is not a readable image"), nullptr;
    auto& name = doc.images[index].name;
    auto texture = add_texture(out.scene, name.empty() ? "image" + std::to_string(index) : name);
    texture->ldr.width = w;
    texture->ldr.height = h;
    texture->ldr.pixels.resize((size_t)w * h);
    std::memcpy(texture->ldr.pixels.data(), pixels, (size_t)w * h * 4);
    stbi_image_free(pixels);
    return texture;
  }

  // Only the images that a material's base colour uses.
  bool convert_images() {
    textures.assign(doc.images.size(), nullptr);
    for (size_t m = 0; m < doc.materials.size(); m++) {
      auto index = doc.materials[m].texture;
      if (index < 0) continue;
      if ((size_t)index >= doc.textures.size())
        return fail("material " + std::to_string(m) + ": texture " + std::to_string(index) + " does not exist");
      auto image = doc.textures[(size_t)index].source;
      if (image < 0) continue;
      if ((size_t)image >= doc.images.size())
        return fail("texture " + std::to_string(index) + ": image " + std::to_string(image) + " does not exist");
      if (textures[(size_t)image]) continue;
      textures[(size_t)image] = decode_image((size_t)image);
      if (!textures[(size_t)image]) return false;
    }
    return true;
  }

  void convert_materials() {
    for (auto& m : doc.materials) {
      auto material = add_material(out.scene, m.name);
      material->color = {(float)m.color[0], (float)m.color[1], (float)m.color[2]};
      material->opacity = (float)m.color[3];
      material->emission = {(float)m.emission[0], (float)m.emission[1], (float)m.emission[2]};
      if (m.texture >= 0) {
        auto image = doc.textures[(size_t)m.texture].source;
        if (image >= 0) material->color_tex = textures[(size_t)image];
      }
      material->metallic = (float)m.metallic;
      material->roughness = (float)m.roughness;
      materials.push_back(material);
    }
  }

  scene_material* fallback_material() {
    if (!fallback) {
      fallback = add_material(out.scene, "default");
      fallback->color = {1, 1, 1};  // the default of the format
    }
    return fallback;
  }

  std::string shape_name(size_t m, size_t p) const {
    if (!doc.name_shapes) return "";
    auto& mesh = doc.meshes[m];
    auto name = mesh.name.empty() ? "mesh" + std::to_string(m) : mesh.name;
    if (mesh.primitives.size() > 1) name += ":" + std::to_string(p);
    return name;
  }

  // One primitive of mesh `m` as a shape; points and lines, and primitives
  // without positions, are passed over with a warning.
  bool convert_primitive(size_t m, size_t p, std::vector<uint32_t>& indices) {
    auto& primitive = doc.meshes[m].primitives[p];
    if (primitive.mode != gltf_triangles && primitive.mode != gltf_triangle_strip &&
        primitive.mode != gltf_triangle_fan) {
      add_warning(out, filename + ": warning: points and lines are not shown");
      return true;
    }
    if (primitive.position < 0) {
      add_warning(out, filename + ": warning: primitives without positions are skipped");
      return true;
    }
    auto mesh = [m] { return "mesh " + std::to_string(m); };  // for messages only
    auto shape = add_shape(out.scene, shape_name(m, p));
    if (!floats<vec3f, 3>(primitive.position, shape->positions)) return false;
    if (primitive.texcoord >= 0) {
      if (!floats<vec2f, 2>(primitive.texcoord, shape->texcoords)) return false;
      if (shape->texcoords.size() != shape->positions.size())
        return fail(mesh() + ": texture coordinates and positions differ in count");
    }
    indices.clear();
    if (primitive.indices >= 0) {
      if (!this->indices(primitive.indices, indices)) return false;
    } else {
      indices.resize(shape->positions.size());
      for (size_t i = 0; i < indices.size(); i++) indices[i] = (uint32_t)i;
    }
    if (!primitive_triangles(primitive.mode, indices, shape->positions.size(), shape->triangles))
      return fail(mesh() + ": an index addresses no vertex");
    shape->triangles.shrink_to_fit();
    auto material = fallback_material();
    if (primitive.material >= 0) {
      if ((size_t)primitive.material >= materials.size())
        return fail(mesh() + ": material " + std::to_string(primitive.material) + " does not exist");
      material = materials[(size_t)primitive.material];
    }
    parts.push_back({shape, material});
    return true;
  }

  // The accessors of block b are read by no mesh after last_use[b]: a
  // city's meshes read theirs in order, so the blocks go as the meshes are
  // made and the shapes take their memory.
  std::vector<size_t> accessor_last_use() const {
    constexpr auto block = gltf_records<gltf_accessor>::block_size;
    auto last_use = std::vector<size_t>(doc.accessors.block_count(), 0);
    for (size_t m = 0; m < doc.meshes.size(); m++)
      for (auto& primitive : doc.meshes[m].primitives)
        for (auto index : {primitive.position, primitive.texcoord, primitive.indices})
          if (index >= 0 && (size_t)index < doc.accessors.size())
            last_use[(size_t)index / block] = m;
    return last_use;
  }

  bool convert_meshes() {
    constexpr auto mesh_block = gltf_records<gltf_mesh>::block_size;
    auto meshes = doc.meshes.size();
    auto primitives = size_t{0};
    for (auto& mesh : doc.meshes) primitives += mesh.primitives.size();
    parts.reserve(primitives);
    out.scene.shapes.reserve(out.scene.shapes.size() + primitives);
    mesh_first.reserve(meshes + 1);
    auto last_use = accessor_last_use();
    auto accessors_kept = size_t{0};  // blocks before it are freed
    auto indices = std::vector<uint32_t>{};
    for (size_t m = 0; m < meshes; m++) {
      mesh_first.push_back(parts.size());
      for (size_t p = 0; p < doc.meshes[m].primitives.size(); p++)
        if (!convert_primitive(m, p, indices)) return false;
      if ((m + 1) % mesh_block == 0) doc.meshes.release_block(m / mesh_block);
      while (accessors_kept < last_use.size() && last_use[accessors_kept] <= m)
        doc.accessors.release_block(accessors_kept++);
      if (progress && m % 1024 == 0) progress("load scene", (int)m, (int)meshes + 1);
    }
    mesh_first.push_back(parts.size());
    doc.accessors = {};
    doc.meshes    = {};
    source.meshes_read();
    return true;
  }

  // The first camera met is the scene's.
  template <typename Name>
  bool add_node_camera(const gltf_node& node, const Name& name, const frame3f& frame) {
    if (node.camera < 0 || has_camera) return true;
    if ((size_t)node.camera >= doc.cameras.size())
      return fail(name() + ": camera " + std::to_string(node.camera) + " does not exist");
    auto& source = doc.cameras[(size_t)node.camera];
    auto camera = add_camera(out.scene, source.name);
    camera->frame = {normalize(frame.x), normalize(frame.y), normalize(frame.z), frame.o};
    if (source.type == "perspective") {
      set_camera_fov(*camera, (float)source.yfov, (float)source.aspect);
    } else {
      add_warning(out, filename + ": warning: orthographic cameras are shown in perspective");
    }
    has_camera = true;
    return true;
  }

  // The first directional light met is the sun.
  template <typename Name>
  bool add_node_light(const gltf_node& node, const Name& name, const frame3f& frame) {
    if (node.light < 0) return true;
    if ((size_t)node.light >= doc.lights.size())
      return fail(name() + ": light " + std::to_string(node.light) + " does not exist");
    auto& source = doc.lights[(size_t)node.light];
    if (source.type == "directional" && !out.has_sun) {
      // The light shines along its node's -z: the sun lies along +z.
      auto direction = normalize(frame.z);
      if (direction != vec3f{0, 0, 0}) {
        out.has_sun = true;
        out.sun_direction = direction;
        if (source.color_count == 3)
          out.sun_color = {(float)source.color[0], (float)source.color[1], (float)source.color[2]};
      }
    } else if (source.type != "directional") {
      add_warning(out, filename + ": warning: point and spot lights are not shown");
    }
    return true;
  }

  bool visit(int index, const mat4d& parent, int depth) {
    if (index < 0 || (size_t)index >= doc.nodes.size())
      return fail("node " + std::to_string(index) + " does not exist");
    // Each node belongs to one parent: a node met twice is a cycle or a
    // shared child, both invalid, and would multiply the work.
    if (visited[(size_t)index])
      return fail("node " + std::to_string(index) + " has two parents or is its own ancestor");
    if (depth > max_node_depth) return fail("node " + std::to_string(index) + " is nested too deeply");
    visited[(size_t)index] = true;
    auto& node = doc.nodes[(size_t)index];
    auto name = [index] { return "node " + std::to_string(index); };  // for messages only
    auto world = node.transform < 0 ? parent : parent * node_matrix(doc.transforms[(size_t)node.transform]);
    if (!is_finite(world)) return fail(name() + ": its transform is not finite");
    auto frame = to_frame(world);
    if (node.mesh >= 0) {
      if ((size_t)node.mesh + 1 >= mesh_first.size())
        return fail(name() + ": mesh " + std::to_string(node.mesh) + " does not exist");
      // The node is visited once: its name moves to its last instance.
      auto instance_name = node.name.empty() ? "node" + std::to_string(index) : std::move(node.name);
      auto end = mesh_first[(size_t)node.mesh + 1];
      for (auto i = mesh_first[(size_t)node.mesh]; i < end; i++) {
        auto last     = i + 1 == end;
        auto instance = add_instance(out.scene, last ? std::move(instance_name) : std::string(instance_name));
        instance->frame = frame;
        instance->shape = parts[i].first;
        instance->material = parts[i].second;
      }
    }
    if (!add_node_camera(node, name, frame) || !add_node_light(node, name, frame)) return false;
    for (auto child : node.children)
      if (!visit(child, world, depth + 1)) return false;
    node_done((size_t)index, node.transform);
    return true;
  }

  // Node `index` and its transform are read no more.
  void node_done(size_t index, int transform) {
    constexpr auto block = gltf_records<gltf_node>::block_size;
    if (--nodes_left[index / block] == 0) doc.nodes.release_block(index / block);
    if (transform >= 0 && --transforms_left[(size_t)transform / block] == 0)
      doc.transforms.release_block((size_t)transform / block);
  }

  void count_node_uses() {
    constexpr auto block = gltf_records<gltf_node>::block_size;
    static_assert(block == gltf_records<gltf_transform>::block_size, "one block size");
    nodes_left.assign(doc.nodes.block_count(), 0);
    transforms_left.assign(doc.transforms.block_count(), 0);
    for (size_t i = 0; i < doc.nodes.size(); i++) {
      nodes_left[i / block]++;
      auto transform = doc.nodes[i].transform;
      if (transform >= 0) transforms_left[(size_t)transform / block]++;
    }
  }

  // From the default scene's roots, or without scenes from every node that
  // is no node's child.
  bool convert_nodes() {
    visited.assign(doc.nodes.size(), false);
    count_node_uses();
    // Most nodes of a city place one mesh of one primitive.
    out.scene.instances.reserve(out.scene.instances.size() + doc.nodes.size());
    auto roots = std::vector<int>{};
    if (!doc.scenes.empty()) {
      auto index = doc.scene >= 0 ? doc.scene : 0;
      if ((size_t)index >= doc.scenes.size()) return fail("the default scene does not exist");
      roots = doc.scenes[(size_t)index];
    } else {
      auto child = std::vector<bool>(doc.nodes.size(), false);
      for (auto& node : doc.nodes)
        for (auto c : node.children)
          if (c >= 0 && (size_t)c < child.size()) child[(size_t)c] = true;
      for (size_t i = 0; i < doc.nodes.size(); i++)
        if (!child[i]) roots.push_back((int)i);
    }
    for (auto root : roots)
      if (!visit(root, mat4d{}, 0)) return false;
    if (doc.georeference.known) out.scene.georeference = doc.georeference;
    return true;
  }
};

}  // namespace

bool convert_gltf_document(const std::string& filename, gltf_document& doc,
                           gltf_byte_source& source, loaded_scene& scene, std::string& error,
                           const progress_callback& progress) {
  auto meshes    = (int)doc.meshes.size();
  auto converter = gltf_converter{filename, doc, source, scene, error, progress};
  if (!converter.convert_images()) return false;
  converter.convert_materials();
  if (!converter.convert_meshes()) return false;
  if (!converter.convert_nodes()) return false;
  if (progress) progress("load scene", meshes + 1, meshes + 1);
  return true;
}
