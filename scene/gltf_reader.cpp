// glTF 2.0 scenes through tinygltf. The library parses the document and
// reads the buffers and images; everything it leaves unchecked (ranges of
// buffer views and accessors, indices, node cycles) is checked here before
// a byte is read.

#include "scene/gltf_reader.h"
#include "scene/gltf_scene.h"

#include <stb_image.h>
#include <tiny_gltf.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "scene/image.h"
#include "scene/matrix.h"
#include "support/files.h"

namespace {

// The largest image decoded, as for every other image file.
constexpr size_t max_image_pixels = size_t{8192} * 8192;

struct gltf_context {
  const referenced_files* files  = nullptr;
  tinygltf::Model*        model  = nullptr;
  std::string             failed = "";  // first referenced file that could not be read
  std::unordered_map<std::string, std::string> cache = {};
};

// Deeply nested arrays or objects would run the library's recursive value
// conversion out of stack: refuse them first. Strings are skipped.
bool nesting_within(const char* text, size_t size, int limit) {
  auto depth = 0;
  auto in_string = false;
  for (size_t i = 0; i < size; i++) {
    auto c = text[i];
    if (in_string) {
      if (c == '\\') i++;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      depth--;
    }
  }
  return true;
}

bool file_exists(const std::string& path, void* user) {
  auto& context = *(gltf_context*)user;
  if (context.cache.count(path)) return true;
  auto data = std::string{}, error = std::string{};
  if (!context.files->read(path, data, error)) {
    if (context.failed.empty()) context.failed = error;
    return false;
  }
  context.cache[path] = std::move(data);
  return true;
}

std::string expand_path(const std::string& path, void*) { return path; }

bool read_whole_file(std::vector<unsigned char>* out, std::string* err, const std::string& path,
                     void* user) {
  auto& context = *(gltf_context*)user;
  if (!file_exists(path, user)) {
    if (err) *err += context.failed + "\n";
    return false;
  }
  auto found = context.cache.find(path);
  out->assign(found->second.begin(), found->second.end());
  context.cache.erase(found);
  return true;
}

bool write_whole_file(std::string* err, const std::string&, const std::vector<unsigned char>&,
                      void*) {
  if (err) *err += "writing is not supported\n";
  return false;
}

// The library hands over an image stored in a buffer view without checking
// the view against its buffer: check it, and the image's size, before
// decoding.
bool load_image_data(tinygltf::Image* image, const int index, std::string* err,
                     std::string* warn, int width, int height, const unsigned char* bytes,
                     int size, void* user) {
  auto& context = *(gltf_context*)user;
  auto& model = *context.model;
  if (image->bufferView >= 0) {
    auto& view = model.bufferViews[(size_t)image->bufferView];
    auto& buffer = model.buffers[(size_t)view.buffer];
    if (view.byteOffset > buffer.data.size() ||
        view.byteLength > buffer.data.size() - view.byteOffset) {
      if (err) *err += "image " + std::to_string(index) + " lies outside its buffer\n";
      return false;
    }
  }
  auto w = 0, h = 0, components = 0;
  if (size <= 0 || !stbi_info_from_memory(bytes, size, &w, &h, &components)) {
    if (err) *err += "image " + std::to_string(index) + " is not a readable image\n";
    return false;
  }
  if ((size_t)w * (size_t)h > max_image_pixels) {
    if (err)
      *err += "image " + std::to_string(index) + " is too large (" + std::to_string(w) + " x " +
              std::to_string(h) + " pixels)\n";
    return false;
  }
  return tinygltf::LoadImageData(image, index, err, warn, width, height, bytes, size, nullptr);
}

mat4d node_matrix(const tinygltf::Node& node) {
  if (node.matrix.size() == 16) {
    auto r = mat4d{};
    for (int i = 0; i < 16; i++) r.m[i] = node.matrix[i];
    return r;
  }
  auto t = mat4d{}, q = mat4d{}, s = mat4d{};
  if (node.translation.size() == 3)
    t = translation_matrix(node.translation[0], node.translation[1], node.translation[2]);
  if (node.rotation.size() == 4) {
    auto x = node.rotation[0], y = node.rotation[1], z = node.rotation[2], w = node.rotation[3];
    auto length = std::sqrt(x * x + y * y + z * z + w * w);
    if (length > 0) x /= length, y /= length, z /= length, w /= length;
    q.at(0, 0) = 1 - 2 * (y * y + z * z), q.at(0, 1) = 2 * (x * y - z * w), q.at(0, 2) = 2 * (x * z + y * w);
    q.at(1, 0) = 2 * (x * y + z * w), q.at(1, 1) = 1 - 2 * (x * x + z * z), q.at(1, 2) = 2 * (y * z - x * w);
    q.at(2, 0) = 2 * (x * z - y * w), q.at(2, 1) = 2 * (y * z + x * w), q.at(2, 2) = 1 - 2 * (x * x + y * y);
  }
  if (node.scale.size() == 3) s = scale_matrix(node.scale[0], node.scale[1], node.scale[2]);
  return t * q * s;
}

// Reads an accessor's elements as floats (normalised integers scaled to
// 0 ... 1) or as unsigned integers, after checking that every element lies
// inside its buffer view and the view inside its buffer.
struct accessor_reader {
  const tinygltf::Model& model;
  std::string&           problem;

  bool locate(int index, int components, const unsigned char*& base, size_t& stride,
              size_t& count, int& type) {
    if (index < 0 || (size_t)index >= model.accessors.size())
      return problem = "accessor " + std::to_string(index) + " does not exist", false;
    auto& accessor = model.accessors[(size_t)index];
    auto name = "accessor " + std::to_string(index);
    if (accessor.sparse.isSparse) return problem = name + ": sparse accessors are not supported", false;
    if (tinygltf::GetNumComponentsInType(accessor.type) != components)
      return problem = name + ": " + std::to_string(tinygltf::GetNumComponentsInType(accessor.type)) +
                       " components where " + std::to_string(components) + " are needed (wrong type)", false;
    type = accessor.componentType;
    auto size = tinygltf::GetComponentSizeInBytes((uint32_t)type);
    if (size <= 0) return problem = name + ": component type " + std::to_string(type) + " is unknown", false;
    count = accessor.count;
    if (accessor.bufferView < 0) {
      base = nullptr;  // all zeros
      stride = 0;
      return true;
    }
    if ((size_t)accessor.bufferView >= model.bufferViews.size())
      return problem = name + ": buffer view " + std::to_string(accessor.bufferView) + " does not exist", false;
    auto& view = model.bufferViews[(size_t)accessor.bufferView];
    if (view.buffer < 0 || (size_t)view.buffer >= model.buffers.size())
      return problem = "buffer view " + std::to_string(accessor.bufferView) + ": buffer " +
                       std::to_string(view.buffer) + " does not exist", false;
    auto& buffer = model.buffers[(size_t)view.buffer].data;
    auto element = (size_t)size * (size_t)components;
    stride = view.byteStride ? view.byteStride : element;
    if (view.byteOffset > buffer.size() || view.byteLength > buffer.size() - view.byteOffset)
      return problem = "buffer view " + std::to_string(accessor.bufferView) + ": bytes " +
                       std::to_string(view.byteOffset) + " to " + std::to_string(view.byteOffset + view.byteLength) +
                       " beyond its buffer of " + std::to_string(buffer.size()), false;
    if (count > 0) {
      // offset + stride * (count - 1) + element <= view length, without overflow
      auto available = view.byteLength;
      if (accessor.byteOffset > available || element > available - accessor.byteOffset ||
          (count - 1) > (available - accessor.byteOffset - element) / stride)
        return problem = name + ": count " + std::to_string(count) + " beyond its buffer view", false;
    }
    base = buffer.data() + view.byteOffset + accessor.byteOffset;
    return true;
  }

