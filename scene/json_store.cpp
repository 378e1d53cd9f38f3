// The compact store: the shapes, instances and materials of a big scene as
// the JSON scene writer takes them.

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "scene/json_scene.h"
#include "scene/json_scene_parts.h"

// ---------------------------------------------------------------------------
// The compact store
// ---------------------------------------------------------------------------

namespace json_writing {

const char* store_text(json_scene_store& store, std::string_view text) {
  if (text.size() > store.text_left) {
    auto size = std::max(block_size, text.size());
    store.text_blocks.emplace_back(new char[size]);
    store.text_next = store.text_blocks.back().get();
    store.text_left = size;
  }
  auto at = store.text_next;
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  store.text_next += text.size();
  store.text_left -= text.size();
  return at;
}

uint32_t* store_words(json_scene_store& store, size_t count) {
  if (count > store.words_left) {
    auto size = std::max(block_size / sizeof(uint32_t), count);
    store.word_blocks.emplace_back(new uint32_t[size]);
    store.words_next = store.word_blocks.back().get();
    store.words_left = size;
  }
  auto at = store.words_next;
  store.words_next += count;
  store.words_left -= count;
  return at;
}

std::string_view name_text(const json_scene_store& store, uint32_t name) {
  auto& entry = store.names[name];
  return {entry.data, entry.size};
}

// The bits of each value, one after another: records with the same key are
// equal in every field, so they can share one entry.
template <typename T>
void add_bits(std::string& key, const T& value) {
  key.append((const char*)&value, sizeof(value));
}

uint32_t intern(std::unordered_map<std::string, uint32_t>& index, const std::string& key,
                size_t next) {
  auto found = index.find(key);
  if (found != index.end()) return found->second;
  index.emplace(key, (uint32_t)next);
  return (uint32_t)next;
}

void style_key(const scene_material& m, std::string& key) {
  key.clear();
  for (auto& v : {m.emission, m.color, m.scattering}) add_bits(key, v);
  for (auto v : {m.specular, m.roughness, m.metallic, m.ior, m.coat, m.transmission,
                 m.translucency, m.scanisotropy, m.trdepth, m.opacity})
    add_bits(key, v);
  add_bits(key, m.thin);
  for (auto t : {m.emission_tex, m.color_tex, m.specular_tex, m.metallic_tex, m.roughness_tex,
                 m.transmission_tex, m.translucency_tex, m.scattering_tex, m.coat_tex,
                 m.opacity_tex, m.normal_tex})
    add_bits(key, t);
}

uint32_t add_style(json_scene_store& store, const scene_material& m, std::string& key) {
  style_key(m, key);
  auto style = intern(store.style_index, key, store.material_styles.size());
  if (style == store.material_styles.size()) {
    store.material_styles.push_back(m);
    store.material_styles.back().name.clear();
  }
  return style;
}

uint32_t add_settings(json_scene_store& store, const json_store_settings& settings,
                      std::string& key) {
  key.clear();
  add_bits(key, settings.subdivisions);
  add_bits(key, settings.catmullclark);
  add_bits(key, settings.smooth);
  add_bits(key, settings.displacement);
  add_bits(key, settings.displacement_tex);
  auto index = intern(store.settings_index, key, store.settings.size());
  if (index == store.settings.size()) store.settings.push_back(settings);
  return index;
}

uint32_t add_settings(json_scene_store& store, const scene_shape& shape, std::string& key) {
  return add_settings(store,
                      {shape.subdivisions, shape.catmullclark, shape.smooth, shape.displacement,
                       shape.displacement_tex},
                      key);
}

uint32_t add_name(json_scene_store& store, std::string_view name) {
  store.names.push_back({store_text(store, name), name.size()});
  return (uint32_t)(store.names.size() - 1);
}

// The arrays of a shape, one after another: a word telling which are there,
// then the length of each (two words), then their values.
template <typename Visit>
void visit_arrays(const scene_shape& shape, Visit&& visit) {
  visit(shape.points), visit(shape.lines), visit(shape.triangles), visit(shape.quads);
  visit(shape.quadspos), visit(shape.quadsnorm), visit(shape.quadstexcoord);
  visit(shape.positions), visit(shape.normals), visit(shape.texcoords), visit(shape.colors);
  visit(shape.radius);
}
template <typename Visit>
void visit_arrays(scene_shape& shape, Visit&& visit) {
  visit(shape.points), visit(shape.lines), visit(shape.triangles), visit(shape.quads);
  visit(shape.quadspos), visit(shape.quadsnorm), visit(shape.quadstexcoord);
  visit(shape.positions), visit(shape.normals), visit(shape.texcoords), visit(shape.colors);
  visit(shape.radius);
}

// The words pack_geometry makes of a shape, and which arrays are there.
size_t packed_words(const scene_shape& shape, uint32_t& mask) {
  auto words = size_t{1};
  auto bit = uint32_t{1};
  mask = 0;
  visit_arrays(shape, [&](const auto& array) {
    if (!array.empty()) words += 2 + array.size() * sizeof(array[0]) / 4, mask |= bit;
    bit <<= 1;
  });
  return words;
}

void pack_into(const scene_shape& shape, uint32_t mask, uint32_t* at) {
  *at++ = mask;
  visit_arrays(shape, [&](const auto& array) {
    if (array.empty()) return;
    auto size = (uint64_t)array.size();
    std::memcpy(at, &size, sizeof(size));
    at += 2;
    std::memcpy(at, array.data(), array.size() * sizeof(array[0]));
    at += array.size() * sizeof(array[0]) / 4;
  });
}

const uint32_t* pack_geometry(json_scene_store& store, const scene_shape& shape) {
  auto mask = uint32_t{0};
  auto words = packed_words(shape, mask);
  if (mask == 0) return nullptr;
  auto data = store_words(store, words);
  pack_into(shape, mask, data);
  return data;
}

void pack_geometry(const scene_shape& shape, std::vector<uint32_t>& words) {
  auto mask = uint32_t{0};
  words.resize(packed_words(shape, mask));
  pack_into(shape, mask, words.data());
}

void unpack_geometry(const uint32_t* data, scene_shape& shape) {
  auto mask = data ? *data++ : 0u, bit = 1u;
  visit_arrays(shape, [&](auto& array) {
    array.clear();
    if (mask & bit) {
      auto size = uint64_t{0};
      std::memcpy(&size, data, sizeof(size));
      data += 2;
      array.resize((size_t)size);
      std::memcpy(static_cast<void*>(array.data()), data, array.size() * sizeof(array[0]));
      data += array.size() * sizeof(array[0]) / 4;
    }
    bit <<= 1;
  });
}

// Names met while adding one batch of records; the instance, shape and
// material of one city record share one name.
struct name_table {
  json_scene_store&                              store;
  std::unordered_map<std::string_view, uint32_t> index = {};

