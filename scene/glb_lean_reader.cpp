// Binary glTF read lean: the records of the JSON chunk, parsed as the chunk
// is read, then the meshes read from the binary chunk a window at a time.

#include "scene/gltf_document.h"
#include "scene/gltf_reader.h"
#include "scene/json_events.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

enum class json_key : unsigned char {
  other,
  KHR_lights_punctual,
  POSITION,
  TEXCOORD_0,
  accessors,
  aspectRatio,
  attributes,
  baseColorFactor,
  baseColorTexture,
  buffer,
  bufferView,
  bufferViews,
  buffers,
  byteLength,
  byteOffset,
  byteStride,
  camera,
  cameras,
  children,
  color,
  componentType,
  count,
  emissiveFactor,
  extensions,
  images,
  index,
  indices,
  light,
  lights,
  material,
  materials,
  matrix,
  mesh,
  meshes,
  metallicFactor,
  mode,
  name,
  nodes,
  normalized,
  pbrMetallicRoughness,
  perspective,
  primitives,
  rotation,
  roughnessFactor,
  scale,
  scene,
  scenes,
  source,
  sparse,
  textures,
  translation,
  type,
  uri,
  yfov,
};
// The keys the reader looks at, by their text.
const std::pair<std::string_view, json_key> known_keys[] = {
    {"KHR_lights_punctual", json_key::KHR_lights_punctual},
    {"POSITION", json_key::POSITION},
    {"TEXCOORD_0", json_key::TEXCOORD_0},
    {"accessors", json_key::accessors},
    {"aspectRatio", json_key::aspectRatio},
    {"attributes", json_key::attributes},
    {"baseColorFactor", json_key::baseColorFactor},
    {"baseColorTexture", json_key::baseColorTexture},
    {"buffer", json_key::buffer},
    {"bufferView", json_key::bufferView},
    {"bufferViews", json_key::bufferViews},
    {"buffers", json_key::buffers},
    {"byteLength", json_key::byteLength},
    {"byteOffset", json_key::byteOffset},
    {"byteStride", json_key::byteStride},
    {"camera", json_key::camera},
    {"cameras", json_key::cameras},
    {"children", json_key::children},
    {"color", json_key::color},
    {"componentType", json_key::componentType},
    {"count", json_key::count},
    {"emissiveFactor", json_key::emissiveFactor},
    {"extensions", json_key::extensions},
    {"images", json_key::images},
    {"index", json_key::index},
    {"indices", json_key::indices},
    {"light", json_key::light},
    {"lights", json_key::lights},
    {"material", json_key::material},
    {"materials", json_key::materials},
    {"matrix", json_key::matrix},
    {"mesh", json_key::mesh},
    {"meshes", json_key::meshes},
    {"metallicFactor", json_key::metallicFactor},
    {"mode", json_key::mode},
    {"name", json_key::name},
    {"nodes", json_key::nodes},
    {"normalized", json_key::normalized},
    {"pbrMetallicRoughness", json_key::pbrMetallicRoughness},
    {"perspective", json_key::perspective},
    {"primitives", json_key::primitives},
    {"rotation", json_key::rotation},
    {"roughnessFactor", json_key::roughnessFactor},
    {"scale", json_key::scale},
    {"scene", json_key::scene},
    {"scenes", json_key::scenes},
    {"source", json_key::source},
    {"sparse", json_key::sparse},
    {"textures", json_key::textures},
    {"translation", json_key::translation},
    {"type", json_key::type},
    {"uri", json_key::uri},
    {"yfov", json_key::yfov},
};

