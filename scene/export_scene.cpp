#include "scene/export_scene.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <nlohmann/json.hpp>

#include "scene/flat_layers.h"
#include "scene/json_scene_parts.h"
#include "scene/scene_files.h"
#include "scene/store_reader.h"
#include "scene/surface_normals.h"
#include "support/files.h"

bool is_export_format(const std::string& filename) {
  for (auto ext : {".gltf", ".glb", ".obj", ".pbrt"})
    if (has_extension(filename, ext)) return true;
  return false;
}

void prepare_export_scene(scene_data& scene) {
  orient_city_surfaces(scene);
  lift_flat_layers(scene);
}

std::string scene_extras_json(const scene_data& scene) {
  auto extras = nlohmann::json::object();
  auto& geo = scene.georeference;
  if (geo.known) {
    auto& g = extras["georeference"];
    g["crs"] = "EPSG:4326";
    // The corners of the normalised square, scene (x, z) to degrees.
    auto corners = nlohmann::json::array();
    const double xs[4] = {-1, 1, 1, -1}, zs[4] = {-1, -1, 1, 1};
    for (int k = 0; k < 4; k++) {
      corners.push_back({{"x", xs[k] * geo.half_size}, {"z", zs[k] * geo.half_size},
                         {"longitude", xs[k] < 0 ? geo.west : geo.east},
                         {"latitude", zs[k] < 0 ? geo.south : geo.north}});
    }
    g["corners"] = corners;
    g["west"] = geo.west, g["south"] = geo.south, g["east"] = geo.east, g["north"] = geo.north;
    if (geo.metres_per_unit_x > 0) g["metresPerUnitX"] = geo.metres_per_unit_x;
    if (geo.metres_per_unit_z > 0) g["metresPerUnitZ"] = geo.metres_per_unit_z;
  }
  for (auto& environment : scene.environments) {
    auto texture = environment->emission_tex;
    if (!texture || texture->hdr.pixels.empty()) continue;
    auto& image = texture->hdr;
    if (image.width <= 0 || image.height < 2 ||
        image.pixels.size() != (size_t)image.width * (size_t)image.height)
      continue;
    // Radiance weighted by the solid angle of each row of the upper half.
    double sum[3] = {0, 0, 0}, weight = 0;
    const double pi = 3.14159265358979;
    for (int i = 0; i < image.height / 2; i++) {
      auto w = std::sin((i + 0.5) / image.height * pi);
      for (int j = 0; j < image.width; j++) {
        auto& p = image.pixels[(size_t)i * (size_t)image.width + (size_t)j];
        if (!std::isfinite(p.x + p.y + p.z)) continue;
        sum[0] += w * p.x, sum[1] += w * p.y, sum[2] += w * p.z, weight += w;
      }
    }
    if (!(weight > 0)) continue;
    auto& e = environment->emission;
    extras["ambientColor"] = {(float)(sum[0] / weight * e.x), (float)(sum[1] / weight * e.y),
                              (float)(sum[2] / weight * e.z)};
    break;
  }
  if (extras.empty()) return "";
  return extras.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// ---------------------------------------------------------------------------
// Stores
// ---------------------------------------------------------------------------

std::string_view store_name(const json_scene_store& store, uint32_t name) {
  auto& entry = store.names[name];
  return {entry.data, entry.size};
}

namespace {

// Entries by name, entries of one name in the order added.
template <typename Entry>
std::vector<uint32_t> sorted_by_name(const json_scene_store& store,
                                     const std::vector<Entry>& entries) {
  auto order = std::vector<uint32_t>(entries.size());
  for (size_t i = 0; i < order.size(); i++) order[i] = (uint32_t)i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    auto c = store_name(store, entries[a].name).compare(store_name(store, entries[b].name));
    return c != 0 ? c < 0 : a < b;
  });
  return order;
}

// The first position in `order` of an entry named `name`, or order.size().
template <typename Entry>
size_t find_named(const json_scene_store& store, const std::vector<Entry>& entries,
                  const std::vector<uint32_t>& order, std::string_view name) {
  auto found = std::lower_bound(order.begin(), order.end(), name, [&](uint32_t e, std::string_view n) {
    return store_name(store, entries[e].name) < n;
  });
  if (found == order.end() || store_name(store, entries[*found].name) != name) return order.size();
  return (size_t)(found - order.begin());
}

