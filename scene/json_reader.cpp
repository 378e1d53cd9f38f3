// Reading a JSON scene: the document as a stream of events into a compact
// store, then the texture files it names and, when the whole scene is
// asked for, the shape files; a store's shapes stay in their files until a
// writer asks for them.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "scene/image.h"
#include "scene/json_fields.h"
#include "scene/json_scene.h"
#include "scene/json_scene_parts.h"
#include "scene/ply.h"
#include "scene/scene_files.h"
#include "scene/shape_io.h"
#include "support/files.h"

struct json_store_files {
  std::string filename = "";  // the scene file, which errors name
  std::string dirname  = "";  // its folder, where "shapes" is
  std::string data     = "";  // the bytes of the last shape file read
  std::mutex  mutex;
  std::string failure = "";  // the first shape that could not be read
};

namespace {

using namespace json_fields;
using member_list = std::vector<std::pair<std::string, member_value>>;

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

// Turns records into scene records (cameras, environments, textures) and
// store entries (instances, materials, shapes). Shapes and textures are made
// on their first reference; textures are read once the document is done,
// shapes when they are asked for.
struct scene_builder {
  const std::string& filename;
  scene_data&        scene;
  json_scene_store&  store;
  std::string        problem = "";  // the document has the wrong form
  std::string        error   = "";  // any other failure, whole

  // Every name of the document once, in the store: the instance, shape and
  // material of one city record share one.
  std::unordered_map<std::string_view, uint32_t> names = {};
  // Store positions by name: an instance, a material and a shape per name.
  std::vector<uint32_t> instance_at = {}, material_at = {}, shape_at = {};
  // Shapes whose settings an instance gave already, by shape position.
  std::vector<bool> shaped = {};
  // Scene record positions by name. The keys are views of the records' own
  // names, which stay in place as long as the scene lives.
  using index = std::unordered_map<std::string_view, size_t>;
  index cameras = {}, environments = {}, textures = {};
  std::string key = "";  // scratch for the store's shared entries

  scene_builder(const std::string& filename, scene_data& scene, json_scene_store& store,
                size_t size_hint)
      : filename(filename), scene(scene), store(store) {
    // A city takes about 300 bytes of document per instance.
    auto records = size_hint / 300;
    names.reserve(records);
    store.instances.reserve(records), store.materials.reserve(records);
    store.shapes.reserve(records);
  }

  uint32_t name_of(const std::string& name) {
    auto found = names.find(name);
    if (found != names.end()) return found->second;
    auto id = json_writing::add_name(store, name);
    names.emplace(json_writing::name_text(store, id), id);
    instance_at.push_back(json_store_none);
    material_at.push_back(json_store_none);
    shape_at.push_back(json_store_none);
    return id;
  }

  // The position of the scene record of that name, made when it is new.
  // With `fresh` a record met again starts over, in its first place.
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

  // A member of a record of the kind the fields describe; members this
  // reader does not know are skipped.
  template <typename Record, size_t N>
  bool read_field(const field<Record> (&fields)[N], Record& r, section kind,
                  const std::string& record, const std::string& key, const member_value& v,
                  const char*& expected) {
    auto f = find_field(fields, key);
    if (!f) return true;
    if (f->read) return f->read(r, v, expected);
    auto texture = (scene_texture*)nullptr;
    if (!texture_ref(kind, record, v, texture, expected)) return false;
    f->set_texture(r, texture);
    return true;
  }

  // The store shape of that name, made on its first reference.
  uint32_t shape_named(uint32_t name) {
    if (shape_at[name] == json_store_none) {
      shape_at[name] = (uint32_t)store.shapes.size();
      auto shape = json_store_shape{name};
      shape.in_file = true;
      store.shapes.push_back(shape);
    }
    return shape_at[name];
  }

  // The instance's own members: its frame, shape and material; the others
  // are its shape's settings.
  bool instance_member(const std::string& name, json_store_instance& instance, frame3f& frame,
                       json_store_settings& settings, const std::string& key,
                       const member_value& v, const char*& expected) {
    if (key == "frame") return read_value(v, frame, expected);
    if (key == "shape") {
      if (v.kind != member_value::type::string) return expected = "a shape name", false;
      if (!check_name(section::instances, name, "shape", v.text)) return false;
      instance.shape = name_of(v.text);
      shape_named(instance.shape);
      return true;
    }
    if (key == "material") {
      if (v.kind != member_value::type::string) return expected = "a material name", false;
      instance.material = name_of(v.text);
      return true;
    }
    return read_field(settings_fields, settings, section::instances, name, key, v, expected);
  }