// A key as a number, so that each value's place is told by comparing small
// numbers, not texts (a city's JSON chunk has hundreds of millions of
// values). A key is told from the few known keys of its length by its
// first 16 bytes as two words; longer keys compare their rest too.
struct key_words {
  uint64_t first = 0, second = 0;
};
// Two keys of one length are the same up to their 16th byte when their
// words are: the words are read as two loads of 8 (or 4) bytes that overlap
// for shorter keys.
key_words words_of(std::string_view text) {
  auto p = text.data();
  auto n = text.size();
  auto words = key_words{};
  if (n >= 8) {
    std::memcpy(&words.first, p, 8);
    std::memcpy(&words.second, p + std::min<size_t>(n, 16) - 8, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    words = {a, b};
  } else {
    for (size_t k = 0; k < n; k++) words.first |= (uint64_t)(unsigned char)p[k] << (8 * k);
  }
  return words;
}
json_key key_of(std::string_view text) {
  struct candidate {
    key_words        words;
    std::string_view name;
    json_key         key;
  };
  static const auto by_length = [] {
    auto table = std::vector<std::vector<candidate>>(32);
    for (auto& [name, key] : known_keys) table[name.size()].push_back({words_of(name), name, key});
    return table;
  }();
  if (text.empty() || text.size() >= by_length.size()) return json_key::other;
  auto words = words_of(text);
  for (auto& known : by_length[text.size()])
    if (known.words.first == words.first && known.words.second == words.second &&
        (text.size() <= 16 || text.substr(16) == known.name.substr(16)))
      return known.key;
  return json_key::other;
}

// The record a value belongs to, as an error names it ("mesh 3 primitive
// 0"); the text is made only when there is an error to tell.
struct record_name {
  const char* kind = "";
  size_t      index = SIZE_MAX;  // none
  const char* part = nullptr;  // a part of the record and its index, or none
  size_t      part_index = 0;
  std::string text() const {
    auto name = std::string(kind);
    if (index != SIZE_MAX) name += " " + std::to_string(index);
    if (part) name += std::string(" ") + part + " " + std::to_string(part_index);
    return name;
  }
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
struct glb_sax : json_events {
  struct step {
    bool   array = false;
    json_key name  = json_key::other;
    size_t index = 0;
  };
  gltf_document&    doc;
  std::string&      problem;
  std::vector<step> path = {};
  bool              scene_seen = false;  // the document's "scene" was read
  // The whole-number field of an accessor, buffer view, mesh primitive or
  // node that the value after the current key fills, found as the key is
  // read: most of a city's values are such fields, and a whole number in
  // range is stored there at once. Any other value goes by the path, which
  // tells what is wrong with it.
  int*      int_field  = nullptr;
  uint64_t* wide_field = nullptr;
  // The node whose matrix, translation, rotation or scale (`element_kind`
  // 0 ... 3) is the array open at the end of the path, while its elements
  // are numbers: they are stored at once too.
  gltf_node* element_node = nullptr;
  int        element_kind = 0;
  // The accessor whose type, or the node whose name, the string after the
  // current key is.
  gltf_accessor* type_of = nullptr;
  gltf_node*     name_of = nullptr;
  static constexpr int element_sizes[4] = {16, 3, 4, 3};
  static constexpr const char* element_names[4] = {"matrix", "translation", "rotation", "scale"};
  // False, with the problem told, for a transform's element `kind`.
  bool refuse_element(int kind, const char* what, const record_name& name) {
    return problem = name.text() + ": " + element_names[kind] + what, false;
  }
  // Where a node's transform element `kind` of `index` goes; its
  // transform is made at its first element.
  bool store_element(gltf_node& node, int kind, size_t index, double value, const record_name& name) {
    if (index >= (size_t)element_sizes[kind]) return refuse_element(kind, " has too many elements", name);
    if (node.transform < 0) {
      node.transform = (int)doc.transforms.size();
      doc.transforms.emplace_back();
    }
    auto& t = doc.transforms[(size_t)node.transform];
    double* values[] = {t.matrix, t.t, t.r, t.s};
    values[kind][index] = value;
    t.counts[kind] = std::max(t.counts[kind], (int)index + 1);
    return true;
  }

  glb_sax(gltf_document& doc, std::string& problem) : doc(doc), problem(problem) { depth_limit = 200; }

  size_t depth() const { return path.size(); }
  bool   is(size_t level, json_key name) const {
    return level < path.size() && !path[level].array && path[level].name == name;
  }
  size_t at(size_t level) const { return path[level].index; }

  // A record's field must be a whole number in range.
  template <typename T>
  bool whole(const sax_value& v, T& field, const record_name& record, const char* name,
             double low = 0) {
    if (v.kind != sax_value::number || !v.integer || v.number_value < low ||
        v.number_value > 9007199254740992.0 ||
        (sizeof(T) == 4 && v.number_value > 2147483647.0))
      return problem = record.text() + ": " + name + " is not a whole number in range", false;
    field = (T)v.number_value;
    return true;
  }
  bool real(const sax_value& v, double& field, const record_name& record, const char* name) {
    if (v.kind != sax_value::number || !std::isfinite(v.number_value))
      return problem = record.text() + ": " + name + " is not a number", false;
    field = v.number_value;
    return true;
  }
  bool text(const sax_value& v, std::string& field, const record_name& record, const char* name) {
    if (v.kind != sax_value::text) return problem = record.text() + ": " + name + " is not a string", false;
    field = *v.string_value;
    return true;
  }
  // An element of a fixed-length number array.
  bool element(const sax_value& v, double* values, int size, int& count, const record_name& record,
               const char* name) {
    auto index = at(depth() - 1);
    if (index >= (size_t)size) return problem = record.text() + ": " + name + " has too many elements", false;
    if (!real(v, values[index], record, name)) return false;
    count = std::max(count, (int)index + 1);
    return true;
  }
  template <typename Records>
  auto& record(Records& records, size_t index) {
    if (records.size() <= index) records.resize(index + 1);
    return records[index];
  }

  bool on_value(const sax_value& v) {
    // An array's steps have no name (`other`), so a step's name alone says
    // whether it is the member of that name.
    if (depth() < 2) {
      if (depth() == 1 && path[0].name == json_key::scene)
        return scene_seen = true, whole(v, doc.scene, record_name{"the document"}, "scene");
      return true;
    }
    auto top = path[0].name;
    if (top == json_key::extensions) return on_extension(v);
    if (!path[1].array) return true;
    auto i = at(1);
    switch (top) {
      case json_key::accessors: return on_accessor(v, record(doc.accessors, i), record_name{"accessor", i});
      case json_key::bufferViews: return on_view(v, record(doc.views, i), record_name{"buffer view", i});
      case json_key::buffers: return on_buffer(v, record(doc.buffers, i), record_name{"buffer", i});
      case json_key::meshes: return on_mesh(v, record(doc.meshes, i), record_name{"mesh", i});
      case json_key::nodes: return on_node(v, record(doc.nodes, i), record_name{"node", i});
      case json_key::scenes: {
        auto& s = record(doc.scenes, i);
        if (depth() == 4 && is(2, json_key::nodes) && path[3].array) {
          auto node = 0;
          if (!whole(v, node, record_name{"scene", i}, "nodes")) return false;
          s.push_back(node);
        }
        return true;
      }
      case json_key::materials: return on_material(v, record(doc.materials, i), record_name{"material", i});
      case json_key::textures: {
        auto& t = record(doc.textures, i);
        if (depth() == 3 && is(2, json_key::source)) return whole(v, t.source, record_name{"texture", i}, "source");
        return true;
      }
      case json_key::images: return on_image(v, record(doc.images, i), record_name{"image", i});
      case json_key::cameras: return on_camera(v, record(doc.cameras, i), record_name{"camera", i});
      default: return true;
    }
  }

  bool on_accessor(const sax_value& v, gltf_accessor& a, const record_name& name) {
    auto n = depth();
    if (n < 3) return true;
    if (path[2].name == json_key::sparse) return a.sparse = true, true;
    if (n != 3) return true;
    switch (path[2].name) {
      case json_key::bufferView: return whole(v, a.view, name, "bufferView");
      case json_key::byteOffset: return whole(v, a.offset, name, "byteOffset");
      case json_key::componentType: return whole(v, a.component, name, "componentType");
      case json_key::count: return whole(v, a.count, name, "count");
      case json_key::normalized: return a.normalized = v.kind == sax_value::boolean && v.flag, true;
      case json_key::type: {
        if (v.kind != sax_value::text) return problem = name.text() + ": type is not a string", false;
        a.components = components_of(*v.string_value);
        if (a.components < 0) return problem = name.text() + ": type " + *v.string_value + " is unknown", false;
        return true;
      }
      default: return true;
    }
  }

  // The number of components of an accessor's type, or -1.
  static int components_of(const std::string& type) {
    if (type.size() == 4 && (type.compare(0, 3, "VEC") == 0 || type.compare(0, 3, "MAT") == 0)) {
      auto n = type[3] - '0';
      if (n < 2 || n > 4) return -1;
      return type[0] == 'V' ? n : n * n;
    }
    return type == "SCALAR" ? 1 : -1;
  }

  bool on_view(const sax_value& v, gltf_view& b, const record_name& name) {
    if (depth() != 3) return true;
    switch (path[2].name) {
      case json_key::buffer: return whole(v, b.buffer, name, "buffer");
      case json_key::byteOffset: return whole(v, b.offset, name, "byteOffset");
      case json_key::byteLength: return whole(v, b.length, name, "byteLength");
      case json_key::byteStride: return whole(v, b.stride, name, "byteStride");
      default: return true;
    }
  }

  bool on_buffer(const sax_value& v, gltf_buffer& b, const record_name& name) {
    if (depth() == 3 && is(2, json_key::byteLength)) return whole(v, b.length, name, "byteLength");
    if (depth() == 3 && is(2, json_key::uri)) b.external = true;
    return true;
  }

  bool on_mesh(const sax_value& v, gltf_mesh& m, const record_name& mesh) {
    auto n = depth();
    if (n < 4 || !is(2, json_key::primitives) || !path[3].array) return true;
    auto& p = record(m.primitives, at(3));
    auto name = record_name{mesh.kind, mesh.index, "primitive", at(3)};
    if (n == 5) {
      switch (path[4].name) {
        case json_key::indices: return whole(v, p.indices, name, "indices");
        case json_key::material: return whole(v, p.material, name, "material");
        case json_key::mode: return whole(v, p.mode, name, "mode");
        default: return true;
      }
    }
    if (n == 6 && path[4].name == json_key::attributes) {
      if (path[5].name == json_key::POSITION) return whole(v, p.position, name, "POSITION");
      if (path[5].name == json_key::TEXCOORD_0) return whole(v, p.texcoord, name, "TEXCOORD_0");
    }
    return true;
  }

  bool on_node(const sax_value& v, gltf_node& node, const record_name& name) {
    auto n = depth();
    if (n < 3) return true;
    auto field = path[2].name;
    if (n == 3) {
      switch (field) {
        case json_key::name: return text(v, node.name, name, "name");
        case json_key::mesh: return whole(v, node.mesh, name, "mesh");
        case json_key::camera: return whole(v, node.camera, name, "camera");
        default: return true;
      }
    }
    if (n == 5 && field == json_key::extensions && is(3, json_key::KHR_lights_punctual) && is(4, json_key::light))
      return whole(v, node.light, name, "light");
    if (n != 4 || !path[3].array) return true;
    if (field == json_key::children) {
      auto child = 0;
      if (!whole(v, child, name, "children")) return false;
      node.children.push_back(child);
      return true;
    }
    auto kind = transform_kind(field);
    if (kind < 0) return true;
    if (v.kind != sax_value::number || !std::isfinite(v.number_value))
      return refuse_element(kind, at(3) >= (size_t)element_sizes[kind] ? " has too many elements" : " is not a number",
                            name);
    return store_element(node, kind, at(3), v.number_value, name);
  }
  static int transform_kind(json_key field) {
    return field == json_key::matrix ? 0 : field == json_key::translation ? 1 : field == json_key::rotation ? 2
         : field == json_key::scale ? 3 : -1;
  }

  bool on_material(const sax_value& v, gltf_material& m, const record_name& name) {
    auto n = depth();
    auto unused = 0;
    if (n == 3 && is(2, json_key::name)) return text(v, m.name, name, "name");
    if (n == 4 && is(2, json_key::emissiveFactor) && path[3].array)
      return element(v, m.emission, 3, unused, name, "emissiveFactor");
    if (n < 4 || !is(2, json_key::pbrMetallicRoughness)) return true;
    if (n == 5 && is(3, json_key::baseColorFactor) && path[4].array)
      return element(v, m.color, 4, unused, name, "baseColorFactor");
    if (n == 5 && is(3, json_key::baseColorTexture) && is(4, json_key::index)) return whole(v, m.texture, name, "baseColorTexture");
    if (n == 4 && is(3, json_key::metallicFactor)) return real(v, m.metallic, name, "metallicFactor");
    if (n == 4 && is(3, json_key::roughnessFactor)) return real(v, m.roughness, name, "roughnessFactor");
    return true;
  }

  bool on_image(const sax_value& v, gltf_image& image, const record_name& name) {
    if (depth() != 3) return true;
    if (is(2, json_key::name)) return text(v, image.name, name, "name");
    if (is(2, json_key::bufferView)) return whole(v, image.view, name, "bufferView");
    if (is(2, json_key::uri)) image.external = true;
    return true;
  }

  bool on_camera(const sax_value& v, gltf_camera& c, const record_name& name) {
    auto n = depth();
    if (n == 3 && is(2, json_key::name)) return text(v, c.name, name, "name");
    if (n == 3 && is(2, json_key::type)) return text(v, c.type, name, "type");
    if (n == 4 && is(2, json_key::perspective) && is(3, json_key::yfov)) return real(v, c.yfov, name, "yfov");
    if (n == 4 && is(2, json_key::perspective) && is(3, json_key::aspectRatio)) return real(v, c.aspect, name, "aspectRatio");
    return true;
  }

  bool on_extension(const sax_value& v) {
    // extensions.KHR_lights_punctual.lights[i]
    if (depth() < 4 || !is(1, json_key::KHR_lights_punctual) || !is(2, json_key::lights) || !path[3].array) return true;
    auto i = at(3);
    auto& light = record(doc.lights, i);
    auto name = record_name{"light", i};
    if (depth() == 5 && is(4, json_key::type)) return text(v, light.type, name, "type");
    if (depth() == 6 && is(4, json_key::color) && path[5].array)
      return element(v, light.color, 3, light.color_count, name, "color");
    return true;
  }

  void advance() {
    if (!path.empty() && path.back().array) path.back().index++;
  }
  // The field of the value after the key just read, if it is one of those
  // the records have most of.
  void find_field() {
    int_field = nullptr;
    wide_field = nullptr;
    type_of = nullptr;
    name_of = nullptr;
    auto n = depth();
    if (n < 3 || !path[1].array) return;
    auto top = path[0].name, field = path[2].name;
    auto i = at(1);
    if (n == 3 && top == json_key::accessors) {
      auto& a = doc.accessors[i];
      if (field == json_key::bufferView) int_field = &a.view;
      if (field == json_key::componentType) int_field = &a.component;
      if (field == json_key::byteOffset) wide_field = &a.offset;
      if (field == json_key::count) wide_field = &a.count;
      if (field == json_key::type) type_of = &a;
    } else if (n == 3 && top == json_key::bufferViews) {
      auto& b = doc.views[i];
      if (field == json_key::buffer) int_field = &b.buffer;
      if (field == json_key::byteOffset) wide_field = &b.offset;
      if (field == json_key::byteLength) wide_field = &b.length;
      if (field == json_key::byteStride) wide_field = &b.stride;
    } else if (n == 3 && top == json_key::nodes) {
      auto& node = doc.nodes[i];
      if (field == json_key::mesh) int_field = &node.mesh;
      if (field == json_key::camera) int_field = &node.camera;
      if (field == json_key::name) name_of = &node;
    } else if (n >= 5 && top == json_key::meshes && field == json_key::primitives && path[3].array) {
      auto& p = doc.meshes[i].primitives[at(3)];
      auto name = path[4].name;
      if (n == 5 && name == json_key::indices) int_field = &p.indices;
      if (n == 5 && name == json_key::material) int_field = &p.material;
      if (n == 5 && name == json_key::mode) int_field = &p.mode;
      if (n == 6 && name == json_key::attributes && path[5].name == json_key::POSITION) int_field = &p.position;
      if (n == 6 && name == json_key::attributes && path[5].name == json_key::TEXCOORD_0) int_field = &p.texcoord;
    }
  }
  bool scalar(const sax_value& v) {
    int_field = nullptr;
    wide_field = nullptr;
    type_of = nullptr;
    name_of = nullptr;
    if (!on_value(v)) return false;
    advance();
    return true;
  }
  bool open(bool array) {
    int_field = nullptr;
    wide_field = nullptr;
    type_of = nullptr;
    name_of = nullptr;
    element_node = nullptr;
    auto v = sax_value{};
    v.kind = array ? sax_value::array : sax_value::object;
    if (!on_value(v)) return false;
    path.push_back({array, json_key::other, 0});
    if (array && depth() == 4 && path[0].name == json_key::nodes && path[1].array) {
      element_kind = transform_kind(path[2].name);
      if (element_kind >= 0) element_node = &doc.nodes[at(1)];
    }
    return true;
  }
  bool close() {
    element_node = nullptr;
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
  bool number(double value, bool whole) override {
    if (int_field && whole && value >= 0 && value <= 2147483647.0) {
      *int_field = (int)value;
      int_field = nullptr;
      return true;
    }
    if (wide_field && whole && value >= 0 && value <= 9007199254740992.0) {
      *wide_field = (uint64_t)value;
      wide_field = nullptr;
      return true;
    }
    if (element_node) {
      auto& index = path.back().index;
      if (!store_element(*element_node, element_kind, index, value, record_name{"node", at(1)})) return false;
      index++;
      return true;
    }
    // A whole number written with a fraction or an exponent ("2.0") is one.
    auto v = sax_value{sax_value::number, value, whole || value == std::floor(value)};
    return scalar(v);
  }
  bool string(std::string& value) override {
    if (auto a = type_of) {
      type_of = nullptr;
      a->components = components_of(value);
      if (a->components >= 0) return true;
    }
    if (auto node = name_of) {
      name_of = nullptr;
      node->name = value;
      return true;
    }
    auto v = sax_value{sax_value::text};
    v.string_value = &value;
    return scalar(v);
  }
  bool start_object() override { return open(false); }
  bool key(std::string_view value) override {
    path.back().name = key_of(value);
    // No record reads a value below a key it does not know ("min", "max",
    // "NORMAL", "extras"): such values are only checked as JSON.
    skip_value = path.back().name == json_key::other;
    find_field();  // none for a skipped key
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array() override { return open(true); }
  bool end_array() override { return close(); }
};

using read_function = std::function<bool(uint64_t offset, void* out, size_t size)>;

// A JSON chunk of this many bytes or more is read on two threads.
constexpr uint64_t split_from = uint64_t{16} << 20;

// The JSON chunk read on two threads. A helper reads on from the start of a
// record (an element of one of the big arrays of records) just after the
// split, into records of its own, while this thread reads up to it. When
// this thread comes to that byte at the start of an element of that array,
// it read what the helper began with, and the helper's records join its
// own. Anything else (the place was guessed inside a string, or in another
// array; the helper found an error; a key the helper read was read before)
// and this thread reads on alone: the records, and any error, are always
// those of one reading from the start.
struct read_ahead {
  uint64_t          start = UINT64_MAX;  // the byte the helper began at
  json_key          array = json_key::other;  // the array it began in
  gltf_document     doc = {};
  std::string       problem = {};
  bool              ok = false, scene_seen = false, array_again = false;
  std::atomic<bool> stop{false};
  std::thread       worker = {};

  read_ahead() = default;
  read_ahead(const read_ahead&) = delete;
  read_ahead& operator=(const read_ahead&) = delete;
  ~read_ahead() { cancel(); }
  void wait() {
    if (worker.joinable()) worker.join();
  }
  void cancel() {
    stop = true;
    wait();
  }
};

// The helper's events: from inside the array of records, which a key of
// the same name read later would begin again.
struct glb_sax_ahead : glb_sax {
  read_ahead& ahead;
  explicit glb_sax_ahead(read_ahead& ahead) : glb_sax(ahead.doc, ahead.problem), ahead(ahead) {
    path = {{false, ahead.array, 0}, {true, json_key::other, 0}};
  }
  bool start_object() override {
    return !ahead.stop.load(std::memory_order_relaxed) && glb_sax::start_object();
  }
  bool key(std::string_view value) override {
    if (!glb_sax::key(value)) return false;
    if (depth() == 1 && path[0].name == ahead.array) ahead.array_again = true;
    return true;
  }
};

// Whether the helper's records of one kind can follow these: those of the
// array it began in must follow the `first` this thread has; of any other
// kind only one of the two may have records (a kind both have was given
// twice, and the later one would be read over the earlier).
template <typename Records>
bool can_join(const Records& mine, const Records& theirs, bool begun_in, size_t first) {
  return begun_in ? mine.size() == first : mine.size() == 0 || theirs.size() == 0;
}
template <typename T>
void join(std::vector<T>& mine, std::vector<T>& theirs) {
  mine.insert(mine.end(), std::make_move_iterator(theirs.begin()), std::make_move_iterator(theirs.end()));
  std::vector<T>().swap(theirs);
}
template <typename T>
void join(gltf_records<T>& mine, gltf_records<T>& theirs) {
  mine.append(std::move(theirs));
}

// The helper's records after `first` records of the array it began in,
// when they can join these.
bool join_ahead(gltf_document& doc, read_ahead& ahead, size_t first) {
  auto& more = ahead.doc;
  auto k = ahead.array;
  if (!(can_join(doc.accessors, more.accessors, k == json_key::accessors, first) &&
        can_join(doc.views, more.views, k == json_key::bufferViews, first) &&
        can_join(doc.meshes, more.meshes, k == json_key::meshes, first) &&
        can_join(doc.nodes, more.nodes, k == json_key::nodes, first) &&
        can_join(doc.buffers, more.buffers, false, 0) && can_join(doc.scenes, more.scenes, false, 0) &&
        can_join(doc.materials, more.materials, false, 0) && can_join(doc.textures, more.textures, false, 0) &&
        can_join(doc.images, more.images, false, 0) && can_join(doc.cameras, more.cameras, false, 0) &&
        can_join(doc.lights, more.lights, false, 0)))
    return false;
  // The helper's nodes count their transforms from 0.
  auto transforms = (int)doc.transforms.size();
  for (size_t n = 0; n < more.nodes.size(); n++)
    if (more.nodes[n].transform >= 0) more.nodes[n].transform += transforms;
  join(doc.transforms, more.transforms);
  join(doc.accessors, more.accessors);
  join(doc.views, more.views);
  join(doc.meshes, more.meshes);
  join(doc.nodes, more.nodes);
  join(doc.buffers, more.buffers);
  join(doc.scenes, more.scenes);
  join(doc.materials, more.materials);
  join(doc.textures, more.textures);
  join(doc.images, more.images);
  join(doc.cameras, more.cameras);
  join(doc.lights, more.lights);
  if (ahead.scene_seen) doc.scene = more.scene;
  return true;
}

// This thread's events, which take the helper's records where it began.
struct glb_sax_main : glb_sax {
  read_ahead* ahead = nullptr;
  bool        joined = false;
  glb_sax_main(gltf_document& doc, std::string& problem, read_ahead* ahead) : glb_sax(doc, problem), ahead(ahead) {
    if (ahead) landing = ahead->start;
  }
  bool land(uint64_t offset) override {
    auto& a = *ahead;
    auto here = offset == a.start && depth() == 2 && path[0].name == a.array && path[1].array;
    if (here) a.wait();
    else a.cancel();
    joined = here && a.ok && !a.array_again && join_ahead(doc, a, at(1));
    if (!joined) a.doc = gltf_document{};  // this thread reads on alone
    return joined;
  }
};

// The big arrays of records, each told by a key its records have and
// other records seldom do.
const std::pair<std::string_view, json_key> telling_keys[] = {
    {"\"primitives\"", json_key::meshes},      {"\"componentType\"", json_key::accessors},
    {"\"byteLength\"", json_key::bufferViews}, {"\"mesh\"", json_key::nodes},
    {"\"matrix\"", json_key::nodes},           {"\"translation\"", json_key::nodes},
    {"\"rotation\"", json_key::nodes},         {"\"scale\"", json_key::nodes},
    {"\"children\"", json_key::nodes},
};

// Where the helper may begin in the chunk of `size` bytes: the first
// record that starts after byte `from` (a "{" after "}" and ","), and the
// array it seems to lie in, by the first telling key after it. False when
// none is found close by.
bool find_record_start(const read_function& read, uint64_t size, uint64_t from, uint64_t& start,
                       json_key& array) {
  constexpr uint64_t window = 64 << 10, look = 2048;
  if (from >= size) return false;
  auto text = std::string((size_t)std::min(window, size - from), '\0');
  if (!read(from, text.data(), text.size())) return false;
  auto space = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
  for (size_t k = 0; k < text.size(); k++) {
    if (text[k] != '}') continue;
    auto q = k + 1;
    while (q < text.size() && space(text[q])) q++;
    if (q == text.size() || text[q] != ',') continue;
    q++;
    while (q < text.size() && space(text[q])) q++;
    if (q == text.size() || text[q] != '{') continue;
    auto near = std::string_view(text).substr(q, look);
    auto best = std::string_view::npos;
    for (auto& [name, kind] : telling_keys) {
      auto at = near.find(name);
      if (at < best) best = at, array = kind;
    }
    if (best == std::string_view::npos) return false;
    start = from + q;
    return true;
  }
  return false;
}

// Reads the JSON chunk of `size` bytes into `doc`, on two threads when
// `split` lies inside it and `another` (a reader for the helper) is given.
// False as read_json_events is; `joined` tells whether the helper's
// records were taken.
bool read_json_chunk(uint64_t size, const read_function& read, const read_function& another, uint64_t split,
                     gltf_document& doc, std::string& problem, std::string& where, bool& read_failed,
                     bool& joined) {
  joined = false;
  auto ahead = std::unique_ptr<read_ahead>{};
  if (another && split < size) {
    ahead = std::make_unique<read_ahead>();
    auto& a = *ahead;
    if (find_record_start(read, size, split, a.start, a.array)) {
      try {
        a.worker = std::thread([&a, size, another] {
          try {
            auto sax = glb_sax_ahead{a};
            auto error = std::string{};
            auto failed = false;
            a.ok = read_json_events_from(size, another, a.start, "{[", sax, error, failed);
            a.scene_seen = sax.scene_seen;
          } catch (const std::exception&) {
            a.ok = false;
          }
        });
      } catch (const std::system_error&) {
        // No thread to be had: one reads it all.
      }
    }
    if (!a.worker.joinable()) ahead.reset();
  }
  auto sax = glb_sax_main{doc, problem, ahead.get()};
  auto ok = read_json_events(size, read, sax, where, read_failed);
  joined = sax.joined;
  return ok;
}

// Bytes of the binary chunk, read through a window per buffer view, so that
// the meshes, read in order, read each view once from start to end.
struct chunk_reader : gltf_byte_source {
  std::function<bool(uint64_t offset, void* out, size_t size)> read;
  uint64_t start = 0, size = 0;  // of the chunk in the source
  struct window {
    uint64_t                   first = 0;
    std::vector<unsigned char> bytes = {};
  };
  std::unordered_map<int, window> windows = {};

  explicit chunk_reader(const std::function<bool(uint64_t, void*, size_t)>& read) : read(read) {}
  void meshes_read() override { windows.clear(); }

  // The bytes [offset, offset + length) of the chunk, or null on a read
  // error; the chunk is the file's one buffer.
  const unsigned char* bytes(int key, const gltf_view&, uint64_t offset, uint64_t length) override {
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

// The document's records are gone: the memory they held goes back to the
// system, for the arrays made next are mostly too big to reuse it.
void trim_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// The lean read over any source of bytes: `size` bytes, read by `read`;
// `another` reads the same for a second thread, when there may be one.
bool read_glb(const std::string& filename, uint64_t size, const read_function& read,
              const read_function& another, glb_read_split* split, loaded_scene& scene, std::string& error,
              const progress_callback& progress) {
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
  auto doc = gltf_document{};
  auto problem = std::string{};
  {
    auto where = std::string{};
    auto read_failed = false, joined = false;
    // Split two fifths in: in a city's file the nodes and meshes come
    // first, with names and transforms, and take longer a byte than the
    // accessors after them.
    auto at = split && split->at != UINT64_MAX ? split->at
            : json_length >= split_from && std::thread::hardware_concurrency() >= 2 ? json_length / 5 * 2
                                                                                    : UINT64_MAX;
    auto in_chunk = [](const read_function& source) -> read_function {
      if (!source) return {};
      return [source](uint64_t offset, void* out, size_t count) { return source(20 + offset, out, count); };
    };
    auto ok = read_json_chunk(json_length, in_chunk(read), in_chunk(another), at, doc, problem, where,
                              read_failed, joined);
    if (split) split->taken = joined;
    if (read_failed) return error = filename + ": read error", false;
    if (!ok && problem.empty() && where.rfind("nested", 0) == 0) return fail(where);
    if (!ok) return fail(problem.empty() ? "the JSON chunk is not valid JSON (" + where + ")" : problem);
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

  // The chunk holds the first buffer only; the others cannot be read.
  doc.buffers.resize(1);
  doc.name_shapes = false;
  return convert_gltf_document(filename, doc, chunk, scene, error, progress);
}

}  // namespace

bool parse_glb_scene(const std::string& filename, const std::string& data, loaded_scene& scene,
                     std::string& error, glb_read_split* split) {
  auto read = read_function([&data](uint64_t offset, void* out, size_t size) {
    if (offset > data.size() || size > data.size() - offset) return false;
    std::memcpy(out, data.data() + offset, size);
    return true;
  });
  try {
    return read_glb(filename, data.size(), read, read, split, scene, error, {});
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
  auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
  if (!*file) return error = filename + ": file not found", false;
  auto size = (uint64_t)std::filesystem::file_size(path, status);
  if (status) return error = filename + ": read error", false;
  // Bytes of the file through a stream, the first one opened here; the
  // helper reads through a stream of its own.
  auto stream_reader = [size](std::shared_ptr<std::ifstream> stream, std::filesystem::path path) {
    return read_function([size, stream, path](uint64_t offset, void* out, size_t count) mutable {
      if (!stream) stream = std::make_shared<std::ifstream>(path, std::ios::binary);
      if (!stream->is_open() || offset > size || count > size - offset) return false;
      stream->clear();
      stream->seekg((std::streamoff)offset);
      stream->read((char*)out, (std::streamsize)count);
      return (bool)*stream && (size_t)stream->gcount() == count;
    });
  };
  auto read = stream_reader(file, path), another = stream_reader(nullptr, path);
  auto ok = false;
  try {
    ok = read_glb(filename, size, read, another, nullptr, scene, error, progress);
  } catch (const std::bad_alloc&) {
    error = filename + ": out of memory";
  }
  trim_heap();
  return ok;
}