void key_instances(const json_scene_store& store, store_export_plan& plan) {
  auto shapes = sorted_by_name(store, store.shapes);
  // The last shape of a name: the one whose file the JSON scene keeps.
  auto last_shape = [&](uint32_t name) {
    auto text = store_name(store, name);
    auto at = find_named(store, store.shapes, shapes, text);
    if (at == shapes.size()) return json_store_none;
    while (at + 1 < shapes.size() && store_name(store, store.shapes[shapes[at + 1]].name) == text)
      at++;
    return shapes[at];
  };
  auto order = sorted_by_name(store, store.instances);
  // At most one keyed instance per record: reserved, the list is never
  // copied while it grows, which at a million features costs as much again.
  plan.instances.reserve(order.size());
  for (size_t begin = 0, end = 0; begin < order.size(); begin = end) {
    auto name = store_name(store, store.instances[order[begin]].name);
    auto keyed = keyed_store_instance{store.instances[order[begin]].name};
    for (end = begin; end < order.size() && store_name(store, store.instances[order[end]].name) == name;
         end++) {
      auto& record = store.instances[order[end]];
      if (record.frame != 0) keyed.frame = record.frame;
      if (record.shape != json_store_none) keyed.shape = last_shape(record.shape);
      if (record.material != json_store_none) keyed.material = record.material;
    }
    plan.instances.push_back(keyed);
  }
}

void key_materials(const json_scene_store& store, store_export_plan& plan) {
  plan.materials = sorted_by_name(store, store.materials);
  plan.merged_of.assign(plan.materials.size(), json_store_none);
  auto& order = plan.materials;
  // A city has many names of several records but few looks: each look
  // merged is kept once, as the store keeps each of its own once.
  auto looks = std::unordered_map<std::string, uint32_t>{};
  auto key = std::string{};
  for (size_t begin = 0, end = 0; begin < order.size(); begin = end) {
    auto name = store_name(store, store.materials[order[begin]].name);
    for (end = begin + 1;
         end < order.size() && store_name(store, store.materials[order[end]].name) == name; end++) {
    }
    if (end - begin == 1) {
      plan.merged_of[begin] = store.materials[order[begin]].style;
      continue;
    }
    // Records of one name laid over each other, as a reader of the file sees them.
    auto records = scene_data{};
    for (auto k = begin; k < end; k++) {
      auto material = add_material(records, std::string{name});
      *material = store.material_styles[store.materials[order[k]].style];
      material->name = std::string{name};
    }
    auto merged = merge_materials_by_name(records).front();
    merged.name.clear();
    json_writing::style_key(merged, key);
    auto [found, added] = looks.try_emplace(key, (uint32_t)plan.merged.size());
    if (added) plan.merged.push_back(std::move(merged));
    plan.merged_of[begin] = (uint32_t)store.material_styles.size() + found->second;
  }
}

}  // namespace

const scene_material* keyed_material(const json_scene_store& store, const store_export_plan& plan,
                                     const keyed_store_instance& instance) {
  if (instance.material == json_store_none) return nullptr;
  auto at = find_named(store, store.materials, plan.materials, store_name(store, instance.material));
  if (at == plan.materials.size()) return nullptr;
  auto id = (size_t)plan.merged_of[at];
  return id < store.material_styles.size() ? &store.material_styles[id]
                                           : &plan.merged[id - store.material_styles.size()];
}

frame3f keyed_frame(const json_scene_store& store, const store_export_plan& plan, size_t instance) {
  auto frame = store.frames[plan.instances[instance].frame];
  if (!plan.ranks.empty() && plan.ranks[instance] > 0)
    frame.o.y += (float)plan.ranks[instance] * plan.step;
  return frame;
}

