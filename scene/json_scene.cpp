#include "scene/json_scene.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "scene/image.h"
#include "scene/json_text.h"
#include "scene/ply.h"
#include "scene/scene_files.h"
#include "scene/shape_io.h"
#include "support/files.h"
#include "support/hash.h"

using json = nlohmann::json;

// ---------------------------------------------------------------------------
// The compact store
// ---------------------------------------------------------------------------

namespace json_writing {

// Names and geometry go into blocks of this size (or one of their own when
// larger), so that nothing stored ever moves.
constexpr size_t block_size = size_t{1} << 20;

const char* store_text(json_scene_store& store, const std::string& text) {
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

uint32_t add_style(json_scene_store& store, const scene_material& m, std::string& key) {
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
  auto style = intern(store.style_index, key, store.material_styles.size());
  if (style == store.material_styles.size()) {
    store.material_styles.push_back(m);
    store.material_styles.back().name.clear();
  }
  return style;
}

uint32_t add_settings(json_scene_store& store, const scene_shape& shape, std::string& key) {
  auto settings = json_store_settings{shape.subdivisions, shape.catmullclark, shape.smooth,
                                      shape.displacement, shape.displacement_tex};
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

const uint32_t* pack_geometry(json_scene_store& store, const scene_shape& shape) {
  auto words = size_t{1};
  auto mask = uint32_t{0}, bit = uint32_t{1};
  visit_arrays(shape, [&](const auto& array) {
    if (!array.empty()) words += 2 + array.size() * sizeof(array[0]) / 4, mask |= bit;
    bit <<= 1;
  });
  if (mask == 0) return nullptr;
  auto data = store_words(store, words);
  auto at = data;
  *at++ = mask;
  visit_arrays(shape, [&](const auto& array) {
    if (array.empty()) return;
    auto size = (uint64_t)array.size();
    std::memcpy(at, &size, sizeof(size));
    at += 2;
    std::memcpy(at, array.data(), array.size() * sizeof(array[0]));
    at += array.size() * sizeof(array[0]) / 4;
  });
  return data;
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
    if (added) {
      found->second = (uint32_t)store.names.size();
      store.names.push_back({store_text(store, name), name.size()});
    }
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

const scene_shape* store_shape_geometry(const json_scene_store& store, size_t index,
                                        scene_shape& scratch, std::string& /*error*/) {
  auto& shape = store.shapes[index];
  if (shape.borrowed) return shape.borrowed;
  json_writing::unpack_geometry(shape.geometry, scratch);
  auto name = json_writing::name_text(store, shape.name);
  scratch.name.assign(name.data(), name.size());
  return &scratch;
}

// ---------------------------------------------------------------------------
// The document text
// ---------------------------------------------------------------------------

namespace json_writing {

void append_value(std::string& out, int indent, const vec3f& v) {
  append_json_numbers(out, indent, {v.x, v.y, v.z});
}
void append_value(std::string& out, int indent, const frame3f& f) {
  append_json_numbers(out, indent, {f.x.x, f.x.y, f.x.z, f.y.x, f.y.y, f.y.z, f.z.x, f.z.y, f.z.z,
                               f.o.x, f.o.y, f.o.z});
}
void append_value(std::string& out, int, float value) { append_json_number(out, value); }
void append_value(std::string& out, int, bool value) { out += value ? "true" : "false"; }
void append_value(std::string& out, int, const scene_texture* texture) {
  append_json_string(out, texture->name);
}

// Records are members of their kind's object, which is a member of the root.
constexpr int member_indent = 6;

// One member of a kind of record: its key, whether a record writes it (its
// value differs from a fresh record's) and its value.
template <typename Record>
struct member {
  const char* key;
  bool (*written)(const Record&);
  void (*append)(std::string&, const Record&);
};

#define FIELD_MEMBER(Record, key, field)                                              \
  member<Record> {                                                                    \
    key,                                                                              \
        [](const Record& r) {                                                         \
          static const auto fresh = Record{};                                         \
          return r.field != fresh.field;                                              \
        },                                                                            \
        [](std::string& out, const Record& r) { append_value(out, member_indent, r.field); } \
  }
#define TEXTURE_MEMBER(Record, key, field)                                            \
  member<Record> {                                                                    \
    key, [](const Record& r) { return r.field != nullptr; },                          \
        [](std::string& out, const Record& r) { append_value(out, member_indent, r.field); } \
  }

// Each table lists the members in the byte order of their keys, the order
// of the document.
const member<scene_camera> camera_members[] = {
    FIELD_MEMBER(scene_camera, "aperture", aperture), FIELD_MEMBER(scene_camera, "aspect", aspect),
    FIELD_MEMBER(scene_camera, "film", film),         FIELD_MEMBER(scene_camera, "focus", focus),
    FIELD_MEMBER(scene_camera, "frame", frame),       FIELD_MEMBER(scene_camera, "lens", lens),
    FIELD_MEMBER(scene_camera, "ortho", ortho),
};
const member<scene_environment> environment_members[] = {
    FIELD_MEMBER(scene_environment, "emission", emission),
    TEXTURE_MEMBER(scene_environment, "emission_tex", emission_tex),
    FIELD_MEMBER(scene_environment, "frame", frame),
};
const member<scene_material> material_members[] = {
    FIELD_MEMBER(scene_material, "coat", coat),
    TEXTURE_MEMBER(scene_material, "coat_tex", coat_tex),
    FIELD_MEMBER(scene_material, "color", color),
    TEXTURE_MEMBER(scene_material, "color_tex", color_tex),
    FIELD_MEMBER(scene_material, "emission", emission),
    TEXTURE_MEMBER(scene_material, "emission_tex", emission_tex),
    FIELD_MEMBER(scene_material, "ior", ior),
    FIELD_MEMBER(scene_material, "metallic", metallic),
    TEXTURE_MEMBER(scene_material, "metallic_tex", metallic_tex),
    TEXTURE_MEMBER(scene_material, "normal_tex", normal_tex),
    FIELD_MEMBER(scene_material, "opacity", opacity),
    TEXTURE_MEMBER(scene_material, "opacity_tex", opacity_tex),
    FIELD_MEMBER(scene_material, "roughness", roughness),
    TEXTURE_MEMBER(scene_material, "roughness_tex", roughness_tex),
    FIELD_MEMBER(scene_material, "scanisotropy", scanisotropy),
    FIELD_MEMBER(scene_material, "scattering", scattering),
    TEXTURE_MEMBER(scene_material, "scattering_tex", scattering_tex),
    FIELD_MEMBER(scene_material, "specular", specular),
    TEXTURE_MEMBER(scene_material, "specular_tex", specular_tex),
    FIELD_MEMBER(scene_material, "thin", thin),
    FIELD_MEMBER(scene_material, "translucency", translucency),
    TEXTURE_MEMBER(scene_material, "translucency_tex", translucency_tex),
    FIELD_MEMBER(scene_material, "transmission", transmission),
    TEXTURE_MEMBER(scene_material, "transmission_tex", transmission_tex),
    FIELD_MEMBER(scene_material, "trdepth", trdepth),
};

// An instance as the document sees it: its own fields, the names of its
// shape and material, and its shape's settings.
struct instance_view {
  const json_scene_store*    store    = nullptr;
  const frame3f*             frame    = nullptr;
  uint32_t                   shape    = json_store_none;
  uint32_t                   material = json_store_none;
  const json_store_settings* settings = nullptr;
};
const auto default_settings = json_store_settings{};
const auto identity_frame = frame3f{};

const member<instance_view> instance_members[] = {
    {"catmullclark", [](const instance_view& i) {
       return i.settings && i.settings->catmullclark != default_settings.catmullclark; },
     [](std::string& out, const instance_view& i) { append_value(out, 0, i.settings->catmullclark); }},
    {"displacement", [](const instance_view& i) {
       return i.settings && i.settings->displacement != default_settings.displacement; },
     [](std::string& out, const instance_view& i) { append_json_number(out, i.settings->displacement); }},
    {"displacement_tex", [](const instance_view& i) {
       return i.settings && i.settings->displacement_tex != nullptr; },
     [](std::string& out, const instance_view& i) {
       append_value(out, 0, i.settings->displacement_tex); }},
    {"frame", [](const instance_view& i) { return *i.frame != identity_frame; },
     [](std::string& out, const instance_view& i) { append_value(out, member_indent, *i.frame); }},
    {"material", [](const instance_view& i) { return i.material != json_store_none; },
     [](std::string& out, const instance_view& i) {
       append_json_string(out, name_text(*i.store, i.material)); }},
    {"shape", [](const instance_view& i) { return i.shape != json_store_none; },
     [](std::string& out, const instance_view& i) {
       append_json_string(out, name_text(*i.store, i.shape)); }},
    {"smooth", [](const instance_view& i) {
       return i.settings && i.settings->smooth != default_settings.smooth; },
     [](std::string& out, const instance_view& i) { append_value(out, 0, i.settings->smooth); }},
    {"subdivisions", [](const instance_view& i) {
       return i.settings && i.settings->subdivisions != default_settings.subdivisions; },
     [](std::string& out, const instance_view& i) { append_json_integer(out, i.settings->subdivisions); }},
};

#undef FIELD_MEMBER
#undef TEXTURE_MEMBER

// The members of records that share one name, as one record: each member
// comes from the last record that writes it. No member at all is null.
template <typename Record, size_t N>
void append_members(std::string& out, const member<Record> (&members)[N],
                    const Record* const* records, size_t count) {
  auto any = false;
  for (auto& m : members) {
    const Record* from = nullptr;
    for (size_t r = count; r-- > 0 && !from;)
      if (m.written(*records[r])) from = records[r];
    if (!from) continue;
    out += any ? ",\n" : "{\n";
    any = true;
    append_json_key(out, member_indent, m.key);
    m.append(out, *from);
  }
  out += any ? "\n    }" : "null";
}

// The document streamed into a hidden file, a part at a time.
struct document_text {
  hidden_file file;
  std::string text  = "";
  std::string error = "";
  bool        ok    = true;

  void flush(bool last = false) {
    if (ok && (last || text.size() >= block_size)) {
      ok = write_hidden_text(file, text, error);
      text.clear();
    }
  }
};

// Kinds are members of the root object; their records are members at
// indent 4.
void begin_kind(document_text& doc, bool& first_kind, const char* kind) {
  doc.text += first_kind ? "{\n" : ",\n";
  first_kind = false;
  append_json_key(doc.text, 2, kind);
  doc.text += "{\n";
}
void begin_record(document_text& doc, size_t index, std::string_view name) {
  if (index > 0) doc.text += ",\n";
  doc.text.append(4, ' ');
  append_json_string(doc.text, name);
  doc.text += ": ";
}
void end_kind(document_text& doc) { doc.text += "\n  }"; }

// Records of a scene array by name, records of one name together in array
// order.
template <typename T, size_t N>
void write_records(document_text& doc, bool& first_kind, const char* kind,
                   const std::vector<std::unique_ptr<T>>& records, const member<T> (&members)[N]) {
  if (records.empty()) return;
  begin_kind(doc, first_kind, kind);
  auto sorted = records_by_name(records);
  auto written = size_t{0};
  for (size_t begin = 0, end = 0; begin < sorted.size(); begin = end) {
    for (end = begin + 1; end < sorted.size() && sorted[end]->name == sorted[begin]->name; end++) {
    }
    begin_record(doc, written++, sorted[begin]->name);
    append_members(doc.text, members, sorted.data() + begin, end - begin);
  }
  end_kind(doc);
}

// Entries of the store by name, entries of one name in the order added.
template <typename Entry>
std::vector<uint32_t> entries_by_name(const json_scene_store& store,
                                      const std::vector<Entry>& entries) {
  auto order = std::vector<uint32_t>(entries.size());
  for (size_t i = 0; i < order.size(); i++) order[i] = (uint32_t)i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    auto na = name_text(store, entries[a].name), nb = name_text(store, entries[b].name);
    auto c = na.compare(nb);
    return c != 0 ? c < 0 : a < b;
  });
  return order;
}

// Calls f(first, count) for each run of entries of one name in `order`.
template <typename Entry, typename Func>
void for_each_name(const json_scene_store& store, const std::vector<Entry>& entries,
                   const std::vector<uint32_t>& order, Func&& f) {
  for (size_t begin = 0, end = 0; begin < order.size(); begin = end) {
    auto name = name_text(store, entries[order[begin]].name);
    for (end = begin + 1; end < order.size() && name_text(store, entries[order[end]].name) == name;
         end++) {
    }
    f(begin, end - begin);
  }
}

void write_store_materials(document_text& doc, bool& first_kind, const json_scene_store& store,
                           const std::vector<uint32_t>& order) {
  if (store.materials.empty()) return;
  begin_kind(doc, first_kind, "materials");
  // Most materials share their values with many others: each set of values
  // is turned into text once.
  auto style_text = std::vector<std::string>(store.material_styles.size());
  auto style_done = std::vector<bool>(store.material_styles.size());
  auto group = std::vector<const scene_material*>{};
  auto written = size_t{0};
  for_each_name(store, store.materials, order, [&](size_t first, size_t count) {
    auto& entry = store.materials[order[first]];
    begin_record(doc, written++, name_text(store, entry.name));
    if (count == 1) {
      if (!style_done[entry.style]) {
        auto style = &store.material_styles[entry.style];
        append_members(style_text[entry.style], material_members, &style, 1);
        style_done[entry.style] = true;
      }
      doc.text += style_text[entry.style];
    } else {
      group.clear();
      for (size_t k = 0; k < count; k++)
        group.push_back(&store.material_styles[store.materials[order[first + k]].style]);
      append_members(doc.text, material_members, group.data(), count);
    }
    doc.flush();
  });
  end_kind(doc);
}

void write_store_instances(document_text& doc, bool& first_kind, const json_scene_store& store,
                           const std::vector<uint32_t>& order) {
  if (store.instances.empty()) return;
  begin_kind(doc, first_kind, "instances");
  auto views = std::vector<instance_view>{};
  auto group = std::vector<const instance_view*>{};
  auto written = size_t{0};
  for_each_name(store, store.instances, order, [&](size_t first, size_t count) {
    views.resize(count);
    group.resize(count);
    for (size_t k = 0; k < count; k++) {
      auto& entry = store.instances[order[first + k]];
      views[k] = {&store, &store.frames[entry.frame], entry.shape, entry.material,
                  entry.settings != json_store_none ? &store.settings[entry.settings] : nullptr};
      group[k] = &views[k];
    }
    begin_record(doc, written++, name_text(store, store.instances[order[first]].name));
    append_members(doc.text, instance_members, group.data(), count);
    doc.flush();
  });
  end_kind(doc);
}

// The JSON library refuses to write text that is not valid UTF-8.
bool has_valid_text(const scene_data& scene, const json_scene_store& store) {
  if (!is_valid_utf8(scene.copyright)) return false;
  for (auto& camera : scene.cameras)
    if (!is_valid_utf8(camera->name)) return false;
  for (auto& environment : scene.environments) {
    if (!is_valid_utf8(environment->name)) return false;
    if (environment->emission_tex && !is_valid_utf8(environment->emission_tex->name)) return false;
  }
  for (auto& texture : scene.textures)
    if (!is_valid_utf8(texture->name)) return false;
  for (auto& name : store.names)
    if (!is_valid_utf8(std::string_view{name.data, name.size})) return false;
  return true;
}

bool write_document(const std::string& filename, const scene_data& scene,
                    const json_scene_store& store, const std::vector<uint32_t>& material_order,
                    const std::vector<uint32_t>& instance_order, pending_scene_file& pending,
                    std::string& error) {
  if (!has_valid_text(scene, store)) {
    error = filename + ": invalid UTF-8 in a record name or the copyright";
    return false;
  }
  auto doc = document_text{};
  if (!open_hidden_file(filename, doc.file, error)) return false;
  auto first_kind = true;
  begin_kind(doc, first_kind, "asset");
  if (!scene.copyright.empty()) {
    append_json_key(doc.text, 4, "copyright");
    append_json_string(doc.text, scene.copyright);
    doc.text += ",\n";
  }
  append_json_key(doc.text, 4, "generator");
  append_json_string(doc.text, scene_generator_name);
  end_kind(doc);
  write_records(doc, first_kind, "cameras", scene.cameras, camera_members);
  write_records(doc, first_kind, "environments", scene.environments, environment_members);
  write_store_instances(doc, first_kind, store, instance_order);
  write_store_materials(doc, first_kind, store, material_order);
  doc.text += "\n}";
  doc.flush(true);
  if (!doc.ok) return error = doc.error, false;
  pending.path = filename;
  return close_hidden_file(doc.file, pending.temp, error);
}

// ---------------------------------------------------------------------------
// The shape files
// ---------------------------------------------------------------------------

// Subdivided Catmull-Clark shapes keep their quads in OBJ files.
const char* shape_extension(const json_store_settings& settings) {
  return (settings.catmullclark && settings.subdivisions > 0) ? ".obj" : ".ply";
}

// For each shape, the next shape written to the same file, or none. A file
// that a later shape rewrites ends up with that shape's content alone.
std::vector<uint32_t> next_same_file(const json_scene_store& store) {
  auto count = store.shapes.size();
  auto keyed = std::vector<std::pair<uint64_t, uint32_t>>(count);
  for (size_t i = 0; i < count; i++) {
    auto& shape = store.shapes[i];
    auto name = name_text(store, shape.name);
    auto hash = stable_hash{};
    hash.add_bytes(name);
    hash.add(shape_extension(store.settings[shape.settings]), 4);
    keyed[i] = {hash.value, (uint32_t)i};
  }
  std::sort(keyed.begin(), keyed.end());
  auto same_file = [&](uint32_t a, uint32_t b) {
    auto& sa = store.shapes[a];
    auto& sb = store.shapes[b];
    return name_text(store, sa.name) == name_text(store, sb.name) &&
           shape_extension(store.settings[sa.settings]) ==
               shape_extension(store.settings[sb.settings]);
  };
  auto next = std::vector<uint32_t>(count, json_store_none);
  for (size_t begin = 0, end = 0; begin < count; begin = end) {
    for (end = begin + 1; end < count && keyed[end].first == keyed[begin].first; end++) {
    }
    // Within one hash, link each shape to the next of the same file.
    for (auto i = begin; i < end; i++) {
      for (auto j = i + 1; j < end; j++) {
        if (same_file(keyed[i].second, keyed[j].second)) {
          next[keyed[i].second] = keyed[j].second;
          break;
        }
      }
    }
  }
  return next;
}

// Shape files go to a second thread in batches: while it writes one batch,
// the calling thread prepares the next.
struct shape_batch {
  struct item {
    size_t index  = 0;  // the shape's place in the scene
    bool   text   = false;
    size_t start  = 0, size = 0;  // its bytes in `bytes`
    bool   failed = false;        // could not even be made; `error` says why
  };
  std::vector<item>        items = {};
  std::vector<std::string> paths = {};
  std::string              bytes = "";
  std::string              error = "";
  size_t first = 0, last = 0;  // the shapes the batch stands for
  // Set by the writer: how many items were written, and whether it stopped
  // at a failure (the item after those written).
  size_t written = 0;
  bool   failed  = false;
};

struct shape_writer {
  std::mutex                  mutex;
  std::condition_variable     changed;
  std::vector<shape_batch*>   queue = {};  // handed over, not yet written
  std::vector<shape_batch*>   done  = {};
  bool                        stop  = false;
  bool                        failed = false;

  void run() {
    for (;;) {
      auto lock = std::unique_lock{mutex};
      changed.wait(lock, [&] { return stop || !queue.empty(); });
      if (queue.empty()) return;
      auto batch = queue.front();
      queue.erase(queue.begin());
      auto skip = failed;
      lock.unlock();
      if (!skip) write(*batch);
      lock.lock();
      failed = failed || batch->failed;
      done.push_back(batch);
      changed.notify_all();
    }
  }

  static void write(shape_batch& batch) {
    auto error = std::string{};
    for (auto& item : batch.items) {
      auto ok = !item.failed;
      if (ok) {
        auto& path = batch.paths[batch.written];
        try {
          if (item.text) {
            ok = save_text(path, batch.bytes.substr(item.start, item.size), error);
          } else {
            ok = save_file(path, batch.bytes.data() + item.start, item.size, error);
          }
        } catch (const std::exception&) {
          ok = false, error = path + ": write error";
        }
        if (!ok) batch.error = error;
      }
      if (!ok) {
        batch.failed = true;
        return;
      }
      batch.written++;
    }
  }
};

// The writer's thread, stopped and joined however the scope is left.
struct writer_thread {
  shape_writer& writer;
  std::thread   thread;
  explicit writer_thread(shape_writer& w) : writer(w), thread([&w] { w.run(); }) {}
  ~writer_thread() {
    {
      auto lock = std::unique_lock{writer.mutex};
      writer.stop = true;
      writer.changed.notify_all();
    }
    thread.join();
  }
};

// The files of all shapes, as a loop that saves shape after shape would
// leave them, reporting ("save shape", 2 + i, total) before shape i and
// stopping at the first failure. Shapes that share a file are written once,
// with the last content, when the first of them comes; should any of their
// contents fail to become a file, each is written in turn instead, so that
// the same failure comes at the same shape.
bool save_store_shapes(const std::string& filename, const json_scene_store& store,
                       const std::vector<uint32_t>& next, const progress_callback& progress,
                       int total, std::string& error) {
  auto count = store.shapes.size();
  if (count == 0) return true;
  auto folder = path_join(path_dirname(filename), "shapes") + "/";
  auto skip = std::vector<bool>(count);
  auto has_previous = std::vector<bool>(count);
  for (size_t i = 0; i < count; i++)
    if (next[i] != json_store_none) has_previous[next[i]] = true;

  auto scratch = scene_shape{};
  auto encode = [&](size_t i, std::string& path, std::string& bytes, bool& text,
                    std::string& inner) {
    auto& shape = store.shapes[i];
    auto name = name_text(store, shape.name);
    path.assign(folder).append(name).append(shape_extension(store.settings[shape.settings]));
    auto geometry = store_shape_geometry(store, i, scratch, inner);
    return geometry && encode_shape(path, *geometry, bytes, text, inner, true);
  };

  shape_batch batches[3];
  auto writer = shape_writer{};
  auto thread = writer_thread{writer};
  auto free_batches = std::vector<shape_batch*>{&batches[0], &batches[1], &batches[2]};
  auto in_flight = std::vector<shape_batch*>{};
  auto reported = size_t{0};
  auto failed = false;
  auto report = [&](size_t up_to) {
    for (; reported < up_to; reported++)
      if (progress) progress("save shape", 2 + (int)reported, total);
  };
  // Waits for the oldest batch handed over and reports its shapes.
  auto collect = [&] {
    auto batch = in_flight.front();
    in_flight.erase(in_flight.begin());
    {
      auto lock = std::unique_lock{writer.mutex};
      writer.changed.wait(lock, [&] {
        return std::find(writer.done.begin(), writer.done.end(), batch) != writer.done.end();
      });
      writer.done.erase(std::find(writer.done.begin(), writer.done.end(), batch));
    }
    if (!failed && batch->failed) {
      auto& item = batch->items[batch->written];
      report(item.index + 1);
      error = filename + ": error in " + batch->error;
      failed = true;
    } else if (!failed) {
      report(batch->last);
    }
    free_batches.push_back(batch);
  };

  const size_t batch_shapes = 512;
  auto path = std::string{}, bytes = std::string{}, inner = std::string{};
  auto text = false;
  for (size_t first = 0; first < count && !failed;) {
    if (free_batches.empty()) {
      collect();
      continue;
    }
    auto batch = free_batches.back();
    free_batches.pop_back();
    batch->items.clear();
    batch->bytes.clear();
    batch->error.clear();
    batch->written = 0;
    batch->failed = false;
    batch->first = first;
    auto paths = size_t{0};
    auto i = first;
    auto add = [&](size_t index, bool ok) {
      auto item = shape_batch::item{index, text, batch->bytes.size(), bytes.size(), !ok};
      if (ok) {
        batch->bytes += bytes;
        if (paths == batch->paths.size()) batch->paths.emplace_back();
        batch->paths[paths++] = path;
      } else {
        batch->error = inner;
      }
      batch->items.push_back(item);
      return ok;
    };
    for (; i < count && i < first + batch_shapes; i++) {
      if (skip[i]) continue;
      if (next[i] == json_store_none || has_previous[i]) {
        // A file of its own, or one of shapes sharing a file written in turn.
        if (!add(i, encode(i, path, bytes, text, inner))) {
          i++;
          break;
        }
        continue;
      }
      // The first of shapes sharing a file: every content must make a file,
      // and the last one is written.
      auto all_ok = encode(i, path, bytes, text, inner);
      for (auto j = next[i]; all_ok && j != json_store_none; j = next[j])
        all_ok = encode(j, path, bytes, text, inner);
      if (all_ok) {
        for (auto j = next[i]; j != json_store_none; j = next[j]) skip[j] = true;
        // path and bytes hold the last shape's file, the same path as this one's
        add(i, true);
      } else {
        if (!add(i, encode(i, path, bytes, text, inner))) {
          i++;
          break;
        }
      }
    }
    batch->last = i;
    first = i;
    {
      auto lock = std::unique_lock{writer.mutex};
      writer.queue.push_back(batch);
      writer.changed.notify_all();
    }
    in_flight.push_back(batch);
    // An item that could not even be encoded ends the batches.
    if (!batch->items.empty() && batch->items.back().failed) break;
  }
  while (!in_flight.empty()) collect();
  if (failed) return false;
  report(count);
  return true;
}

// Which textures get a file: those textures_to_save picks from the scene,
// and those that the records of the store refer to.
std::vector<bool> store_textures_to_save(const scene_data& scene, const json_scene_store& store) {
  auto save = textures_to_save(scene);
  auto used = std::unordered_map<const scene_texture*, bool>{};
  for (auto& m : store.material_styles) {
    for (auto texture : {m.emission_tex, m.color_tex, m.specular_tex, m.metallic_tex,
                         m.roughness_tex, m.transmission_tex, m.translucency_tex,
                         m.scattering_tex, m.coat_tex, m.opacity_tex, m.normal_tex})
      used[texture] = true;
  }
  for (auto& settings : store.settings) used[settings.displacement_tex] = true;
  for (size_t j = 0; j < scene.textures.size(); j++)
    if (used.count(scene.textures[j].get())) save[j] = true;
  return save;
}

bool save_store_files(const std::string& filename, const scene_data& scene,
                      const json_scene_store& store, std::string& error,
                      const progress_callback& progress) {
  // Names become file names: refuse any that could leave the two folders
  // before a single byte is written.
  auto name = std::string{};
  for (auto& shape : store.shapes) {
    auto text = name_text(store, shape.name);
    name.assign(text.data(), text.size());
    if (!check_file_name(filename, "shape", name, error)) return false;
  }
  for (auto& texture : scene.textures)
    if (!check_file_name(filename, "texture", texture->name, error)) return false;

  auto shapes = (int)store.shapes.size(), textures = (int)scene.textures.size();
  auto total = shapes + textures + 2;
  if (progress) progress("save scene", 0, total);
  // Which shapes share a file is worked out on the second thread while the
  // records are put in order.
  auto next = std::vector<uint32_t>{};
  auto planned = false;
  auto instance_order = std::vector<uint32_t>{}, material_order = std::vector<uint32_t>{};
  {
    auto planner = std::thread([&] {
      try {
        next = next_same_file(store);
        planned = true;
      } catch (const std::exception&) {
      }
    });
    struct joiner {
      std::thread& thread;
      ~joiner() { thread.join(); }
    } join_planner{planner};
    instance_order = entries_by_name(store, store.instances);
    // The city gives each instance a material of its name: one order serves
    // both.
    auto same_names = store.materials.size() == store.instances.size();
    for (size_t i = 0; same_names && i < store.materials.size(); i++)
      same_names = store.materials[i].name == store.instances[i].name;
    material_order = same_names ? instance_order : entries_by_name(store, store.materials);
  }
  if (!planned) throw std::bad_alloc();
  if (progress) progress("save scene", 1, total);

  // The document appears under its name only once every file it names is
  // written.
  auto document_file = pending_scene_file{};
  if (!write_document(filename, scene, store, material_order, instance_order, document_file,
                      error))
    return false;
  instance_order = {}, material_order = {};

  if (!save_store_shapes(filename, store, next, progress, total, error)) return false;
  auto dirname = path_dirname(filename);
  auto inner = std::string{};
  auto save = store_textures_to_save(scene, store);
  for (int j = 0; j < textures; j++) {
    if (progress) progress("save texture", 2 + shapes + j, total);
    auto& texture = *scene.textures[j];
    auto path = path_join(dirname, texture_file(texture));
    if (save[j] && !save_texture_image(path, texture.hdr, texture.ldr, inner)) {
      error = filename + ": error in " + inner;
      return false;
    }
  }
  if (!publish_scene_file(document_file, error)) return false;
  if (progress) progress("save done", total, total);
  return true;
}

}  // namespace json_writing

bool save_json_scene(const std::string& filename, const scene_data& scene,
                     const json_scene_store& store, std::string& error,
                     const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] {
    return json_writing::save_store_files(filename, scene, store, error, progress);
  });
}