  static double component(const unsigned char* p, int type, bool normalized) {
    switch (type) {
      case TINYGLTF_COMPONENT_TYPE_FLOAT: {
        float v;
        std::memcpy(&v, p, 4);
        return v;
      }
      case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return normalized ? p[0] / 255.0 : p[0];
      case TINYGLTF_COMPONENT_TYPE_BYTE: {
        auto v = (double)(int8_t)p[0];
        return normalized ? std::max(v / 127.0, -1.0) : v;
      }
      case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return normalized ? v / 65535.0 : v;
      }
      case TINYGLTF_COMPONENT_TYPE_SHORT: {
        int16_t v;
        std::memcpy(&v, p, 2);
        return normalized ? std::max(v / 32767.0, -1.0) : v;
      }
      case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT: {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
      }
      default: return 0;
    }
  }

  template <typename Vec, int N>
  bool floats(int index, std::vector<Vec>& out) {
    const unsigned char* base;
    size_t stride, count;
    int type;
    if (!locate(index, N, base, stride, count, type)) return false;
    auto normalized = model.accessors[(size_t)index].normalized;
    auto size = (size_t)tinygltf::GetComponentSizeInBytes((uint32_t)type);
    out.assign(count, Vec{});
    if (!base) return true;
    for (size_t i = 0; i < count; i++) {
      float values[4] = {0, 0, 0, 0};
      for (int k = 0; k < N; k++) {
        values[k] = (float)component(base + i * stride + k * size, type, normalized);
        if (!std::isfinite(values[k]))
          return problem = "accessor " + std::to_string(index) + ": element " + std::to_string(i) +
                           " is not a finite number", false;
      }
      std::memcpy(&out[i], values, sizeof(Vec));
    }
    return true;
  }

  bool indices(int index, std::vector<uint32_t>& out) {
    const unsigned char* base;
    size_t stride, count;
    int type;
    if (!locate(index, 1, base, stride, count, type)) return false;
    if (type != TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE &&
        type != TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT &&
        type != TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT)
      return problem = "accessor " + std::to_string(index) + ": indices must be unsigned integers", false;
    out.assign(count, 0);
    if (!base) return true;
    for (size_t i = 0; i < count; i++) out[i] = (uint32_t)component(base + i * stride, type, false);
    return true;
  }
};

// Triangles of a primitive's index list in its mode; other modes are none.
bool primitive_triangles(int mode, const std::vector<uint32_t>& indices, size_t vertices,
                         std::vector<vec3i>& triangles) {
  for (auto index : indices)
    if (index >= vertices) return false;
  auto n = indices.size();
  if (mode == TINYGLTF_MODE_TRIANGLES) {
    for (size_t i = 0; i + 2 < n; i += 3)
      triangles.push_back({(int)indices[i], (int)indices[i + 1], (int)indices[i + 2]});
  } else if (mode == TINYGLTF_MODE_TRIANGLE_STRIP) {
    for (size_t i = 0; i + 2 < n; i++) {
      if (i % 2 == 0) triangles.push_back({(int)indices[i], (int)indices[i + 1], (int)indices[i + 2]});
      else triangles.push_back({(int)indices[i + 1], (int)indices[i], (int)indices[i + 2]});
    }
  } else if (mode == TINYGLTF_MODE_TRIANGLE_FAN) {
    for (size_t i = 1; i + 1 < n; i++)
      triangles.push_back({(int)indices[0], (int)indices[i], (int)indices[i + 1]});
  }
  return true;
}

struct gltf_converter {
  const std::string&     filename;
  const tinygltf::Model& model;
  loaded_scene&            out;
  std::string&           error;
  const std::string&     failed;  // the first referenced file that could not be read
  std::vector<scene_texture*>  textures  = {};  // by image
  std::vector<scene_material*> materials = {};
  scene_material*              fallback  = nullptr;
  std::vector<std::vector<std::pair<scene_shape*, scene_material*>>> meshes = {};
  std::vector<bool> visited = {};
  bool              has_camera = false;

  bool fail(const std::string& problem) {
    error = filename + ": parse error (" + problem + ")";
    return false;
  }

  bool convert_images() {
    textures.assign(model.images.size(), nullptr);
    // Only images that a material's base colour uses.
    for (size_t m = 0; m < model.materials.size(); m++) {
      auto index = model.materials[m].pbrMetallicRoughness.baseColorTexture.index;
      if (index < 0) continue;
      if ((size_t)index >= model.textures.size())
        return fail("material " + std::to_string(m) + ": texture " + std::to_string(index) + " does not exist");
      auto source = model.textures[(size_t)index].source;
      if (source < 0) continue;
      if ((size_t)source >= model.images.size())
        return fail("texture " + std::to_string(index) + ": image " + std::to_string(source) + " does not exist");
      if (textures[(size_t)source]) continue;
      auto& image = model.images[(size_t)source];
      if (image.image.empty()) {
        error = filename + ": error in " +
                (!failed.empty() ? failed : "image " + std::to_string(source) + ": file not found");
        return false;
      }
      auto bytes = image.bits == 16 ? 2 : 1;
      if (image.width <= 0 || image.height <= 0 || image.component != 4 ||
          (image.bits != 8 && image.bits != 16) ||
          image.image.size() != (size_t)image.width * image.height * 4 * bytes)
        return fail("image " + std::to_string(source) + " has an unexpected layout");
      auto texture = add_texture(out.scene, image.name.empty() ? "image" + std::to_string(source) : image.name);
      texture->ldr.width = image.width;
      texture->ldr.height = image.height;
      texture->ldr.pixels.resize((size_t)image.width * image.height);
      for (size_t i = 0; i < texture->ldr.pixels.size(); i++) {
        auto p = image.image.data() + i * 4 * bytes + (bytes - 1);  // high byte of 16-bit
        texture->ldr.pixels[i] = {p[0], p[bytes], p[2 * bytes], p[3 * bytes]};
      }
      textures[(size_t)source] = texture;
    }
    return true;
  }

  void convert_materials() {
    for (auto& m : model.materials) {
      auto material = add_material(out.scene, m.name);
      auto& factor = m.pbrMetallicRoughness.baseColorFactor;
      if (factor.size() >= 3)
        material->color = {(float)factor[0], (float)factor[1], (float)factor[2]};
      if (factor.size() >= 4) material->opacity = (float)factor[3];
      if (m.emissiveFactor.size() == 3)
        material->emission = {(float)m.emissiveFactor[0], (float)m.emissiveFactor[1],
                              (float)m.emissiveFactor[2]};
      auto index = m.pbrMetallicRoughness.baseColorTexture.index;
      if (index >= 0) {
        auto source = model.textures[(size_t)index].source;
        if (source >= 0) material->color_tex = textures[(size_t)source];
      }
      material->metallic = (float)m.pbrMetallicRoughness.metallicFactor;
      material->roughness = (float)m.pbrMetallicRoughness.roughnessFactor;
      materials.push_back(material);
    }
  }

