// glTF 2.0 scenes through tinygltf. The library parses the document and
// reads the buffers and images; everything it leaves unchecked (ranges of
// buffer views and accessors, indices, node cycles) is checked here before
// a byte is read.

#include "scene/gltf_scene.h"

#include <stb_image.h>
#include <tiny_gltf.h>

#include <cmath>
#include <cstring>
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
      return problem = "an accessor index is out of range", false;
    auto& accessor = model.accessors[(size_t)index];
    if (accessor.sparse.isSparse) return problem = "sparse accessors are not supported", false;
    if (tinygltf::GetNumComponentsInType(accessor.type) != components)
      return problem = "accessor " + std::to_string(index) + " has the wrong type", false;
    type = accessor.componentType;
    auto size = tinygltf::GetComponentSizeInBytes((uint32_t)type);
    if (size <= 0) return problem = "accessor " + std::to_string(index) + " has a bad component type", false;
    count = accessor.count;
    if (accessor.bufferView < 0) {
      base = nullptr;  // all zeros
      stride = 0;
      return true;
    }
    if ((size_t)accessor.bufferView >= model.bufferViews.size())
      return problem = "accessor " + std::to_string(index) + " has no buffer view", false;
    auto& view = model.bufferViews[(size_t)accessor.bufferView];
    if (view.buffer < 0 || (size_t)view.buffer >= model.buffers.size())
      return problem = "a buffer view has no buffer", false;
    auto& buffer = model.buffers[(size_t)view.buffer].data;
    auto element = (size_t)size * (size_t)components;
    stride = view.byteStride ? view.byteStride : element;
    if (view.byteOffset > buffer.size() || view.byteLength > buffer.size() - view.byteOffset)
      return problem = "a buffer view lies outside its buffer", false;
    if (count > 0) {
      // offset + stride * (count - 1) + element <= view length, without overflow
      auto available = view.byteLength;
      if (accessor.byteOffset > available || element > available - accessor.byteOffset ||
          (count - 1) > (available - accessor.byteOffset - element) / stride)
        return problem = "accessor " + std::to_string(index) + " reaches past its buffer view", false;
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
        if (!std::isfinite(values[k])) return problem = "an accessor holds a value that is not a finite number", false;
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
      return problem = "indices must be unsigned integers", false;
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
    for (auto& material : model.materials) {
      auto index = material.pbrMetallicRoughness.baseColorTexture.index;
      if (index < 0) continue;
      if ((size_t)index >= model.textures.size()) return fail("a texture index is out of range");
      auto source = model.textures[(size_t)index].source;
      if (source < 0) continue;
      if ((size_t)source >= model.images.size()) return fail("an image index is out of range");
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
          return fail("an index of mesh " + std::to_string(m) + " addresses no vertex");
        auto material = fallback_material();
        if (primitive.material >= 0) {
          if ((size_t)primitive.material >= materials.size())
            return fail("a material index is out of range");
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
    if (index < 0 || (size_t)index >= model.nodes.size()) return fail("a node index is out of range");
    // Each node belongs to one parent: a node met twice is a cycle or a
    // shared child, both invalid, and would multiply the work.
    if (visited[(size_t)index]) return fail("node " + std::to_string(index) + " has two parents or is its own ancestor");
    visited[(size_t)index] = true;
    auto& node = model.nodes[(size_t)index];
    auto world = parent * node_matrix(node);
    if (!is_finite(world)) return fail("node " + std::to_string(index) + " has a transform that is not finite");
    auto frame = to_frame(world);

    if (node.mesh >= 0) {
      if ((size_t)node.mesh >= meshes.size()) return fail("a mesh index is out of range");
      auto name = node.name.empty() ? "node" + std::to_string(index) : node.name;
      for (auto& [shape, material] : meshes[(size_t)node.mesh]) {
        auto instance = add_instance(out.scene, name);
        instance->frame = frame;
        instance->shape = shape;
        instance->material = material;
      }
    }
    if (node.camera >= 0 && !has_camera) {
      if ((size_t)node.camera >= model.cameras.size()) return fail("a camera index is out of range");
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
      if (index < 0 || (size_t)index >= model.lights.size()) return fail("a light index is out of range");
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