bool save_json_scene(const std::string& filename, const scene_data& scene, std::string& error,
                     const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] {
    auto store = json_scene_store{};
    add_scene_records(store, scene, {}, true);
    return json_writing::save_store_files(filename, scene, store, error, progress);
  });
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

namespace {

// One member of a record as the document gives it. Arrays keep only their
// first numbers: no member holds more than 12, so a hostile array of
// millions costs nothing.
struct member_value {
  enum struct type { null, boolean, number, string, array, other };
  type                kind         = type::null;
  bool                boolean      = false;
  double              number       = 0;
  std::string         text         = "";
  std::vector<double> numbers      = {};
  size_t              length       = 0;     // array elements, numbers or not
  bool                numbers_only = true;  // every array element a number
};
using member_list = std::vector<std::pair<std::string, member_value>>;

const size_t max_kept_numbers = 16;

// The readers of member values: false with what was expected.
bool read_value(const member_value& v, float& out, const char*& expected) {
  // Converting a double beyond the float range is undefined: refuse it.
  if (v.kind != member_value::type::number || !(std::fabs(v.number) <= FLT_MAX))
    return expected = "a number in the range of a float", false;
  out = (float)v.number;
  return true;
}
bool read_value(const member_value& v, bool& out, const char*& expected) {
  if (v.kind != member_value::type::boolean) return expected = "true or false", false;
  out = v.boolean;
  return true;
}
bool read_value(const member_value& v, int& out, const char*& expected) {
  if (v.kind != member_value::type::number || v.number != std::floor(v.number) ||
      v.number < INT32_MIN || v.number > INT32_MAX)
    return expected = "a 32-bit integer", false;
  out = (int)v.number;
  return true;
}
bool read_floats(const member_value& v, float* out, size_t count) {
  if (v.kind != member_value::type::array || !v.numbers_only || v.length != count)
    return false;
  for (size_t k = 0; k < count; k++) {
    if (!(std::fabs(v.numbers[k]) <= FLT_MAX)) return false;
    out[k] = (float)v.numbers[k];
  }
  return true;
}
bool read_value(const member_value& v, vec3f& out, const char*& expected) {
  float values[3];
  if (!read_floats(v, values, 3))
    return expected = "an array of 3 numbers in the range of a float", false;
  out = {values[0], values[1], values[2]};
  return true;
}
bool read_value(const member_value& v, frame3f& out, const char*& expected) {
  float f[12];
  if (!read_floats(v, f, 12))
    return expected = "an array of 12 numbers in the range of a float", false;
  out = {{f[0], f[1], f[2]}, {f[3], f[4], f[5]}, {f[6], f[7], f[8]}, {f[9], f[10], f[11]}};
  return true;
}

enum struct section { none, asset, cameras, environments, materials, instances, unknown };

section section_of(const std::string& key) {
  if (key == "asset") return section::asset;
  if (key == "cameras") return section::cameras;
  if (key == "environments") return section::environments;
  if (key == "materials") return section::materials;
  if (key == "instances") return section::instances;
  return section::unknown;
}

const char* record_kind(section kind) {
  switch (kind) {
    case section::cameras: return "camera";
    case section::environments: return "environment";
    case section::materials: return "material";
    case section::instances: return "instance";
    default: return "record";
  }
}

// The subdivision and displacement settings an instance gives its shape.
struct shape_settings {
  int            subdivisions     = 0;
  bool           catmullclark     = true;
  bool           smooth           = true;
  float          displacement     = 0;
  scene_texture* displacement_tex = nullptr;
};

// Turns records into scene records. Shapes and textures are made on their
// first reference and read from their files once the document is done.
struct scene_builder {
  const std::string& filename;
  scene_data&        scene;
  std::string        problem = "";  // the document has the wrong form
  std::string        error   = "";  // any other failure, whole