  bool convert_meshes() {
    auto problem = std::string{};
    auto reader = accessor_reader{model, problem};
    for (size_t m = 0; m < model.meshes.size(); m++) {
      auto& mesh = model.meshes[m];
      meshes.emplace_back();
      for (size_t p = 0; p < mesh.primitives.size(); p++) {
        auto& primitive = mesh.primitives[p];
        if (primitive.mode != TINYGLTF_MODE_TRIANGLES &&
            primitive.mode != TINYGLTF_MODE_TRIANGLE_STRIP &&
            primitive.mode != TINYGLTF_MODE_TRIANGLE_FAN) {
          add_warning(out, filename + ": warning: points and lines are not shown");
          continue;
        }
        auto found = primitive.attributes.find("POSITION");
        if (found == primitive.attributes.end()) {
          add_warning(out, filename + ": warning: primitives without positions are skipped");
          continue;
        }
        auto name = mesh.name.empty() ? "mesh" + std::to_string(m) : mesh.name;
        if (mesh.primitives.size() > 1) name += ":" + std::to_string(p);
        auto shape = add_shape(out.scene, name);
        if (!reader.floats<vec3f, 3>(found->second, shape->positions)) return fail(problem);
        auto uv = primitive.attributes.find("TEXCOORD_0");
        if (uv != primitive.attributes.end()) {
          if (!reader.floats<vec2f, 2>(uv->second, shape->texcoords)) return fail(problem);
          if (shape->texcoords.size() != shape->positions.size())
            return fail("texture coordinates and positions differ in count");
        }
        auto indices = std::vector<uint32_t>{};
        if (primitive.indices >= 0) {
          if (!reader.indices(primitive.indices, indices)) return fail(problem);
        } else {
          indices.resize(shape->positions.size());
          for (size_t i = 0; i < indices.size(); i++) indices[i] = (uint32_t)i;
        }
        if (!primitive_triangles(primitive.mode, indices, shape->positions.size(), shape->triangles))
          return fail("mesh " + std::to_string(m) + ": an index addresses no vertex");
        auto material = fallback_material();
        if (primitive.material >= 0) {
          if ((size_t)primitive.material >= materials.size())
            return fail("mesh " + std::to_string(m) + ": material " + std::to_string(primitive.material) +
                        " does not exist");
          material = materials[(size_t)primitive.material];
        }
        meshes.back().push_back({shape, material});
      }
    }
    return true;
  }

  scene_material* fallback_material() {
    if (!fallback) {
      fallback = add_material(out.scene, "default");
      fallback->color = {1, 1, 1};  // the default of the format
    }
    return fallback;
  }

  bool visit(int index, const mat4d& parent) {
    if (index < 0 || (size_t)index >= model.nodes.size())
      return fail("node " + std::to_string(index) + " does not exist");
    // Each node belongs to one parent: a node met twice is a cycle or a
    // shared child, both invalid, and would multiply the work.
    if (visited[(size_t)index]) return fail("node " + std::to_string(index) + " has two parents or is its own ancestor");
    visited[(size_t)index] = true;
    auto node_index = index;
    auto& node = model.nodes[(size_t)index];
    auto world = parent * node_matrix(node);
    if (!is_finite(world)) return fail("node " + std::to_string(index) + " has a transform that is not finite");
    auto frame = to_frame(world);

    if (node.mesh >= 0) {
      if ((size_t)node.mesh >= meshes.size())
        return fail("node " + std::to_string(index) + ": mesh " + std::to_string(node.mesh) + " does not exist");
      auto name = node.name.empty() ? "node" + std::to_string(index) : node.name;
      for (auto& [shape, material] : meshes[(size_t)node.mesh]) {
        auto instance = add_instance(out.scene, name);
        instance->frame = frame;
        instance->shape = shape;
        instance->material = material;
      }
    }
    if (node.camera >= 0 && !has_camera) {
      if ((size_t)node.camera >= model.cameras.size())
        return fail("node " + std::to_string(index) + ": camera " + std::to_string(node.camera) + " does not exist");
      auto& source = model.cameras[(size_t)node.camera];
      auto camera = add_camera(out.scene, source.name);
      camera->frame = {normalize(frame.x), normalize(frame.y), normalize(frame.z), frame.o};
      if (source.type == "perspective") {
        set_camera_fov(*camera, (float)source.perspective.yfov, (float)source.perspective.aspectRatio);
      } else {
        add_warning(out, filename + ": warning: orthographic cameras are shown in perspective");
      }
      has_camera = true;
    }
    auto light = node.extensions.find("KHR_lights_punctual");
    if (light != node.extensions.end() && light->second.IsObject() && light->second.Has("light")) {
      auto& value = light->second.Get("light");
      auto index = value.IsNumber() || value.IsInt() ? value.GetNumberAsInt() : -1;
      if (index < 0 || (size_t)index >= model.lights.size())
        return fail("node " + std::to_string(node_index) + ": light " + std::to_string(index) + " does not exist");
      auto& source = model.lights[(size_t)index];
      if (source.type == "directional" && !out.has_sun) {
        // The light shines along its node's -z: the sun lies along +z.
        auto direction = normalize(frame.z);
        if (direction != vec3f{0, 0, 0}) {
          out.has_sun = true;
          out.sun_direction = direction;
          if (source.color.size() == 3)
            out.sun_color = {(float)source.color[0], (float)source.color[1], (float)source.color[2]};
        }
      } else if (source.type != "directional") {
        add_warning(out, filename + ": warning: point and spot lights are not shown");
      }
    }
    for (auto child : node.children)
      if (!visit(child, world)) return false;
    return true;
  }

  // The georeference our writer keeps in the scene's extras, read back so
  // that a conversion keeps it. Anything incomplete or not finite is left.
  void read_georeference(const tinygltf::Value& extras) {
    if (!extras.IsObject() || !extras.Has("georeference")) return;
    auto& g = extras.Get("georeference");
    if (!g.IsObject()) return;
    auto number = [&](const tinygltf::Value& v, const char* key, double& value) {
      if (!v.Has(key) || !v.Get(key).IsNumber()) return false;
      value = v.Get(key).GetNumberAsDouble();
      return std::isfinite(value);
    };
    auto geo = scene_georeference{};
    if (!number(g, "west", geo.west) || !number(g, "south", geo.south) ||
        !number(g, "east", geo.east) || !number(g, "north", geo.north))
      return;
    if (!number(g, "metresPerUnitX", geo.metres_per_unit_x) || geo.metres_per_unit_x < 0)
      geo.metres_per_unit_x = 0;
    if (!number(g, "metresPerUnitZ", geo.metres_per_unit_z) || geo.metres_per_unit_z < 0)
      geo.metres_per_unit_z = 0;
    // The square's half size from its second corner (x = +half).
    if (g.Has("corners") && g.Get("corners").IsArray() && g.Get("corners").ArrayLen() == 4) {
      auto half = 0.0;
      if (number(g.Get("corners").Get(1), "x", half) && half > 0) geo.half_size = half;
    }
    geo.known = true;
    out.scene.georeference = geo;
  }