// The prepared shapes, packed one after another in a temporary file: a
// city's are as big as the glTF buffer made of them.
struct prepared_shapes {
  std::string           path     = "";  // the output the file is beside, for errors
  std::string           temp     = "";  // the file once written
  FILE*                 stream   = nullptr;
  uint64_t              position = 0;   // of the stream, in bytes
  std::vector<uint64_t> offset   = {};  // per store shape; UINT64_MAX when not kept
  std::vector<uint32_t> words    = {};  // per store shape, and the words read last
  std::vector<uint32_t> buffer   = {};
  ~prepared_shapes() {
    if (stream) std::fclose(stream);
    if (!temp.empty()) remove_file(temp);
  }
  bool has(size_t index) const { return index < offset.size() && offset[index] != UINT64_MAX; }
  // Store shape `index` as it was kept, into `shape` with its record.
  bool read(const json_scene_store& store, size_t index, scene_shape& shape, std::string& error) {
    auto at = offset[index];
    buffer.resize(words[index]);
    auto bytes = buffer.size() * sizeof(uint32_t);
    auto ok = at == position || seek_file(stream, at);
    ok = ok && std::fread(buffer.data(), 1, bytes, stream) == bytes;
    position = ok ? at + bytes : UINT64_MAX;
    if (!ok) return error = path + ": write error", false;
    json_writing::set_store_shape_record(store, index, shape);
    json_writing::unpack_geometry(buffer.data(), shape);
    return true;
  }
};

namespace {

// Writes the prepared shapes as they are taken, then opens them for reading.
struct prepared_writer {
  prepared_shapes& kept;
  hidden_file      file;
  std::string      pending = "";
  uint64_t         written = 0;
  std::vector<uint32_t> words = {};

  explicit prepared_writer(prepared_shapes& kept) : kept(kept) {}
  bool add(size_t index, const scene_shape& shape, std::string& error) {
    json_writing::pack_geometry(shape, words);
    kept.offset[index] = written + pending.size();
    kept.words[index] = (uint32_t)words.size();
    pending.append((const char*)words.data(), words.size() * sizeof(uint32_t));
    return pending.size() < (size_t{1} << 20) || flush(error);
  }
  bool flush(std::string& error) {
    if (!write_hidden_text(file, pending, error)) return false;
    written += pending.size();
    pending.clear();
    return true;
  }
  bool finish(std::string& error) {
    if (!flush(error) || !close_hidden_file(file, kept.temp, error)) return false;
    kept.stream = open_file(kept.temp, "rb");
    if (!kept.stream) return error = kept.path + ": write error", false;
    return true;
  }
};

}  // namespace

const scene_shape* export_store_shape(const std::string& filename, const json_scene_store& store,
                                      const store_export_plan& plan, size_t index,
                                      scene_shape& scratch, std::string& error) {
  if (plan.prepared && plan.prepared->has(index))
    return plan.prepared->read(store, index, scratch, error) ? &scratch : nullptr;
  auto inner = std::string{};
  auto shape = store_shape_geometry(store, index, scratch, inner);
  if (!shape) {
    error = filename + ": error in " + inner;
    return nullptr;
  }
  auto aspect = index < plan.aspects.size() ? plan.aspects[index] : NAN;
  if (std::isnan(aspect) || !is_city_surface(*shape)) return shape;
  if (shape != &scratch) scratch = *shape;
  orient_city_shape(scratch, aspect);
  return &scratch;
}

namespace {

// The shapes the keyed instances show, in the order they first show them,
// then with `every_shape` the others in store order.
std::vector<uint32_t> shapes_in_use_order(const json_scene_store& store,
                                          const store_export_plan& plan, bool every_shape) {
  auto seen = std::vector<bool>(store.shapes.size());
  auto order = std::vector<uint32_t>{};
  order.reserve(store.shapes.size());
  for (auto& instance : plan.instances) {
    if (instance.shape == json_store_none || seen[instance.shape]) continue;
    seen[instance.shape] = true;
    order.push_back(instance.shape);
  }
  for (size_t s = 0; every_shape && s < store.shapes.size(); s++)
    if (!seen[s]) order.push_back((uint32_t)s);
  return order;
}

bool has_faces(const scene_shape& shape) {
  return !shape.positions.empty() &&
         (!shape.triangles.empty() || !shape.quads.empty() || !shape.quadspos.empty());
}

// Takes the plan's shapes: the box and faces of each as shown, each kept
// prepared (when it is not the store's own, unchanged) for the writer.
bool take_plan_shapes(const std::string& filename, const json_scene_store& store,
                      store_export_plan& plan, bool every_shape, std::vector<bbox3f>& boxes,
                      std::string& error) {
  auto count = store.shapes.size();
  plan.faces.assign(count, 2);
  boxes.assign(count, bbox3f{});
  auto order = shapes_in_use_order(store, plan, every_shape);
  auto prepared = std::make_shared<prepared_shapes>();
  prepared->path = filename;
  prepared->offset.assign(count, UINT64_MAX);
  prepared->words.assign(count, 0);
  prepared_writer writer{*prepared};
  if (!open_hidden_file(filename, writer.file, error)) return false;
  auto& aspects = plan.aspects;
  auto prepare = [&](size_t index, const scene_shape*& shape, scene_shape& scratch) {
    auto aspect = aspects[index];
    if (std::isnan(aspect) || !is_city_surface(*shape)) return;
    if (shape != &scratch) scratch = *shape;
    orient_city_shape(scratch, aspect);
    shape = &scratch;
  };
  auto take = [&](size_t, size_t index, const scene_shape& shape) {
    for (auto& p : shape.positions) expand(boxes[index], p);
    plan.faces[index] = has_faces(shape) ? 1 : 0;
    if (store.shapes[index].borrowed == &shape) return true;
    return writer.add(index, shape, error);
  };
  auto inner = std::string{};
  auto wrote = true;
  if (!read_store_shapes(store, order, prepare,
                         [&](size_t k, size_t index, const scene_shape& shape) {
                           return wrote = take(k, index, shape);
                         },
                         inner)) {
    if (wrote) error = filename + ": error in " + inner;
    return false;
  }
  if (!writer.finish(error)) return false;
  plan.prepared = std::move(prepared);
  return true;
}

}  // namespace