  // Record positions by name. The keys are views of the records' own
  // names, which stay in place as long as the scene lives.
  using index = std::unordered_map<std::string_view, size_t>;
  index cameras = {}, environments = {}, materials = {}, instances = {};
  index shapes = {}, textures = {};
  // The material each instance names, by instance position: materials are
  // looked up once every record is known.
  std::vector<std::string> instance_material = {};
  std::vector<bool>        has_material      = {};
  // Shapes whose settings an instance gave already, by shape position.
  std::vector<bool> shaped = {};

  scene_builder(const std::string& filename, scene_data& scene, size_t size_hint)
      : filename(filename), scene(scene) {
    // A city takes about 300 bytes of document per instance.
    auto records = size_hint / 300;
    instances.reserve(records), materials.reserve(records), shapes.reserve(records);
  }

  // The position of the record of that name, made when it is new. With
  // `fresh` a record met again starts over, in its first place.
  template <typename T, typename Add>
  size_t record(std::vector<std::unique_ptr<T>>& records, index& positions,
                const std::string& name, Add add, bool fresh) {
    auto found = positions.find(name);
    if (found != positions.end()) {
      if (fresh) {
        // The name keeps its characters where they are, so the key stays valid.
        auto& old = *records[found->second];
        auto reset = T{};
        reset.name = std::move(old.name);
        old = std::move(reset);
      }
      return found->second;
    }
    add(scene, name)->name = name;  // also the empty name, which add_* would number
    positions.emplace(records.back()->name, records.size() - 1);
    return records.size() - 1;
  }