  bool convert_nodes() {
    visited.assign(model.nodes.size(), false);
    auto roots = std::vector<int>{};
    if (!model.scenes.empty()) {
      auto index = model.defaultScene >= 0 ? model.defaultScene : 0;
      if ((size_t)index >= model.scenes.size()) return fail("the default scene does not exist");
      roots = model.scenes[(size_t)index].nodes;
      read_georeference(model.scenes[(size_t)index].extras);
    } else {
      auto child = std::vector<bool>(model.nodes.size(), false);
      for (auto& node : model.nodes)
        for (auto c : node.children)
          if (c >= 0 && (size_t)c < child.size()) child[(size_t)c] = true;
      for (size_t i = 0; i < model.nodes.size(); i++)
        if (!child[i]) roots.push_back((int)i);
    }
    for (auto root : roots)
      if (!visit(root, mat4d{})) return false;
    return true;
  }
};

}  // namespace

bool parse_gltf_scene(const std::string& filename, const std::string& data,
                      const referenced_files& files, loaded_scene& scene, std::string& error) {
  scene = loaded_scene{};
  auto binary = data.size() >= 4 && data.compare(0, 4, "glTF") == 0;
  if (data.size() > 0xffffffffu) {
    error = filename + ": read error (larger than 4 GiB)";
    return false;
  }
  // The document's own nesting is checked where the library would recurse.
  auto json = data.data();
  auto json_size = data.size();
  if (binary && data.size() >= 20) {
    uint32_t length = 0;
    std::memcpy(&length, data.data() + 12, 4);
    json = data.data() + 20;
    json_size = std::min<size_t>(length, data.size() - 20);
  }
  if (!nesting_within(json, json_size, 200)) {
    error = filename + ": parse error (nested too deeply)";
    return false;
  }

  auto model = tinygltf::Model{};
  auto context = gltf_context{&files, &model};
  auto loader = tinygltf::TinyGLTF{};
  loader.SetFsCallbacks({file_exists, expand_path, read_whole_file, write_whole_file, &context});
  loader.SetImageLoader(load_image_data, &context);
  auto err = std::string{}, warn = std::string{};
  auto folder = path_dirname(filename);
  auto ok = binary ? loader.LoadBinaryFromMemory(&model, &err, &warn,
                                                 (const unsigned char*)data.data(),
                                                 (unsigned int)data.size(), folder)
                   : loader.LoadASCIIFromString(&model, &err, &warn, data.data(),
                                                (unsigned int)data.size(), folder);
  if (!ok) {
    if (!context.failed.empty()) {
      error = filename + ": error in " + context.failed;
    } else {
      auto line = err.substr(0, err.find('\n'));
      error = filename + ": parse error" + (line.empty() ? "" : " (" + line + ")");
    }
    return false;
  }
  auto converter = gltf_converter{filename, model, scene, error, context.failed};
  if (!converter.convert_images()) return false;
  converter.convert_materials();
  if (!converter.convert_meshes()) return false;
  return converter.convert_nodes();
}

// ---------------------------------------------------------------------------
// Binary glTF read lean: the records of the JSON chunk, then the meshes read
// from the binary chunk a window at a time.

namespace {

struct lean_accessor {
  int      view = -1, component = 0, components = 0;
  uint64_t offset = 0, count = 0;
  bool     normalized = false, sparse = false;
};
struct lean_view {
  int      buffer = -1;
  uint64_t offset = 0, length = 0, stride = 0;
};
struct lean_buffer {
  uint64_t length = 0;
  bool     external = false;  // by URI
};
struct lean_primitive {
  int position = -1, texcoord = -1, indices = -1, material = -1, mode = TINYGLTF_MODE_TRIANGLES;
};
struct lean_mesh {
  std::vector<lean_primitive> primitives = {};
};
// A node's own transform: a matrix, or translation, rotation and scale.
struct lean_transform {
  double matrix[16] = {};
  double t[3] = {0, 0, 0}, r[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
  int    counts[4] = {0, 0, 0, 0};  // elements given of matrix, t, r, s
};
struct lean_node {
  std::string      name = "";
  int              mesh = -1, camera = -1, light = -1, transform = -1;
  std::vector<int> children = {};
};
struct lean_material {
  std::string name = "";
  double      color[4] = {1, 1, 1, 1}, emission[3] = {0, 0, 0};
  double      metallic = 1, roughness = 1;
  int         texture = -1;
};
struct lean_texture {
  int source = -1;  // its image
};
struct lean_image {
  std::string name = "";
  int         view = -1;
  bool        external = false;
};
struct lean_camera {
  std::string name = "", type = "";
  double      yfov = 0, aspect = 0;
};
struct lean_light {
  std::string type = "";
  double      color[3] = {1, 1, 1};
  int         color_count = 0;
};

struct lean_document {
  std::vector<lean_accessor>    accessors   = {};
  std::vector<lean_view>        views       = {};
  std::vector<lean_buffer>      buffers     = {};
  std::vector<lean_mesh>        meshes      = {};
  std::vector<lean_node>        nodes       = {};
  std::vector<lean_transform>   transforms  = {};
  std::vector<std::vector<int>> scenes      = {};
  std::vector<lean_material>    materials   = {};
  std::vector<lean_texture>     textures    = {};
  std::vector<lean_image>       images      = {};
  std::vector<lean_camera>      cameras     = {};
  std::vector<lean_light>       lights      = {};
  int                           scene       = -1;
};

// A JSON value as the parser hands it over.
struct sax_value {
  enum kinds { null, boolean, number, text, object, array } kind = null;
  double             number_value = 0;
  bool               integer = false, flag = false;
  const std::string* string_value = nullptr;
};

// Fills the records from the parser's events, by where each value lies:
// the path of keys and array positions from the document's root.
struct lean_sax : nlohmann::json_sax<nlohmann::json> {
  struct step {
    bool        array = false;
    std::string key   = "";
    size_t      index = 0;
  };
  lean_document&    doc;
  std::string&      problem;
  std::vector<step> path = {};

  lean_sax(lean_document& doc, std::string& problem) : doc(doc), problem(problem) {}

  size_t depth() const { return path.size(); }
  bool   is(size_t level, const char* key) const {
    return level < path.size() && !path[level].array && path[level].key == key;
  }
  size_t at(size_t level) const { return path[level].index; }

  // A record's field must be a whole number in range.
  template <typename T>
  bool whole(const sax_value& v, T& field, const std::string& record, const char* name,
             double low = 0) {
    if (v.kind != sax_value::number || !v.integer || v.number_value < low ||
        v.number_value > 9007199254740992.0 ||
        (sizeof(T) == 4 && v.number_value > 2147483647.0))
      return problem = record + ": " + name + " is not a whole number in range", false;
    field = (T)v.number_value;
    return true;
  }
  bool real(const sax_value& v, double& field, const std::string& record, const char* name) {
    if (v.kind != sax_value::number || !std::isfinite(v.number_value))
      return problem = record + ": " + name + " is not a number", false;
    field = v.number_value;
    return true;
  }
  bool text(const sax_value& v, std::string& field, const std::string& record, const char* name) {
    if (v.kind != sax_value::text) return problem = record + ": " + name + " is not a string", false;
    field = *v.string_value;
    return true;
  }
  // An element of a fixed-length number array.
  bool element(const sax_value& v, double* values, int size, int& count, const std::string& record,
               const char* name) {
    auto index = at(depth() - 1);
    if (index >= (size_t)size) return problem = record + ": " + name + " has too many elements", false;
    if (!real(v, values[index], record, name)) return false;
    count = std::max(count, (int)index + 1);
    return true;
  }
  template <typename T>
  T& record(std::vector<T>& records, size_t index) {
    if (records.size() <= index) records.resize(index + 1);
    return records[index];
  }