  uint32_t add(const std::string& name) {
    auto [found, added] = index.try_emplace(std::string_view{name}, 0u);
    if (added) found->second = add_name(store, name);
    return found->second;
  }
};

}  // namespace json_writing

void add_scene_records(json_scene_store& store, const scene_data& scene,
                       const scene_record_counts& from, bool borrow_shapes) {
  using namespace json_writing;
  auto names = name_table{store};
  names.index.reserve(scene.shapes.size() - std::min(from.shapes, scene.shapes.size()) +
                      scene.instances.size() - std::min(from.instances, scene.instances.size()));
  auto key = std::string{};
  for (auto i = from.shapes; i < scene.shapes.size(); i++) {
    auto& shape = *scene.shapes[i];
    auto entry = json_store_shape{names.add(shape.name), add_settings(store, shape, key)};
    if (borrow_shapes) {
      entry.borrowed = &shape;
    } else {
      entry.geometry = pack_geometry(store, shape);
    }
    store.shapes.push_back(entry);
  }
  for (auto i = from.instances; i < scene.instances.size(); i++) {
    auto& instance = *scene.instances[i];
    auto entry = json_store_instance{names.add(instance.name)};
    if (instance.frame != frame3f{}) {
      entry.frame = (uint32_t)store.frames.size();
      store.frames.push_back(instance.frame);
    }
    if (auto shape = instance.shape) {
      entry.shape = shape->name == instance.name ? entry.name : names.add(shape->name);
      entry.settings = add_settings(store, *shape, key);
    }
    if (auto material = instance.material)
      entry.material = material->name == instance.name ? entry.name : names.add(material->name);
    store.instances.push_back(entry);
  }
  for (auto i = from.materials; i < scene.materials.size(); i++) {
    auto& material = *scene.materials[i];
    store.materials.push_back({names.add(material.name), add_style(store, material, key)});
  }
}

void release_store_geometry(json_scene_store& store) {
  for (auto& shape : store.shapes) shape.geometry = nullptr;
  std::vector<std::unique_ptr<uint32_t[]>>().swap(store.word_blocks);
  store.words_next = nullptr;
  store.words_left = 0;
  store.geometry_released = true;
}

// A shape whose packed geometry was let go after the store's save: the
// writer that asks for it would otherwise write an empty shape.
static const scene_shape* released_shape(const json_scene_store& store, size_t index,
                                         std::string& error) {
  auto name = json_writing::name_text(store, store.shapes[index].name);
  error = "shape \"" + std::string{name} + "\": its geometry was let go after the scene was saved";
  return nullptr;
}

void json_writing::set_store_shape_record(const json_scene_store& store, size_t index,
                                          scene_shape& shape) {
  auto& entry = store.shapes[index];
  auto name = json_writing::name_text(store, entry.name);
  shape.name.assign(name.data(), name.size());
  auto& settings = store.settings[entry.settings];
  shape.subdivisions = settings.subdivisions;
  shape.catmullclark = settings.catmullclark;
  shape.smooth = settings.smooth;
  shape.displacement = settings.displacement;
  // The store keeps the scene's own texture, which the scene lets change.
  shape.displacement_tex = const_cast<scene_texture*>(settings.displacement_tex);
}

const scene_shape* store_shape_geometry(const json_scene_store& store, size_t index,
                                        scene_shape& scratch, std::string& error) {
  auto& shape = store.shapes[index];
  if (shape.borrowed) return shape.borrowed;
  json_writing::set_store_shape_record(store, index, scratch);
  if (shape.in_file) return json_writing::read_store_shape(store, index, scratch, error);
  if (store.geometry_released) return released_shape(store, index, error);
  json_writing::unpack_geometry(shape.geometry, scratch);
  return &scratch;
}

const scene_shape* json_writing::store_shape_geometry(const json_scene_store& store,
                                                      size_t index, scene_shape& scratch,
                                                      std::string& data, std::string& error) {
  auto& shape = store.shapes[index];
  if (shape.borrowed) return shape.borrowed;
  set_store_shape_record(store, index, scratch);
  if (shape.in_file) return read_store_shape_file(store, scratch, data, error);
  if (store.geometry_released) return released_shape(store, index, error);
  unpack_geometry(shape.geometry, scratch);
  return &scratch;
}