  // A name that becomes a file name; anything that could leave its folder
  // is refused, naming the record that holds it.
  bool check_name(section kind, const std::string& record, const char* what,
                  const std::string& name) {
    if (is_valid_file_name(name)) return true;
    error = filename + ": error in " + record_kind(kind) + " \"" + record + "\": " + what +
            " \"" + name + "\" is not a valid file name";
    return false;
  }

  bool texture_ref(section kind, const std::string& record, const member_value& v,
                   scene_texture*& out, const char*& expected) {
    if (v.kind != member_value::type::string) return expected = "a texture name", false;
    if (!check_name(kind, record, "texture", v.text)) return false;
    out = scene.textures[this->record(scene.textures, textures, v.text, add_texture, false)].get();
    return true;
  }

  bool camera_member(scene_camera& c, const std::string& key, const member_value& v,
                     const char*& expected) {
    if (key == "frame") return read_value(v, c.frame, expected);
    if (key == "ortho") return read_value(v, c.ortho, expected);
    if (key == "lens") return read_value(v, c.lens, expected);
    if (key == "film") return read_value(v, c.film, expected);
    if (key == "aspect") return read_value(v, c.aspect, expected);
    if (key == "focus") return read_value(v, c.focus, expected);
    if (key == "aperture") return read_value(v, c.aperture, expected);
    return true;
  }