  bool on_value(const sax_value& v) {
    if (depth() > 200) return problem = "nested too deeply", false;
    if (depth() == 1 && is(0, "scene")) return whole(v, doc.scene, "the document", "scene");
    if (depth() < 2 || path[0].array) return true;
    auto& top = path[0].key;
    if (top == "extensions") return on_extension(v);
    if (!path[1].array) return true;
    auto i = at(1);
    auto n = depth();
    if (top == "accessors") {
      auto& a = record(doc.accessors, i);
      auto name = "accessor " + std::to_string(i);
      if (n == 3 && is(2, "bufferView")) return whole(v, a.view, name, "bufferView");
      if (n == 3 && is(2, "byteOffset")) return whole(v, a.offset, name, "byteOffset");
      if (n == 3 && is(2, "componentType")) return whole(v, a.component, name, "componentType");
      if (n == 3 && is(2, "count")) return whole(v, a.count, name, "count");
      if (n == 3 && is(2, "normalized")) return a.normalized = v.kind == sax_value::boolean && v.flag, true;
      if (n >= 3 && is(2, "sparse")) return a.sparse = true, true;
      if (n == 3 && is(2, "type")) {
        auto type = std::string{};
        if (!text(v, type, name, "type")) return false;
        a.components = type == "SCALAR" ? 1 : type == "VEC2" ? 2 : type == "VEC3" ? 3 : type == "VEC4" ? 4
                     : type == "MAT2" ? 4 : type == "MAT3" ? 9 : type == "MAT4" ? 16 : -1;
        if (a.components < 0) return problem = name + ": type " + type + " is unknown", false;
      }
      return true;
    }
    if (top == "bufferViews") {
      auto& b = record(doc.views, i);
      auto name = "buffer view " + std::to_string(i);
      if (n == 3 && is(2, "buffer")) return whole(v, b.buffer, name, "buffer");
      if (n == 3 && is(2, "byteOffset")) return whole(v, b.offset, name, "byteOffset");
      if (n == 3 && is(2, "byteLength")) return whole(v, b.length, name, "byteLength");
      if (n == 3 && is(2, "byteStride")) return whole(v, b.stride, name, "byteStride");
      return true;
    }
    if (top == "buffers") {
      auto& b = record(doc.buffers, i);
      if (n == 3 && is(2, "byteLength")) return whole(v, b.length, "buffer " + std::to_string(i), "byteLength");
      if (n == 3 && is(2, "uri")) b.external = true;
      return true;
    }
    if (top == "meshes") {
      auto& m = record(doc.meshes, i);
      auto name = "mesh " + std::to_string(i);
      if (n < 4 || !is(2, "primitives") || !path[3].array) return true;
      auto& p = record(m.primitives, at(3));
      name += " primitive " + std::to_string(at(3));
      if (n == 6 && is(4, "attributes") && is(5, "POSITION")) return whole(v, p.position, name, "POSITION");
      if (n == 6 && is(4, "attributes") && is(5, "TEXCOORD_0")) return whole(v, p.texcoord, name, "TEXCOORD_0");
      if (n == 5 && is(4, "indices")) return whole(v, p.indices, name, "indices");
      if (n == 5 && is(4, "material")) return whole(v, p.material, name, "material");
      if (n == 5 && is(4, "mode")) return whole(v, p.mode, name, "mode");
      return true;
    }
    if (top == "nodes") {
      auto& node = record(doc.nodes, i);
      auto name = "node " + std::to_string(i);
      if (n == 3 && is(2, "name")) return text(v, node.name, name, "name");
      if (n == 3 && is(2, "mesh")) return whole(v, node.mesh, name, "mesh");
      if (n == 3 && is(2, "camera")) return whole(v, node.camera, name, "camera");
      if (n == 4 && is(2, "children") && path[3].array) {
        auto child = 0;
        if (!whole(v, child, name, "children")) return false;
        node.children.push_back(child);
        return true;
      }
      if (n == 5 && is(2, "extensions") && is(3, "KHR_lights_punctual") && is(4, "light"))
        return whole(v, node.light, name, "light");
      if (n == 4 && path[3].array) {
        auto kind = is(2, "matrix") ? 0 : is(2, "translation") ? 1 : is(2, "rotation") ? 2 : is(2, "scale") ? 3 : -1;
        if (kind < 0) return true;
        if (node.transform < 0) {
          node.transform = (int)doc.transforms.size();
          doc.transforms.emplace_back();
        }
        auto& t = doc.transforms[(size_t)node.transform];
        double* values[] = {t.matrix, t.t, t.r, t.s};
        const int sizes[] = {16, 3, 4, 3};
        const char* names[] = {"matrix", "translation", "rotation", "scale"};
        return element(v, values[kind], sizes[kind], t.counts[kind], name, names[kind]);
      }
      return true;
    }
    if (top == "scenes") {
      auto& s = record(doc.scenes, i);
      if (n == 4 && is(2, "nodes") && path[3].array) {
        auto node = 0;
        if (!whole(v, node, "scene " + std::to_string(i), "nodes")) return false;
        s.push_back(node);
      }
      return true;
    }
    if (top == "materials") {
      auto& m = record(doc.materials, i);
      auto name = "material " + std::to_string(i);
      auto unused = 0;
      if (n == 3 && is(2, "name")) return text(v, m.name, name, "name");
      if (n == 4 && is(2, "emissiveFactor") && path[3].array)
        return element(v, m.emission, 3, unused, name, "emissiveFactor");
      if (n >= 4 && is(2, "pbrMetallicRoughness")) {
        if (n == 5 && is(3, "baseColorFactor") && path[4].array)
          return element(v, m.color, 4, unused, name, "baseColorFactor");
        if (n == 5 && is(3, "baseColorTexture") && is(4, "index")) return whole(v, m.texture, name, "baseColorTexture");
        if (n == 4 && is(3, "metallicFactor")) return real(v, m.metallic, name, "metallicFactor");
        if (n == 4 && is(3, "roughnessFactor")) return real(v, m.roughness, name, "roughnessFactor");
      }
      return true;
    }
    if (top == "textures") {
      auto& t = record(doc.textures, i);
      if (n == 3 && is(2, "source")) return whole(v, t.source, "texture " + std::to_string(i), "source");
      return true;
    }
    if (top == "images") {
      auto& image = record(doc.images, i);
      auto name = "image " + std::to_string(i);
      if (n == 3 && is(2, "name")) return text(v, image.name, name, "name");
      if (n == 3 && is(2, "bufferView")) return whole(v, image.view, name, "bufferView");
      if (n == 3 && is(2, "uri")) image.external = true;
      return true;
    }
    if (top == "cameras") {
      auto& c = record(doc.cameras, i);
      auto name = "camera " + std::to_string(i);
      if (n == 3 && is(2, "name")) return text(v, c.name, name, "name");
      if (n == 3 && is(2, "type")) return text(v, c.type, name, "type");
      if (n == 4 && is(2, "perspective") && is(3, "yfov")) return real(v, c.yfov, name, "yfov");
      if (n == 4 && is(2, "perspective") && is(3, "aspectRatio")) return real(v, c.aspect, name, "aspectRatio");
      return true;
    }
    return true;
  }

