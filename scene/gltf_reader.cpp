// glTF 2.0 scenes through tinygltf. The library parses the document and
// reads the buffers and the files of images; its model is then copied into
// the records the scene is made from (gltf_document.h), where everything it
// leaves unchecked (ranges of buffer views and accessors, indices, node
// cycles) is checked before a byte is read. Images are decoded there too,
// only those a material uses.

#include "scene/gltf_document.h"
#include "scene/gltf_scene.h"

#include <tiny_gltf.h>

#include <cmath>
#include <cstring>
#include <unordered_map>

#include "support/files.h"

namespace {

struct gltf_context {
  const referenced_files* files  = nullptr;
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

// Images are decoded later, and only those a material uses: an image file's
// bytes are kept as they are. An image in a buffer view is read through the
// view, once the view has been checked against its buffer; the library
// hands over its bytes unchecked, so they are not touched here.
bool keep_image_bytes(tinygltf::Image* image, const int, std::string*, std::string*, int, int,
                      const unsigned char* bytes, int size, void*) {
  if (image->bufferView < 0 && size > 0) image->image.assign(bytes, bytes + size);
  return true;
}

// The buffers as the library read them, whole in memory.
struct model_bytes : gltf_byte_source {
  const tinygltf::Model& model;
  explicit model_bytes(const tinygltf::Model& model) : model(model) {}
  const unsigned char* bytes(int, const gltf_view& view, uint64_t offset, uint64_t) override {
    return model.buffers[(size_t)view.buffer].data.data() + offset;
  }
};

// Up to `size` numbers of a list, with how many there were when they fit.
template <size_t N>
void copy_numbers(const std::vector<double>& from, double (&to)[N], int& count) {
  if (from.size() > N) return;
  std::copy(from.begin(), from.end(), to);
  count = (int)from.size();
}

gltf_transform node_transform(const tinygltf::Node& node) {
  auto t = gltf_transform{};
  if (node.matrix.size() == 16) copy_numbers(node.matrix, t.matrix, t.counts[0]);
  if (node.translation.size() == 3) copy_numbers(node.translation, t.t, t.counts[1]);
  if (node.rotation.size() == 4) copy_numbers(node.rotation, t.r, t.counts[2]);
  if (node.scale.size() == 3) copy_numbers(node.scale, t.s, t.counts[3]);
  return t;
}

// The node's light of KHR_lights_punctual, -1 without one; false when the
// extension names no light by a whole number.
bool node_light(const tinygltf::Node& node, int& light) {
  light = -1;
  auto found = node.extensions.find("KHR_lights_punctual");
  if (found == node.extensions.end() || !found->second.IsObject() || !found->second.Has("light")) return true;
  auto& value = found->second.Get("light");
  if (value.IsInt()) light = value.GetNumberAsInt();
  else if (value.IsNumber() && value.GetNumberAsDouble() == std::floor(value.GetNumberAsDouble()) &&
           value.GetNumberAsDouble() <= 2147483647.0)
    light = (int)value.GetNumberAsDouble();
  return light >= 0;
}

bool copy_nodes(const tinygltf::Model& model, gltf_document& doc, std::string& problem) {
  for (auto& node : model.nodes) {
    auto& n = doc.nodes.emplace_back();
    n.name = node.name;
    n.mesh = node.mesh;
    n.camera = node.camera;
    n.children = node.children;
    if (!node_light(node, n.light))
      return problem = "node " + std::to_string(doc.nodes.size() - 1) + ": light is not a whole number in range", false;
    if (node.matrix.empty() && node.translation.empty() && node.rotation.empty() && node.scale.empty())
      continue;
    n.transform = (int)doc.transforms.size();
    doc.transforms.push_back(node_transform(node));
  }
  return true;
}

void copy_buffers(const tinygltf::Model& model, gltf_document& doc) {
  for (auto& a : model.accessors) {
    auto& accessor = doc.accessors.emplace_back();
    accessor.view = a.bufferView;
    accessor.component = a.componentType;
    accessor.components = tinygltf::GetNumComponentsInType((uint32_t)a.type);
    accessor.offset = a.byteOffset;
    accessor.count = a.count;
    accessor.normalized = a.normalized;
    accessor.sparse = a.sparse.isSparse;
  }
  for (auto& v : model.bufferViews) doc.views.push_back({v.buffer, v.byteOffset, v.byteLength, v.byteStride});
  for (auto& b : model.buffers) doc.buffers.push_back({b.data.size(), !b.uri.empty()});
  for (auto& mesh : model.meshes) {
    auto& m = doc.meshes.emplace_back();
    m.name = mesh.name;
    for (auto& primitive : mesh.primitives) {
      auto& p = m.primitives.emplace_back();
      auto attribute = [&](const char* name) {
        auto found = primitive.attributes.find(name);
        return found == primitive.attributes.end() ? -1 : found->second;
      };
      p.position = attribute("POSITION");
      p.texcoord = attribute("TEXCOORD_0");
      p.indices = primitive.indices;
      p.material = primitive.material;
      p.mode = primitive.mode;
    }
  }
}

void copy_looks(tinygltf::Model& model, gltf_document& doc) {
  for (auto& material : model.materials) {
    auto& m = doc.materials.emplace_back();
    auto& pbr = material.pbrMetallicRoughness;
    auto unused = 0;
    m.name = material.name;
    if (pbr.baseColorFactor.size() >= 3)
      std::copy_n(pbr.baseColorFactor.begin(), std::min<size_t>(pbr.baseColorFactor.size(), 4), m.color);
    if (material.emissiveFactor.size() == 3) copy_numbers(material.emissiveFactor, m.emission, unused);
    m.metallic = pbr.metallicFactor;
    m.roughness = pbr.roughnessFactor;
    m.texture = pbr.baseColorTexture.index;
  }
  for (auto& texture : model.textures) doc.textures.push_back({texture.source});
  for (auto& image : model.images) {
    auto& i = doc.images.emplace_back();
    i.name = image.name;
    i.view = image.bufferView;
    i.external = image.bufferView < 0;
    i.encoded = std::move(image.image);
  }
  for (auto& camera : model.cameras)
    doc.cameras.push_back({camera.name, camera.type, camera.perspective.yfov, camera.perspective.aspectRatio});
  for (auto& light : model.lights) {
    auto& l = doc.lights.emplace_back();
    l.type = light.type;
    if (light.color.size() == 3) copy_numbers(light.color, l.color, l.color_count);
  }
}

// The georeference our writer keeps in the scene's extras, read back so
// that a conversion keeps it. Anything incomplete or not finite is left.
scene_georeference read_georeference(const tinygltf::Value& extras) {
  auto geo = scene_georeference{};
  if (!extras.IsObject() || !extras.Has("georeference")) return geo;
  auto& g = extras.Get("georeference");
  if (!g.IsObject()) return geo;
  auto number = [&](const tinygltf::Value& v, const char* key, double& value) {
    if (!v.Has(key) || !v.Get(key).IsNumber()) return false;
    value = v.Get(key).GetNumberAsDouble();
    return std::isfinite(value);
  };
  if (!number(g, "west", geo.west) || !number(g, "south", geo.south) ||
      !number(g, "east", geo.east) || !number(g, "north", geo.north))
    return geo;
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
  return geo;
}

// The model as records; the image files' bytes move over. False with the
// problem when a value has no place in the records.
bool model_document(tinygltf::Model& model, gltf_document& doc, std::string& problem) {
  copy_buffers(model, doc);
  if (!copy_nodes(model, doc, problem)) return false;
  copy_looks(model, doc);
  for (auto& scene : model.scenes) doc.scenes.push_back(scene.nodes);
  doc.scene = model.defaultScene;
  auto index = model.defaultScene >= 0 ? (size_t)model.defaultScene : 0;
  if (index < model.scenes.size()) doc.georeference = read_georeference(model.scenes[index].extras);
  return true;
}

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
  auto context = gltf_context{&files};
  auto loader = tinygltf::TinyGLTF{};
  loader.SetFsCallbacks({file_exists, expand_path, read_whole_file, write_whole_file, &context});
  loader.SetImageLoader(keep_image_bytes, nullptr);
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
  auto doc = gltf_document{};
  auto problem = std::string{};
  if (!model_document(model, doc, problem)) {
    error = filename + ": parse error (" + problem + ")";
    return false;
  }
  doc.unread_file = context.failed;
  auto source = model_bytes{model};
  return convert_gltf_document(filename, doc, source, scene, error);
}