  bool environment_member(scene_environment& e, const std::string& key, const member_value& v,
                          const char*& expected) {
    if (key == "frame") return read_value(v, e.frame, expected);
    if (key == "emission") return read_value(v, e.emission, expected);
    if (key == "emission_tex")
      return texture_ref(section::environments, e.name, v, e.emission_tex, expected);
    return true;
  }

  bool material_member(scene_material& m, const std::string& key, const member_value& v,
                       const char*& expected) {
    if (key == "emission") return read_value(v, m.emission, expected);
    if (key == "color") return read_value(v, m.color, expected);
    if (key == "specular") return read_value(v, m.specular, expected);
    if (key == "roughness") return read_value(v, m.roughness, expected);
    if (key == "metallic") return read_value(v, m.metallic, expected);
    if (key == "ior") return read_value(v, m.ior, expected);
    if (key == "coat") return read_value(v, m.coat, expected);
    if (key == "transmission") return read_value(v, m.transmission, expected);
    if (key == "translucency") return read_value(v, m.translucency, expected);
    if (key == "scattering") return read_value(v, m.scattering, expected);
    if (key == "scanisotropy") return read_value(v, m.scanisotropy, expected);
    if (key == "trdepth") return read_value(v, m.trdepth, expected);
    if (key == "opacity") return read_value(v, m.opacity, expected);
    if (key == "thin") return read_value(v, m.thin, expected);
    const std::pair<const char*, scene_texture**> maps[] = {
        {"emission_tex", &m.emission_tex},         {"color_tex", &m.color_tex},
        {"specular_tex", &m.specular_tex},         {"metallic_tex", &m.metallic_tex},
        {"roughness_tex", &m.roughness_tex},       {"transmission_tex", &m.transmission_tex},
        {"translucency_tex", &m.translucency_tex}, {"scattering_tex", &m.scattering_tex},
        {"coat_tex", &m.coat_tex},                 {"opacity_tex", &m.opacity_tex},
        {"normal_tex", &m.normal_tex}};
    for (auto& [name, texture] : maps)
      if (key == name) return texture_ref(section::materials, m.name, v, *texture, expected);
    return true;
  }