  bool member_problem(section kind, const std::string& name, const std::string& key,
                      const char* expected) {
    if (expected)
      problem = std::string(record_kind(kind)) + " \"" + name + "\": \"" + key + "\" is not " +
                expected;
    return false;
  }

  // Cameras, environments and materials: the record starts over from a
  // fresh one. A member given as null keeps its default, like one left out.
  template <typename Record, size_t N>
  bool read_record(section kind, const std::string& name, Record& r,
                   const field<Record> (&fields)[N], const member_list& members, size_t count) {
    for (size_t k = 0; k < count; k++) {
      auto& [key, value] = members[k];
      if (value.kind == member_value::type::null) continue;
      const char* expected = nullptr;
      if (!read_field(fields, r, kind, name, key, value, expected))
        return member_problem(kind, name, key, expected);
    }
    return true;
  }

  bool read_material(const std::string& name, const member_list& members, size_t count) {
    auto id = name_of(name);
    if (material_at[id] == json_store_none) {
      material_at[id] = (uint32_t)store.materials.size();
      store.materials.push_back({id, 0});
    }
    auto material = scene_material{};
    if (!read_record(section::materials, name, material, material_fields, members, count))
      return false;
    store.materials[material_at[id]].style = json_writing::add_style(store, material, key);
    return true;
  }

  bool read_instance(const std::string& name, const member_list& members, size_t count) {
    auto id = name_of(name);
    if (instance_at[id] == json_store_none) {
      instance_at[id] = (uint32_t)store.instances.size();
      store.instances.emplace_back();
    }
    auto instance = json_store_instance{id};
    auto frame = frame3f{};
    auto settings = json_store_settings{};
    for (size_t k = 0; k < count; k++) {
      auto& [key, value] = members[k];
      if (value.kind == member_value::type::null) continue;
      const char* expected = nullptr;
      if (!instance_member(name, instance, frame, settings, key, value, expected))
        return member_problem(section::instances, name, key, expected);
    }
    if (frame != frame3f{}) {
      instance.frame = (uint32_t)store.frames.size();
      store.frames.push_back(frame);
    }
    // A shape shared by several instances takes the settings of the first;
    // the writer gives every instance of a shape the same ones.
    if (instance.shape != json_store_none) {
      auto shape = shape_at[instance.shape];
      if (shaped.size() <= shape) shaped.resize(store.shapes.size());
      if (!shaped[shape]) {
        shaped[shape] = true;
        store.shapes[shape].settings = json_writing::add_settings(store, settings, key);
      }
      instance.settings = store.shapes[shape].settings;
    }
    store.instances[instance_at[id]] = instance;
    return true;
  }

  bool add_record(section kind, const std::string& name, const member_list& members,
                  size_t count) {
    switch (kind) {
      case section::cameras: {
        auto& camera = *scene.cameras[record(scene.cameras, cameras, name, add_camera, true)];
        return read_record(kind, name, camera, camera_fields, members, count);
      }
      case section::environments: {
        auto& environment =
            *scene.environments[record(scene.environments, environments, name, add_environment,
                                       true)];
        return read_record(kind, name, environment, environment_fields, members, count);
      }
      case section::materials: return read_material(name, members, count);
      case section::instances: return read_instance(name, members, count);
      default: return true;
    }
  }

  bool set_copyright(const member_value& v) {
    if (v.kind == member_value::type::null) return true;
    if (v.kind != member_value::type::string)
      return problem = "\"asset\": \"copyright\" is not a text", false;
    scene.copyright = v.text;
    return true;
  }