bool plan_store_export(const std::string& filename, const json_scene_store& store, bool prepare,
                       store_export_plan& plan, std::string& error, bool with_bounds,
                       bool every_shape) {
  plan = store_export_plan{};
  plan.prepare = prepare;
  key_instances(store, plan);
  key_materials(store, plan);
  if (!prepare) return true;

  // The façade aspect every instance shows a shape with; -1 when they differ.
  plan.aspects.assign(store.shapes.size(), NAN);
  for (auto& instance : plan.instances) {
    if (instance.shape == json_store_none) continue;
    auto aspect = facade_aspect(keyed_material(store, plan, instance));
    auto& known = plan.aspects[instance.shape];
    if (std::isnan(known)) known = aspect;
    else if (known != aspect) known = -1;
  }

  // The bounds of each shape shown, as it is once prepared.
  auto boxes = std::vector<bbox3f>{};
  if (!take_plan_shapes(filename, store, plan, every_shape, boxes, error)) return false;
  // Every shape taken is kept prepared, but for the store's own that
  // preparing leaves as they are: the aspects are not asked for again,
  // and a store written once needs its packed geometry no more. (Its
  // owner said so; the store is not a const one.)
  std::vector<float>().swap(plan.aspects);
  if (store.written_once) release_store_geometry(const_cast<json_scene_store&>(store));

  // The layers, from the flat meshes as they are placed before lifting.
  auto placed = std::vector<bbox3f>(plan.instances.size());
  for (size_t i = 0; i < plan.instances.size(); i++) {
    auto& instance = plan.instances[i];
    if (instance.shape == json_store_none || plan.faces[instance.shape] != 1) continue;
    placed[i] = placed_box(boxes[instance.shape], store.frames[instance.frame]);
  }
  if (!with_bounds) std::vector<bbox3f>().swap(boxes);
  auto layers = flat_layer_ranks{};
  // A big city is ranked on two threads; the shapes kept prepared are read
  // from one file, one shape at a time.
  auto reading = std::mutex{};
  auto ranked = rank_flat_boxes(
      std::move(placed), [](size_t a, size_t b) { return a < b; },  // keyed instances are in name order
      [&](size_t i, scene_shape& into, frame3f& frame) {
        frame = store.frames[plan.instances[i].frame];
        auto lock = std::lock_guard<std::mutex>(reading);
        return export_store_shape(filename, store, plan, plan.instances[i].shape, into, error);
      },
      layers, 0);
  if (!ranked) return false;
  plan.ranks = std::move(layers.ranks);
  plan.step = layers.step;
  if (!with_bounds) return true;

  // The bounds of the prepared scene: every shape with positions, lifted.
  for (size_t i = 0; i < plan.instances.size(); i++) {
    auto shape = plan.instances[i].shape;
    if (shape == json_store_none || !(boxes[shape].min.x <= boxes[shape].max.x)) continue;
    auto box = placed_box(boxes[shape], keyed_frame(store, plan, i));
    expand(plan.bounds, box.min), expand(plan.bounds, box.max);
  }
  return true;
}