  bool instance_member(size_t position, shape_settings& s, const std::string& key,
                       const member_value& v, const char*& expected) {
    auto& i = *scene.instances[position];
    if (key == "frame") return read_value(v, i.frame, expected);
    if (key == "shape") {
      if (v.kind != member_value::type::string) return expected = "a shape name", false;
      if (!check_name(section::instances, i.name, "shape", v.text)) return false;
      i.shape = scene.shapes[record(scene.shapes, shapes, v.text, add_shape, false)].get();
      return true;
    }
    if (key == "material") {
      if (v.kind != member_value::type::string) return expected = "a material name", false;
      instance_material[position] = v.text;
      has_material[position] = true;
      return true;
    }
    if (key == "subdivisions") return read_value(v, s.subdivisions, expected);
    if (key == "catmullclark") return read_value(v, s.catmullclark, expected);
    if (key == "smooth") return read_value(v, s.smooth, expected);
    if (key == "displacement") return read_value(v, s.displacement, expected);
    if (key == "displacement_tex")
      return texture_ref(section::instances, i.name, v, s.displacement_tex, expected);
    return true;
  }

  bool add_record(section kind, const std::string& name, const member_list& members,
                  size_t count) {
    auto position = size_t{0};
    switch (kind) {
      case section::cameras:
        position = record(scene.cameras, cameras, name, add_camera, true);
        break;
      case section::environments:
        position = record(scene.environments, environments, name, add_environment, true);
        break;
      case section::materials:
        position = record(scene.materials, materials, name, add_material, true);
        break;
      case section::instances:
        position = record(scene.instances, instances, name, add_instance, true);
        instance_material.resize(scene.instances.size());
        has_material.resize(scene.instances.size());
        instance_material[position].clear();
        has_material[position] = false;
        break;
      default: return true;
    }
    auto settings = shape_settings{};
    for (size_t k = 0; k < count; k++) {
      auto& [key, value] = members[k];
      // A member given as null keeps its default, like one left out.
      if (value.kind == member_value::type::null) continue;
      const char* expected = nullptr;
      auto ok = false;
      switch (kind) {
        case section::cameras:
          ok = camera_member(*scene.cameras[position], key, value, expected);
          break;
        case section::environments:
          ok = environment_member(*scene.environments[position], key, value, expected);
          break;
        case section::materials:
          ok = material_member(*scene.materials[position], key, value, expected);
          break;
        default: ok = instance_member(position, settings, key, value, expected); break;
      }
      if (ok) continue;
      if (expected) {
        problem = std::string(record_kind(kind)) + " \"" + name + "\": \"" + key + "\" is not " +
                  expected;
      }
      return false;
    }
    if (kind != section::instances) return true;
    // A shape shared by several instances takes the settings of the first;
    // the writer gives every instance of a shape the same ones.
    auto shape = scene.instances[position]->shape;
    if (!shape) return true;
    auto shape_position = shapes.at(shape->name);
    if (shaped.size() <= shape_position) shaped.resize(scene.shapes.size());
    if (shaped[shape_position]) return true;
    shaped[shape_position] = true;
    shape->subdivisions = settings.subdivisions;
    shape->catmullclark = settings.catmullclark;
    shape->smooth = settings.smooth;
    shape->displacement = settings.displacement;
    shape->displacement_tex = settings.displacement_tex;
    return true;
  }