  bool on_extension(const sax_value& v) {
    // extensions.KHR_lights_punctual.lights[i]
    if (depth() < 4 || !is(1, "KHR_lights_punctual") || !is(2, "lights") || !path[3].array) return true;
    auto i = at(3);
    auto& light = record(doc.lights, i);
    auto name = "light " + std::to_string(i);
    if (depth() == 5 && is(4, "type")) return text(v, light.type, name, "type");
    if (depth() == 6 && is(4, "color") && path[5].array)
      return element(v, light.color, 3, light.color_count, name, "color");
    return true;
  }

  void advance() {
    if (!path.empty() && path.back().array) path.back().index++;
  }
  bool scalar(const sax_value& v) {
    if (!on_value(v)) return false;
    advance();
    return true;
  }
  bool open(bool array) {
    auto v = sax_value{};
    v.kind = array ? sax_value::array : sax_value::object;
    if (!on_value(v)) return false;
    path.push_back({array, "", 0});
    return true;
  }
  bool close() {
    path.pop_back();
    advance();
    return true;
  }

  bool null() override { return scalar({}); }
  bool boolean(bool value) override {
    auto v = sax_value{sax_value::boolean};
    v.flag = value;
    return scalar(v);
  }
  bool number_integer(number_integer_t value) override {
    auto v = sax_value{sax_value::number, (double)value, true};
    return scalar(v);
  }
  bool number_unsigned(number_unsigned_t value) override {
    auto v = sax_value{sax_value::number, (double)value, true};
    return scalar(v);
  }
  bool number_float(number_float_t value, const string_t&) override {
    auto v = sax_value{sax_value::number, value, value == std::floor(value)};
    return scalar(v);
  }
  bool string(string_t& value) override {
    auto v = sax_value{sax_value::text};
    v.string_value = &value;
    return scalar(v);
  }
  bool binary(binary_t&) override { return scalar({}); }
  bool start_object(std::size_t) override { return open(false); }
  bool key(string_t& value) override {
    path.back().key = value;
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(true); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
    if (problem.empty()) problem = "the JSON chunk is not valid JSON (at byte " + std::to_string(position) + ")";
    return false;
  }
};

// Bytes of the binary chunk, read through a window per buffer view, so that
// the meshes, read in order, read each view once from start to end.
struct chunk_reader {
  std::function<bool(uint64_t offset, void* out, size_t size)> read;
  uint64_t start = 0, size = 0;  // of the chunk in the source
  struct window {
    uint64_t                   first = 0;
    std::vector<unsigned char> bytes = {};
  };
  std::unordered_map<int, window> windows = {};

  // The bytes [offset, offset + length) of the chunk, or null on a read error.
  const unsigned char* bytes(int key, uint64_t offset, uint64_t length) {
    constexpr uint64_t window_size = uint64_t{4} << 20;
    if (windows.size() > 16) windows.clear();
    auto& w = windows[key];
    if (offset >= w.first && length <= w.bytes.size() && offset - w.first <= w.bytes.size() - length)
      return w.bytes.data() + (offset - w.first);
    auto amount = std::min(std::max(length, window_size), size - offset);
    if (w.bytes.capacity() > 2 * amount) w.bytes = {};
    w.bytes.resize((size_t)amount);
    w.first = offset;
    if (amount > 0 && !read(start + offset, w.bytes.data(), (size_t)amount)) {
      w.bytes.clear();
      return nullptr;
    }
    return w.bytes.data();
  }
};

// The JSON chunk read from the source a block at a time, for the parser:
// an input iterator over its bytes.
struct json_blocks {
  const std::function<bool(uint64_t, void*, size_t)>& read;
  uint64_t          start = 0, size = 0;  // of the chunk in the source
  uint64_t          first = 0;            // chunk offset of the block
  std::vector<char> block = {};
  bool              failed = false;

  char at(uint64_t offset) {
    if (offset < first || offset - first >= block.size()) {
      first = offset;
      block.resize((size_t)std::min<uint64_t>(uint64_t{1} << 20, size - offset));
      if (!read(start + offset, block.data(), block.size())) {
        failed = true;
        std::fill(block.begin(), block.end(), ' ');
      }
    }
    return block[(size_t)(offset - first)];
  }
};
struct json_block_iterator {
  using iterator_category = std::input_iterator_tag;
  using value_type        = char;
  using difference_type   = std::ptrdiff_t;
  using pointer           = const char*;
  using reference         = char;
  json_blocks* blocks = nullptr;
  uint64_t     offset = 0;
  char operator*() const { return blocks->at(offset); }
  json_block_iterator& operator++() {
    offset++;
    return *this;
  }
  bool operator==(const json_block_iterator& o) const { return offset == o.offset; }
  bool operator!=(const json_block_iterator& o) const { return offset != o.offset; }
};

int component_size(int type) {
  switch (type) {
    case TINYGLTF_COMPONENT_TYPE_BYTE:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return 1;
    case TINYGLTF_COMPONENT_TYPE_SHORT:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: return 2;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
    case TINYGLTF_COMPONENT_TYPE_FLOAT: return 4;
    default: return 0;
  }
}

struct lean_converter {
  const std::string&           filename;
  const lean_document&         doc;
  chunk_reader&                chunk;
  loaded_scene&                out;
  std::string&                 error;
  const progress_callback&     progress;
  std::vector<scene_texture*>  textures  = {};  // by image
  std::vector<scene_material*> materials = {};
  scene_material*              fallback  = nullptr;
  std::vector<std::vector<std::pair<scene_shape*, scene_material*>>> meshes = {};
  std::vector<bool>            visited   = {};
  bool                         has_camera = false;

  bool fail(const std::string& problem) {
    error = filename + ": parse error (" + problem + ")";
    return false;
  }

  // The bytes of a buffer view, checked against the chunk.
  const unsigned char* view_bytes(int index, const std::string& record, uint64_t& length) {
    if (index < 0 || (size_t)index >= doc.views.size())
      return fail(record + ": buffer view " + std::to_string(index) + " does not exist"), nullptr;
    auto& view = doc.views[(size_t)index];
    auto name = "buffer view " + std::to_string(index);
    if (view.buffer != 0) return fail(name + ": buffer " + std::to_string(view.buffer) + " does not exist"), nullptr;
    auto limit = std::min(doc.buffers[0].length, chunk.size);
    if (view.offset > limit || view.length > limit - view.offset)
      return fail(name + ": bytes " + std::to_string(view.offset) + " to " +
                  std::to_string(view.offset + view.length) + " beyond its buffer of " +
                  std::to_string(limit)), nullptr;
    length = view.length;
    auto bytes = chunk.bytes(index, view.offset, view.length);
    if (!bytes) error = filename + ": read error";
    return bytes;
  }