  // Materials are named before or after the instances that use them: each
  // is looked up once every record is known.
  bool resolve_materials() {
    for (auto& instance : store.instances) {
      if (instance.material == json_store_none) continue;
      if (material_at[instance.material] != json_store_none) continue;
      problem = "instance \"" + std::string(json_writing::name_text(store, instance.name)) +
                "\": no material \"" +
                std::string(json_writing::name_text(store, instance.material)) + "\"";
      return false;
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
bool is_empty_ply(const std::string& path, const std::string& data) {
  auto model = ply_model{};
  auto error = std::string{};
  if (!parse_ply(path, data, model, error)) return false;
  for (auto& element : model.elements)
    if (element.count != 0) return false;
  return true;
}

// The shape named by `shape`, whose settings choose the file, read from the
// folder "shapes" beside the scene file; `data` is scratch for the file's
// bytes.
bool read_shape_file(const std::string& filename, const std::string& dirname,
                     scene_shape& shape, std::string& data, std::string& error) {
  // The writer's choice of file first, then the other one.
  auto obj_first = shape.catmullclark && shape.subdivisions > 0;
  auto stem = path_join(dirname, "shapes/" + shape.name);
  auto path = stem + (obj_first ? ".obj" : ".ply");
  auto inner = std::string{};
  auto ok = load_text(path, data, inner);
  if (!ok && inner == path + ": file not found") {
    auto other = stem + (obj_first ? ".ply" : ".obj");
    if (path_exists(other)) {
      path = other;
      ok = load_text(path, data, inner);
    }
  }
  if (ok) ok = parse_shape(path, data, shape, inner, false, true);
  if (!ok && inner == path + ": empty shape" && has_extension(path, ".ply") &&
      is_empty_ply(path, data))
    ok = true;
  if (!ok) error = filename + ": error in " + inner;
  return ok;
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
    auto inner = std::string{}, data = std::string{};
    for (auto i = next++; i < count && i < failed; i = next++) {
      auto ok = false;
      try {
        ok = read_shape_file(filename, dirname, *scene.shapes[i], data, inner);
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

// Progress in about a thousand steps at most, so that a city of many small
// files is not slowed down by its console: the document is step 0, file k
// step 1 + k, the end step `total`.
struct progress_ticks {
  const progress_callback& progress;
  int                      total    = 0;
  size_t                   step     = 1;
  size_t                   reported = 0;
  progress_ticks(const progress_callback& progress, size_t files)
      : progress(progress), total((int)(2 + files)), step(std::max(size_t{1}, files / 1000)) {}
  void operator()(const char* message, size_t done) {
    if (!progress || done / step == reported / step) return;
    reported = done;
    progress(message, 1 + (int)done, total);
  }
};

// The document into `scene` and `store`; the textures are read, the shapes
// are not.
bool parse_document(const std::string& filename, const std::string& text, scene_data& scene,
                    json_scene_store& store, std::string& error) {
  scene = scene_data{};
  store = json_scene_store{};
  auto builder = scene_builder{filename, scene, store, text.size()};
  auto reader = document_reader{builder};
  auto parsed = nlohmann::json::sax_parse(text, &reader);
  if (parsed && builder.problem.empty() && !builder.resolve_materials()) parsed = false;
  if (parsed) return true;
  if (!builder.problem.empty()) error = filename + ": parse error in json: " + builder.problem;
  else if (!builder.error.empty()) error = builder.error;
  else error = filename + ": parse error in json";
  return false;
}

template <typename Tick>
bool load_scene_textures(const std::string& filename, scene_data& scene, std::string& error,
                         Tick& tick, size_t done) {
  auto dirname = path_dirname(filename);
  for (size_t j = 0; j < scene.textures.size(); j++) {
    if (!load_scene_texture(filename, dirname, *scene.textures[j], error)) return false;
    tick("load texture", done + j + 1);
  }
  return true;
}

// The store's records as scene records: the scene's own shapes, materials
// and instances, one for each entry.
void add_store_records(scene_data& scene, const json_scene_store& store) {
  auto name = [&](uint32_t id) { return std::string(json_writing::name_text(store, id)); };
  auto shape_of = std::vector<scene_shape*>(store.names.size());
  auto material_of = std::vector<scene_material*>(store.names.size());
  for (size_t i = 0; i < store.shapes.size(); i++) {
    // The store's shape without its geometry: its name and settings.
    auto shape = add_shape(scene);
    auto& settings = store.settings[store.shapes[i].settings];
    shape->name = name(store.shapes[i].name);
    shape->subdivisions = settings.subdivisions, shape->catmullclark = settings.catmullclark;
    shape->smooth = settings.smooth, shape->displacement = settings.displacement;
    shape->displacement_tex = const_cast<scene_texture*>(settings.displacement_tex);
    shape_of[store.shapes[i].name] = shape;
  }
  for (auto& entry : store.materials) {
    auto material = add_material(scene);
    *material = store.material_styles[entry.style];
    material->name = name(entry.name);
    material_of[entry.name] = material;
  }
  for (auto& entry : store.instances) {
    auto instance = add_instance(scene);
    instance->name = name(entry.name);
    instance->frame = store.frames[entry.frame];
    if (entry.shape != json_store_none) instance->shape = shape_of[entry.shape];
    if (entry.material != json_store_none) instance->material = material_of[entry.material];
  }
}

bool parse_json_scene_files(const std::string& filename, const std::string& text,
                            scene_data& scene, std::string& error,
                            const progress_callback& progress) {
  if (progress) progress("load scene", 0, 1);
  {
    auto store = json_scene_store{};
    if (!parse_document(filename, text, scene, store, error)) return false;
    add_store_records(scene, store);
  }
  auto shapes = scene.shapes.size();
  auto tick = progress_ticks{progress, shapes + scene.textures.size()};
  if (!load_scene_shapes(filename, path_dirname(filename), scene, error, tick)) return false;
  if (!load_scene_textures(filename, scene, error, tick, shapes)) return false;
  if (progress) progress("load done", tick.total, tick.total);
  return true;
}

bool parse_json_store_files(const std::string& filename, const std::string& text,
                            scene_data& scene, json_scene_store& store, std::string& error,
                            const progress_callback& progress) {
  if (progress) progress("load scene", 0, 1);
  if (!parse_document(filename, text, scene, store, error)) return false;
  store.files = std::make_shared<json_store_files>();
  store.files->filename = filename;
  store.files->dirname = path_dirname(filename);
  auto tick = progress_ticks{progress, scene.textures.size()};
  if (!load_scene_textures(filename, scene, error, tick, 0)) return false;
  if (progress) progress("load done", tick.total, tick.total);
  return true;
}

// Runs a reader. Running out of memory and the JSON library's own
// exceptions are the only exceptions left.
template <typename Reader>
bool run_scene_reader(const std::string& filename, std::string& error, Reader&& read) {
  try {
    return read();
  } catch (const std::bad_alloc&) {
    error = filename + ": out of memory while reading";
  } catch (const std::exception&) {
    error = filename + ": parse error in json";
  }
  return false;
}

}  // namespace

namespace json_writing {

const scene_shape* read_store_shape_file(const json_scene_store& store, scene_shape& scratch,
                                         std::string& data, std::string& error) {
  auto& files = *store.files;
  auto ok = false;
  try {
    ok = read_shape_file(files.filename, files.dirname, scratch, data, error);
  } catch (const std::bad_alloc&) {
    error = files.filename + ": out of memory while reading";
  }
  if (!ok) return nullptr;
  if (store.shape_read) {
    auto lock = std::lock_guard<std::mutex>{files.mutex};
    store.shape_read(scratch);
  }
  return &scratch;
}

void note_store_read_failure(const json_scene_store& store, const std::string& error) {
  if (!store.files) return;
  auto lock = std::lock_guard<std::mutex>{store.files->mutex};
  if (store.files->failure.empty()) store.files->failure = error;
}

const scene_shape* read_store_shape(const json_scene_store& store, size_t, scene_shape& scratch,
                                    std::string& error) {
  auto shape = read_store_shape_file(store, scratch, store.files->data, error);
  if (!shape) note_store_read_failure(store, error);
  return shape;
}

}  // namespace json_writing

std::string store_read_failure(const json_scene_store& store) {
  if (!store.files) return "";
  auto lock = std::lock_guard<std::mutex>{store.files->mutex};
  return store.files->failure;
}

bool parse_json_scene(const std::string& filename, const std::string& text, scene_data& scene,
                      std::string& error, const progress_callback& progress) {
  return run_scene_reader(filename, error, [&] {
    return parse_json_scene_files(filename, text, scene, error, progress);
  });
}

bool parse_json_scene_store(const std::string& filename, const std::string& text,
                            scene_data& scene, json_scene_store& store, std::string& error,
                            const progress_callback& progress) {
  return run_scene_reader(filename, error, [&] {
    return parse_json_store_files(filename, text, scene, store, error, progress);
  });
}

// The document's text, whole.
static bool load_document(const std::string& filename, std::string& text, std::string& error) {
  try {
    return load_text(filename, text, error);
  } catch (const std::bad_alloc&) {
    return error = filename + ": read error", false;
  }
}

bool load_json_scene(const std::string& filename, scene_data& scene, std::string& error,
                     const progress_callback& progress) {
  scene = scene_data{};
  auto text = std::string{};
  if (!load_document(filename, text, error)) return false;
  return parse_json_scene(filename, text, scene, error, progress);
}

bool load_json_scene_store(const std::string& filename, scene_data& scene,
                           json_scene_store& store, std::string& error,
                           const progress_callback& progress) {
  scene = scene_data{};
  store = json_scene_store{};
  auto text = std::string{};
  if (!load_document(filename, text, error)) return false;
  return parse_json_scene_store(filename, text, scene, store, error, progress);
}
