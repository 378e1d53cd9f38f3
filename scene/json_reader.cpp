// Reading a JSON scene: the document as a stream of events, then the shape
// and texture files it names.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "scene/image.h"
#include "scene/json_scene.h"
#include "scene/ply.h"
#include "scene/scene_files.h"
#include "scene/shape_io.h"
#include "support/files.h"

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