  // An accessor's elements: where they start, their stride, after checking
  // that every element lies inside its buffer view.
  bool locate(int index, int components, const unsigned char*& base, uint64_t& stride,
              const lean_accessor*& accessor) {
    if (index < 0 || (size_t)index >= doc.accessors.size())
      return fail("accessor " + std::to_string(index) + " does not exist");
    accessor = &doc.accessors[(size_t)index];
    auto name = "accessor " + std::to_string(index);
    if (accessor->sparse) return fail(name + ": sparse accessors are not supported");
    if (accessor->components != components)
      return fail(name + ": " + std::to_string(accessor->components) + " components where " +
                  std::to_string(components) + " are needed");
    auto size = component_size(accessor->component);
    if (size == 0) return fail(name + ": component type " + std::to_string(accessor->component) + " is unknown");
    auto element = (uint64_t)size * (uint64_t)components;
    base = nullptr;
    stride = 0;
    // Without a view the elements are zeros, made here: a few of them.
    if (accessor->view < 0 && accessor->count > (uint64_t{1} << 24))
      return fail(name + ": count " + std::to_string(accessor->count) + " without a buffer view");
    if (accessor->view < 0 || accessor->count == 0) return true;
    if ((size_t)accessor->view >= doc.views.size())
      return fail(name + ": buffer view " + std::to_string(accessor->view) + " does not exist");
    auto& view = doc.views[(size_t)accessor->view];
    stride = view.stride ? view.stride : element;
    auto available = view.length;
    auto count = accessor->count;
    if (accessor->offset > available || element > available - accessor->offset ||
        (count - 1) > (available - accessor->offset - element) / stride)
      return fail(name + ": count " + std::to_string(count) + " beyond its buffer view");
    auto limit = std::min(doc.buffers[0].length, chunk.size);
    if (view.buffer != 0) return fail("buffer view " + std::to_string(accessor->view) + ": buffer " + std::to_string(view.buffer) + " does not exist");
    if (view.offset > limit || view.length > limit - view.offset)
      return fail("buffer view " + std::to_string(accessor->view) + ": bytes " +
                  std::to_string(view.offset) + " to " + std::to_string(view.offset + view.length) +
                  " beyond its buffer of " + std::to_string(limit));
    auto span = accessor->offset + stride * (count - 1) + element;
    base = chunk.bytes(accessor->view, view.offset + accessor->offset, span - accessor->offset);
    if (!base) return error = filename + ": read error", false;
    return true;
  }

