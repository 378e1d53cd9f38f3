// The JSON scene document, streamed a part at a time, and the order in which
// a save writes the document, the shapes and the textures.

#include <algorithm>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "scene/image.h"
#include "scene/json_fields.h"
#include "scene/json_scene.h"
#include "scene/json_scene_parts.h"
#include "scene/json_text.h"
#include "scene/scene_files.h"
#include "support/files.h"

// ---------------------------------------------------------------------------
// The document text
// ---------------------------------------------------------------------------

namespace json_writing {

using namespace json_fields;

// One member of an instance: its key, whether the instance writes it and
// its value.
template <typename Record>
struct member {
  const char* key;
  bool (*written)(const Record&);
  void (*append)(std::string&, const Record&);
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
const auto identity_frame = frame3f{};

// The settings field K of the instance's shape, written when it has one.
template <size_t K>
member<instance_view> settings_member() {
  return {settings_fields[K].key,
          [](const instance_view& i) { return i.settings && settings_fields[K].written(*i.settings); },
          [](std::string& out, const instance_view& i) { settings_fields[K].append(out, *i.settings); }};
}

// In the byte order of the keys, the settings among the instance's own.
const member<instance_view> instance_members[] = {
    settings_member<0>(),  // catmullclark
    settings_member<1>(),  // displacement
    settings_member<2>(),  // displacement_tex
    {"frame", [](const instance_view& i) { return *i.frame != identity_frame; },
     [](std::string& out, const instance_view& i) { append_value(out, member_indent, *i.frame); }},
    {"material", [](const instance_view& i) { return i.material != json_store_none; },
     [](std::string& out, const instance_view& i) {
       append_json_string(out, name_text(*i.store, i.material)); }},
    {"shape", [](const instance_view& i) { return i.shape != json_store_none; },
     [](std::string& out, const instance_view& i) {
       append_json_string(out, name_text(*i.store, i.shape)); }},
    settings_member<3>(),  // smooth
    settings_member<4>(),  // subdivisions
};

// The members of records that share one name, as one record: each member
// comes from the last record that writes it. No member at all is null.
template <typename Record, typename Member, size_t N>
void append_members(std::string& out, const Member (&members)[N],
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
                   const std::vector<std::unique_ptr<T>>& records, const field<T> (&members)[N]) {
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
        append_members(style_text[entry.style], material_fields, &style, 1);
        style_done[entry.style] = true;
      }
      doc.text += style_text[entry.style];
    } else {
      group.clear();
      for (size_t k = 0; k < count; k++)
        group.push_back(&store.material_styles[store.materials[order[first + k]].style]);
      append_members(doc.text, material_fields, group.data(), count);
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
  write_records(doc, first_kind, "cameras", scene.cameras, camera_fields);
  write_records(doc, first_kind, "environments", scene.environments, environment_fields);
  write_store_instances(doc, first_kind, store, instance_order);
  write_store_materials(doc, first_kind, store, material_order);
  doc.text += "\n}";
  doc.flush(true);
  if (!doc.ok) return error = doc.error, false;
  pending.path = filename;
  return close_hidden_file(doc.file, pending.temp, error);
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
    auto plan = [&] {
      try {
        next = next_same_file(store);
        planned = true;
      } catch (const std::exception&) {
      }
    };
    auto planner = std::thread{};
    try {
      planner = std::thread(plan);
    } catch (const std::system_error&) {
      plan();  // no second thread to be had: this one plans first
    }
    struct joiner {
      std::thread& thread;
      ~joiner() {
        if (thread.joinable()) thread.join();
      }
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