  bool set_copyright(const member_value& v) {
    if (v.kind == member_value::type::null) return true;
    if (v.kind != member_value::type::string)
      return problem = "\"asset\": \"copyright\" is not a text", false;
    scene.copyright = v.text;
    return true;
  }

  bool resolve_materials() {
    for (size_t i = 0; i < scene.instances.size(); i++) {
      if (i >= has_material.size() || !has_material[i]) continue;
      auto found = materials.find(instance_material[i]);
      if (found == materials.end()) {
        problem = "instance \"" + scene.instances[i]->name + "\": no material \"" +
                  instance_material[i] + "\"";
        return false;
      }
      scene.instances[i]->material = scene.materials[found->second].get();
    }
    return true;
  }
};

// Walks the document as a stream of events (the JSON library's SAX
// interface), so a city of hundreds of thousands of records is read without
// a tree of the whole document in memory. Depth 1 holds the kinds of
// records, depth 2 the records, depth 3 their members, depth 4 the numbers
// of array members.
struct document_reader {
  scene_builder&    builder;
  std::vector<bool> open       = {};  // one entry per open object or array
  section           current    = section::none;
  std::string       kind_name  = "";
  std::string       record     = "";
  std::string       member     = "";
  member_list       members    = {};  // slots reused from record to record
  size_t            used       = 0;

  explicit document_reader(scene_builder& builder) : builder(builder) {}

  bool records() const {
    return current == section::cameras || current == section::environments ||
           current == section::materials || current == section::instances;
  }
  bool fail(const std::string& problem) {
    builder.problem = problem;
    return false;
  }
  bool not_object(size_t depth) {
    if (depth == 0) return fail("the document is not an object");
    if (depth == 1) return fail("\"" + kind_name + "\" is not an object");
    return fail(std::string(record_kind(current)) + " \"" + record +
                "\" is not an object or null");
  }
  member_value* array_member() {
    if (used == 0 || members[used - 1].second.kind != member_value::type::array) return nullptr;
    return &members[used - 1].second;
  }
  // The next member of the record, cleared but keeping its capacity.
  member_value& next_member() {
    if (used == members.size()) members.emplace_back();
    auto& [key, value] = members[used++];
    key = member;
    value.kind = member_value::type::null;
    value.numbers.clear();
    value.length = 0;
    value.numbers_only = true;
    return value;
  }

  bool value(member_value&& v) {
    auto depth = open.size();
    if (depth == 0) return not_object(0);
    if (current == section::unknown || current == section::none) return true;
    if (current == section::asset) {
      if (depth == 1 && v.kind != member_value::type::null) return not_object(1);
      if (depth == 2 && record == "copyright") return builder.set_copyright(v);
      return true;
    }
    if (depth == 1) {
      // A kind given as null has no records.
      if (v.kind == member_value::type::null) return true;
      return not_object(1);
    }
    if (depth == 2) {
      if (v.kind != member_value::type::null) return not_object(2);
      return builder.add_record(current, record, members, 0);
    }
    if (depth == 3) {
      auto& slot = next_member();
      slot.kind = v.kind, slot.boolean = v.boolean, slot.number = v.number;
      slot.text = std::move(v.text);
      return true;
    }
    if (depth == 4) {
      if (auto array = array_member()) {
        array->length++;
        if (v.kind != member_value::type::number) array->numbers_only = false;
        else if (array->numbers.size() < max_kept_numbers) array->numbers.push_back(v.number);
      }
    }
    return true;
  }

  bool start(bool is_array) {
    auto depth = open.size();
    if (depth == 0 && is_array) return not_object(0);
    if (depth == 1 && is_array && (records() || current == section::asset)) return not_object(1);
    if (current == section::asset && depth == 2 && record == "copyright")
      return fail("\"asset\": \"copyright\" is not a text");
    if (records()) {
      if (depth == 2) {
        if (is_array) return not_object(2);
        used = 0;
      }
      if (depth == 3)
        next_member().kind = is_array ? member_value::type::array : member_value::type::other;
      if (depth == 4) {
        if (auto array = array_member()) array->length++, array->numbers_only = false;
      }
    }
    open.push_back(is_array);
    return true;
  }

  bool end() {
    open.pop_back();
    if (open.size() == 2 && records() && !builder.add_record(current, record, members, used))
      return false;
    if (open.size() <= 1) record.clear();
    return true;
  }

  // The SAX interface.
  bool null() { return value({}); }
  bool boolean(bool b) {
    auto v = member_value{};
    v.kind = member_value::type::boolean, v.boolean = b;
    return value(std::move(v));
  }
  bool number(double n) {
    auto v = member_value{};
    v.kind = member_value::type::number, v.number = n;
    return value(std::move(v));
  }
  bool number_integer(int64_t n) { return number((double)n); }
  bool number_unsigned(uint64_t n) { return number((double)n); }
  bool number_float(double n, const std::string&) { return number(n); }
  bool string(std::string& s) {
    auto v = member_value{};
    v.kind = member_value::type::string, v.text = std::move(s);
    return value(std::move(v));
  }
  bool binary(nlohmann::json::binary_t&) { return value(member_value{member_value::type::other}); }
  bool start_object(size_t) { return start(false); }
  bool start_array(size_t) { return start(true); }
  bool end_object() { return end(); }
  bool end_array() { return end(); }
  bool key(std::string& k) {
    auto depth = open.size();
    if (depth == 1) current = section_of(k), kind_name = k;
    if (depth == 2) record = k;
    if (depth == 3) member = k;
    return true;
  }
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }
};