  template <typename Vec, int N>
  bool floats(int index, std::vector<Vec>& values) {
    const unsigned char* base;
    uint64_t stride;
    const lean_accessor* accessor;
    if (!locate(index, N, base, stride, accessor)) return false;
    values.assign((size_t)accessor->count, Vec{});
    if (!base) return true;
    auto size = (size_t)component_size(accessor->component);
    for (size_t i = 0; i < values.size(); i++) {
      float v[4] = {0, 0, 0, 0};
      for (int k = 0; k < N; k++) {
        v[k] = (float)accessor_reader::component(base + i * stride + k * size, accessor->component,
                                                 accessor->normalized);
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
    const lean_accessor* accessor;
    if (!locate(index, 1, base, stride, accessor)) return false;
    auto type = accessor->component;
    if (type != TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE && type != TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT &&
        type != TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT)
      return fail("accessor " + std::to_string(index) + ": indices must be unsigned integers");
    values.assign((size_t)accessor->count, 0);
    if (!base) return true;
    for (size_t i = 0; i < values.size(); i++)
      values[i] = (uint32_t)accessor_reader::component(base + i * stride, type, false);
    return true;
  }

  bool convert_images() {
    textures.assign(doc.images.size(), nullptr);
    for (size_t m = 0; m < doc.materials.size(); m++) {
      auto index = doc.materials[m].texture;
      if (index < 0) continue;
      auto name = "material " + std::to_string(m);
      if ((size_t)index >= doc.textures.size())
        return fail(name + ": texture " + std::to_string(index) + " does not exist");
      auto source = doc.textures[(size_t)index].source;
      if (source < 0) continue;
      if ((size_t)source >= doc.images.size())
        return fail("texture " + std::to_string(index) + ": image " + std::to_string(source) + " does not exist");
      if (textures[(size_t)source]) continue;
      auto& image = doc.images[(size_t)source];
      auto record = "image " + std::to_string(source);
      if (image.view < 0) return fail(record + ": no buffer view");
      auto length = uint64_t{0};
      auto bytes = view_bytes(image.view, record, length);
      if (!bytes) return false;
      auto w = 0, h = 0, components = 0;
      if (length == 0 || length > 0x7fffffff ||
          !stbi_info_from_memory(bytes, (int)length, &w, &h, &components))
        return fail(record + " is not a readable image");
      if ((size_t)w * (size_t)h > max_image_pixels)
        return fail(record + " is too large (" + std::to_string(w) + " x " + std::to_string(h) + " pixels)");
      auto pixels = stbi_load_from_memory(bytes, (int)length, &w, &h, &components, 4);
      if (!pixels) return fail(record + " is not a readable image");
      auto texture = add_texture(out.scene, image.name.empty() ? "image" + std::to_string(source) : image.name);
      texture->ldr.width = w;
      texture->ldr.height = h;
      texture->ldr.pixels.resize((size_t)w * h);
      std::memcpy(texture->ldr.pixels.data(), pixels, (size_t)w * h * 4);
      stbi_image_free(pixels);
      textures[(size_t)source] = texture;
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
        auto source = doc.textures[(size_t)m.texture].source;
        if (source >= 0) material->color_tex = textures[(size_t)source];
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

  bool convert_meshes() {
    auto indices = std::vector<uint32_t>{};
    for (size_t m = 0; m < doc.meshes.size(); m++) {
      auto& mesh = doc.meshes[m];
      meshes.emplace_back();
      for (size_t p = 0; p < mesh.primitives.size(); p++) {
        auto& primitive = mesh.primitives[p];
        if (primitive.mode != TINYGLTF_MODE_TRIANGLES && primitive.mode != TINYGLTF_MODE_TRIANGLE_STRIP &&
            primitive.mode != TINYGLTF_MODE_TRIANGLE_FAN) {
          add_warning(out, filename + ": warning: points and lines are not shown");
          continue;
        }
        if (primitive.position < 0) {
          add_warning(out, filename + ": warning: primitives without positions are skipped");
          continue;
        }
        auto shape = add_shape(out.scene);
        if (!floats<vec3f, 3>(primitive.position, shape->positions)) return false;
        if (primitive.texcoord >= 0) {
          if (!floats<vec2f, 2>(primitive.texcoord, shape->texcoords)) return false;
          if (shape->texcoords.size() != shape->positions.size())
            return fail("mesh " + std::to_string(m) + ": texture coordinates and positions differ in count");
        }
        indices.clear();
        if (primitive.indices >= 0) {
          if (!this->indices(primitive.indices, indices)) return false;
        } else {
          indices.resize(shape->positions.size());
          for (size_t i = 0; i < indices.size(); i++) indices[i] = (uint32_t)i;
        }
        if (!primitive_triangles(primitive.mode, indices, shape->positions.size(), shape->triangles))
          return fail("mesh " + std::to_string(m) + ": an index addresses no vertex");
        shape->triangles.shrink_to_fit();
        auto material = fallback_material();
        if (primitive.material >= 0) {
          if ((size_t)primitive.material >= materials.size())
            return fail("mesh " + std::to_string(m) + ": material " + std::to_string(primitive.material) +
                        " does not exist");
          material = materials[(size_t)primitive.material];
        }
        meshes.back().push_back({shape, material});
      }
      if (progress && m % 1024 == 0) progress("load scene", (int)m, (int)doc.meshes.size() + 1);
    }
    chunk.windows.clear();
    return true;
  }

  mat4d node_matrix(const lean_node& node) {
    if (node.transform < 0) return mat4d{};
    auto& t = doc.transforms[(size_t)node.transform];
    auto source = tinygltf::Node{};
    if (t.counts[0] == 16) source.matrix.assign(t.matrix, t.matrix + 16);
    if (t.counts[1] == 3) source.translation.assign(t.t, t.t + 3);
    if (t.counts[2] == 4) source.rotation.assign(t.r, t.r + 4);
    if (t.counts[3] == 3) source.scale.assign(t.s, t.s + 3);
    return ::node_matrix(source);
  }

  bool visit(int index, const mat4d& parent, int depth) {
    if (index < 0 || (size_t)index >= doc.nodes.size())
      return fail("node " + std::to_string(index) + " does not exist");
    if (visited[(size_t)index])
      return fail("node " + std::to_string(index) + " has two parents or is its own ancestor");
    if (depth > 1000) return fail("node " + std::to_string(index) + " is nested too deeply");
    visited[(size_t)index] = true;
    auto& node = doc.nodes[(size_t)index];
    auto name = "node " + std::to_string(index);
    auto world = parent * node_matrix(node);
    if (!is_finite(world)) return fail(name + ": its transform is not finite");
    auto frame = to_frame(world);
    if (node.mesh >= 0) {
      if ((size_t)node.mesh >= meshes.size())
        return fail(name + ": mesh " + std::to_string(node.mesh) + " does not exist");
      auto instance_name = node.name.empty() ? "node" + std::to_string(index) : node.name;
      for (auto& [shape, material] : meshes[(size_t)node.mesh]) {
        auto instance = add_instance(out.scene, instance_name);
        instance->frame = frame;
        instance->shape = shape;
        instance->material = material;
      }
    }
    if (node.camera >= 0 && !has_camera) {
      if ((size_t)node.camera >= doc.cameras.size())
        return fail(name + ": camera " + std::to_string(node.camera) + " does not exist");
      auto& source = doc.cameras[(size_t)node.camera];
      auto camera = add_camera(out.scene, source.name);
      camera->frame = {normalize(frame.x), normalize(frame.y), normalize(frame.z), frame.o};
      if (source.type == "perspective") {
        set_camera_fov(*camera, (float)source.yfov, (float)source.aspect);
      } else {
        add_warning(out, filename + ": warning: orthographic cameras are shown in perspective");
      }
      has_camera = true;
    }
    if (node.light >= 0) {
      if ((size_t)node.light >= doc.lights.size())
        return fail(name + ": light " + std::to_string(node.light) + " does not exist");
      auto& source = doc.lights[(size_t)node.light];
      if (source.type == "directional" && !out.has_sun) {
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
    }
    for (auto child : node.children)
      if (!visit(child, world, depth + 1)) return false;
    return true;
  }

  bool convert_nodes() {
    visited.assign(doc.nodes.size(), false);
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
    return true;
  }
};

// The lean read over any source of bytes: `size` bytes, read by `read`.
bool read_glb(const std::string& filename, uint64_t size,
              const std::function<bool(uint64_t, void*, size_t)>& read, loaded_scene& scene,
              std::string& error, const progress_callback& progress) {
  scene = loaded_scene{};
  auto fail = [&](const std::string& problem) {
    error = filename + ": parse error (" + problem + ")";
    return false;
  };
  unsigned char header[20];
  if (size < 20) return fail("too short for a binary glTF file");
  if (!read(0, header, 20)) return error = filename + ": read error", false;
  auto word = [](const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return (uint64_t)v;
  };
  if (std::memcmp(header, "glTF", 4) != 0) return fail("not a binary glTF file");
  if (word(header + 4) != 2) return fail("version " + std::to_string(word(header + 4)) + " is not 2");
  auto total = std::min(word(header + 8), size);
  auto json_length = word(header + 12);
  if (word(header + 16) != 0x4E4F534A) return fail("the first chunk is not JSON");
  if (json_length > total - 20) return fail("the JSON chunk reaches past the end of the file");

  // The JSON chunk is parsed as it is read, never held whole.
  auto doc = lean_document{};
  auto problem = std::string{};
  {
    auto blocks = json_blocks{read, 20, json_length};
    auto sax = lean_sax{doc, problem};
    auto ok = nlohmann::json::sax_parse(json_block_iterator{&blocks, 0},
                                        json_block_iterator{&blocks, json_length}, &sax,
                                        nlohmann::json::input_format_t::json, false);
    if (blocks.failed) return error = filename + ": read error", false;
    if (!ok) return fail(problem.empty() ? "the JSON chunk is not valid JSON" : problem);
  }

  auto chunk = chunk_reader{read};
  auto bin = 20 + ((json_length + 3) & ~uint64_t{3});
  if (bin + 8 <= total) {
    unsigned char chunk_header[8];
    if (!read(bin, chunk_header, 8)) return error = filename + ": read error", false;
    if (word(chunk_header + 4) == 0x004E4942) {
      chunk.start = bin + 8;
      chunk.size = std::min(word(chunk_header), total - chunk.start);
    }
  }
  // Files that refer to others are read whole by the general reader.
  for (auto& buffer : doc.buffers)
    if (buffer.external) return error.clear(), false;
  for (auto& image : doc.images)
    if (image.external) return error.clear(), false;
  if (doc.buffers.empty()) doc.buffers.push_back({0, false});
  if (doc.buffers[0].length > chunk.size)
    return fail("buffer 0: length " + std::to_string(doc.buffers[0].length) + " beyond the binary chunk of " +
                std::to_string(chunk.size));

  auto converter = lean_converter{filename, doc, chunk, scene, error, progress};
  if (!converter.convert_images()) return false;
  converter.convert_materials();
  if (!converter.convert_meshes()) return false;
  if (!converter.convert_nodes()) return false;
  if (progress) progress("load scene", (int)doc.meshes.size() + 1, (int)doc.meshes.size() + 1);
  return true;
}

}  // namespace

bool parse_glb_scene(const std::string& filename, const std::string& data, loaded_scene& scene,
                     std::string& error) {
  auto read = [&](uint64_t offset, void* out, size_t size) {
    if (offset > data.size() || size > data.size() - offset) return false;
    std::memcpy(out, data.data() + offset, size);
    return true;
  };
  try {
    return read_glb(filename, data.size(), read, scene, error, {});
  } catch (const std::bad_alloc&) {
    error = filename + ": out of memory";
    return false;
  }
}

bool read_glb_scene(const std::string& filename, loaded_scene& scene, std::string& error,
                    const progress_callback& progress) {
  auto status = std::error_code{};
  auto path = std::filesystem::u8path(filename);
  if (!std::filesystem::is_regular_file(path, status)) {
    error = filename + (std::filesystem::exists(path, status) && !std::filesystem::is_directory(path, status)
                            ? ": not a regular file"
                            : ": file not found");
    return false;
  }
  auto file = std::ifstream(path, std::ios::binary);
  if (!file) return error = filename + ": file not found", false;
  auto size = (uint64_t)std::filesystem::file_size(path, status);
  if (status) return error = filename + ": read error", false;
  auto read = [&](uint64_t offset, void* out, size_t count) {
    if (offset > size || count > size - offset) return false;
    file.clear();
    file.seekg((std::streamoff)offset);
    file.read((char*)out, (std::streamsize)count);
    return (bool)file && (size_t)file.gcount() == count;
  };
  try {
    return read_glb(filename, size, read, scene, error, progress);
  } catch (const std::bad_alloc&) {
    error = filename + ": out of memory";
    return false;
  }
}