// A PLY file that declares no rows at all: the empty shape the writer saves
// for a record without geometry (every tree leaves one behind).
bool is_empty_ply(const std::string& path) {
  auto model = ply_model{};
  auto error = std::string{};
  if (!load_ply(path, model, error)) return false;
  for (auto& element : model.elements)
    if (element.count != 0) return false;
  return true;
}

bool load_scene_shape(const std::string& filename, const std::string& dirname,
                      scene_shape& shape, std::string& error) {
  // The writer's choice of file first, then the other one.
  auto obj_first = shape.catmullclark && shape.subdivisions > 0;
  auto stem = path_join(dirname, "shapes/" + shape.name);
  auto path = stem + (obj_first ? ".obj" : ".ply");
  auto inner = std::string{};
  if (load_shape(path, shape, inner, false, true)) return true;
  auto other = stem + (obj_first ? ".ply" : ".obj");
  if (inner == path + ": file not found" && path_exists(other)) {
    path = other;
    if (load_shape(path, shape, inner, false, true)) return true;
  }
  if (inner == path + ": empty shape" && has_extension(path, ".ply") && is_empty_ply(path))
    return true;
  error = filename + ": error in " + inner;
  return false;
}

bool load_scene_texture(const std::string& filename, const std::string& dirname,
                        scene_texture& texture, std::string& error) {
  auto stem = path_join(dirname, "textures/" + texture.name);
  auto inner = std::string{};
  for (auto ext : {".png", ".jpg", ".hdr", ".exr", ".pfm"}) {
    auto path = stem + ext;
    if (!path_exists(path)) continue;
    auto is_float = has_extension(path, ".hdr") || has_extension(path, ".exr") ||
                    has_extension(path, ".pfm");
    auto ok = is_float ? load_image(path, texture.hdr, inner)
                       : load_image(path, texture.ldr, inner);
    if (ok) return true;
    error = filename + ": error in " + inner;
    return false;
  }
  error = filename + ": error in " + stem + ".png: file not found (nor .jpg, .hdr, .exr, .pfm)";
  return false;
}

// The shape files, each once. A city has hundreds of thousands of small
// ones, so a few threads read them, each taking the next unread shape; the
// first failure in the order of the scene is the one reported, and progress
// is reported by the calling thread alone.
template <typename Tick>
bool load_scene_shapes(const std::string& filename, const std::string& dirname,
                       scene_data& scene, std::string& error, Tick& tick) {
  auto count = scene.shapes.size();
  auto next = std::atomic<size_t>{0}, done = std::atomic<size_t>{0};
  auto failed = std::atomic<size_t>{count};  // the first failing shape so far
  auto failure = std::mutex{};
  auto failure_error = std::string{};
  auto work = [&](bool reports) {
    auto inner = std::string{};
    for (auto i = next++; i < count && i < failed; i = next++) {
      auto ok = false;
      try {
        ok = load_scene_shape(filename, dirname, *scene.shapes[i], inner);
      } catch (const std::bad_alloc&) {
        inner = filename + ": out of memory while reading";
      }
      if (!ok) {
        auto lock = std::lock_guard<std::mutex>{failure};
        if (i < failed) failed = i, failure_error = inner;
      }
      auto finished = ++done;
      if (reports) tick("load shape", finished);
    }
  };
  auto threads = std::vector<std::thread>{};
  auto helpers = count < 64 ? 0u : std::min(std::thread::hardware_concurrency(), 8u);
  try {
    for (auto t = 1u; t < helpers; t++) threads.emplace_back(work, false);
  } catch (const std::system_error&) {
    // Fewer threads than asked for: the others share the work.
  }
  work(true);
  for (auto& thread : threads) thread.join();
  if (failed < count) return error = failure_error, false;
  tick("load shape", count);
  return true;
}

bool parse_json_scene_files(const std::string& filename, const std::string& text,
                            scene_data& scene, std::string& error,
                            const progress_callback& progress) {
  scene = scene_data{};
  if (progress) progress("load scene", 0, 1);
  auto builder = scene_builder{filename, scene, text.size()};
  auto reader = document_reader{builder};
  auto parsed = nlohmann::json::sax_parse(text, &reader);
  if (parsed && builder.problem.empty() && !builder.resolve_materials()) parsed = false;
  if (!parsed) {
    if (!builder.problem.empty()) error = filename + ": parse error in json: " + builder.problem;
    else if (!builder.error.empty()) error = builder.error;
    else error = filename + ": parse error in json";
    return false;
  }

  // The files, each once. Progress moves in about a thousand steps at most,
  // so a city of many small shapes is not slowed down by its console.
  auto dirname = path_dirname(filename);
  auto shapes = scene.shapes.size(), textures = scene.textures.size();
  // Steps: the document, each file, and the end.
  auto total = (int)(2 + shapes + textures);
  auto step = std::max(size_t{1}, (shapes + textures) / 1000);
  auto reported = size_t{0};
  auto tick = [&](const char* message, size_t done) {
    if (!progress || done / step == reported / step) return;
    reported = done;
    progress(message, 1 + (int)done, total);
  };
  if (!load_scene_shapes(filename, dirname, scene, error, tick)) return false;
  for (size_t j = 0; j < textures; j++) {
    if (!load_scene_texture(filename, dirname, *scene.textures[j], error)) return false;
    tick("load texture", shapes + j + 1);
  }
  if (progress) progress("load done", total, total);
  return true;
}

}  // namespace

bool parse_json_scene(const std::string& filename, const std::string& text, scene_data& scene,
                      std::string& error, const progress_callback& progress) {
  try {
    return parse_json_scene_files(filename, text, scene, error, progress);
  } catch (const std::bad_alloc&) {
    error = filename + ": out of memory while reading";
  } catch (const std::exception&) {
    error = filename + ": parse error in json";
  }
  return false;
}

bool load_json_scene(const std::string& filename, scene_data& scene, std::string& error,
                     const progress_callback& progress) {
  scene = scene_data{};
  auto text = std::string{};
  try {
    if (!load_text(filename, text, error)) return false;
  } catch (const std::bad_alloc&) {
    return error = filename + ": read error", false;
  }
  return parse_json_scene(filename, text, scene, error, progress);
}
