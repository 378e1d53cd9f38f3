#include "scene/obj_scene.h"

#include <cmath>
#include <unordered_set>

#include "scene/export_scene.h"
#include "scene/scene_files.h"
#include "scene/shape.h"
#include "support/files.h"
#include "support/format.h"

// Statements end at white space, so names lose their blanks and control
// characters; everything else is kept as it is.
static std::string obj_name(const std::string& name) {
  auto out = name.empty() ? std::string("_") : name;
  for (auto& c : out)
    if ((unsigned char)c <= 0x20 || c == 0x7f) c = '_';
  return out;
}

static void append(std::string& text, float value) {
  text += ' ';
  append_float(text, value);
}

static void append(std::string& text, const vec3f& v) {
  append(text, v.x), append(text, v.y), append(text, v.z);
}

static void append_line(std::string& text, const char* key, const vec3f& v) {
  text += key;
  append(text, v);
  text += '\n';
}

static void append_line(std::string& text, const char* key, float v) {
  text += key;
  append(text, v);
  text += '\n';
}

// Normals follow the inverse transpose of the frame's axes, so that scaled
// tree instances keep their normals perpendicular to the surface.
struct normal_transform {
  vec3f x, y, z;
};
static normal_transform make_normal_transform(const frame3f& f) {
  auto det = dot(f.x, cross(f.y, f.z));
  if (det == 0 || !std::isfinite(det)) return {f.x, f.y, f.z};
  auto scale = 1 / det;
  return {cross(f.y, f.z) * scale, cross(f.z, f.x) * scale, cross(f.x, f.y) * scale};
}
static vec3f transform_normal(const normal_transform& t, const vec3f& n) {
  return normalize(t.x * n.x + t.y * n.y + t.z * n.z);
}

static bool has_geometry(const scene_shape& shape) {
  return !shape.positions.empty() &&
         (!shape.points.empty() || !shape.lines.empty() || !shape.triangles.empty() ||
          !shape.quads.empty() || !shape.quadspos.empty());
}

static void append_instance(std::string& text, const std::string& name, const frame3f& frame,
                            const scene_shape& shape, const std::string& material,
                            obj_offsets& base) {
  text += "o " + obj_name(name) + "\n";
  text += "usemtl " + material + "\n";
  for (auto& p : shape.positions) {
    text += 'v';
    append(text, transform_point(frame, p));
    text += '\n';
  }
  // Texture coordinates are stored with v down; OBJ counts v up.
  for (auto& uv : shape.texcoords) {
    text += "vt";
    append(text, uv.x), append(text, 1 - uv.y);
    text += '\n';
  }
  auto to_world = make_normal_transform(frame);
  for (auto& n : shape.normals) {
    text += "vn";
    append(text, transform_normal(to_world, n));
    text += '\n';
  }

  append_obj_elements(text, shape, base, !shape.texcoords.empty(), !shape.normals.empty(),
                      false);
  base.positions += (int)shape.positions.size();
  base.texcoords += (int)shape.texcoords.size();
  base.normals += (int)shape.normals.size();
}

static void append_map(std::string& text, const char* key, const scene_texture* texture) {
  if (texture) text += std::string(key) + " " + texture_file(*texture) + "\n";
}

static void append_material(std::string& text, const std::string& name,
                            const scene_material& m) {
  // Metals colour their reflection and lose their diffuse part.
  auto kd = m.color * (1 - m.metallic);
  auto ks = vec3f{m.specular, m.specular, m.specular} * (1 - m.metallic) + m.color * m.metallic;
  // Phong exponent of the same highlight width as the roughness.
  auto alpha = m.roughness * m.roughness;
  auto ns = alpha > 0 ? 2 / (alpha * alpha) - 2 : 1000.0f;
  ns = std::isfinite(ns) ? std::min(std::max(ns, 0.0f), 1000.0f) : 1000.0f;

  text += "newmtl " + name + "\n";
  text += "Ka 0 0 0\n";
  append_line(text, "Kd", kd);
  append_line(text, "Ks", ks);
  append_line(text, "Ke", m.emission);
  append_line(text, "Ns", ns);
  append_line(text, "Ni", m.ior);
  append_line(text, "d", m.opacity);
  if (m.transmission > 0)
    append_line(text, "Tf", vec3f{m.transmission, m.transmission, m.transmission});
  append_line(text, "Pr", m.roughness);
  append_line(text, "Pm", m.metallic);
  if (m.coat > 0) append_line(text, "Pc", m.coat);
  // 7: reflection and refraction for see-through materials, else 2: highlights.
  text += m.transmission > 0 ? "illum 7\n" : "illum 2\n";
  append_map(text, "map_Kd", m.color_tex);
  append_map(text, "map_Ks", m.specular_tex);
  append_map(text, "map_Ke", m.emission_tex);
  append_map(text, "map_d", m.opacity_tex);
  append_map(text, "map_Pr", m.roughness_tex);
  append_map(text, "map_Pm", m.metallic_tex);
  append_map(text, "norm", m.normal_tex);
  text += '\n';
}

// The OBJ text is written as it is made, a block at a time.
const size_t obj_block = size_t{1} << 20;

static bool save_obj_scene_files(const std::string& filename, const scene_data& scene,
                                 const json_scene_store& store, const store_export_plan& plan,
                                 std::string& error, const progress_callback& progress) {
  for (auto& texture : scene.textures)
    if (!check_file_name(filename, "texture", texture->name, error)) return false;

  auto total = 1 + (int)scene.textures.size();
  if (progress) progress("save scene", 0, total);

  // Materials are keyed by name as in the JSON scene file, and they and the
  // instances come in name order as there; instances without a material get
  // a plain grey of a name no material uses.
  auto materials = std::vector<std::pair<std::string, const scene_material*>>{};
  for (size_t k = 0; k < plan.materials.size(); k++) {
    auto id = plan.merged_of[k];
    if (id == json_store_none) continue;  // a later record of a name
    auto& record = store.materials[plan.materials[k]];
    materials.push_back({obj_name(std::string{store_name(store, record.name)}),
                         id < store.material_styles.size()
                             ? &store.material_styles[id]
                             : &plan.merged[id - store.material_styles.size()]});
  }
  auto used_names = std::unordered_set<std::string>{};
  for (auto& m : materials) used_names.insert(m.first);
  auto fallback = std::string{"default"};
  while (used_names.count(fallback)) fallback += "_";
  auto needs_fallback = false;

  auto ext = path_extension(filename);
  auto mtl_filename = filename.substr(0, filename.size() - ext.size()) + ".mtl";
  auto mtl_basename = mtl_filename.substr(mtl_filename.find_last_of("/\\") + 1);

  // The OBJ text goes to a hidden file as it is made: a city's is hundreds
  // of megabytes. It appears under its name only once its materials and
  // textures are written.
  auto file = hidden_file{};
  if (!open_hidden_file(filename, file, error)) return false;
  auto obj = std::string{};
  obj += "# Written by " + std::string(scene_generator_name) + "\n";
  obj += "mtllib " + mtl_basename + "\n";
  auto base = obj_offsets{};
  auto scratch = scene_shape{};
  for (size_t i = 0; i < plan.instances.size(); i++) {
    auto& instance = plan.instances[i];
    if (instance.shape == json_store_none) continue;
    auto shape = export_store_shape(filename, store, plan, instance.shape, scratch, error);
    if (!shape) return false;
    if (!has_geometry(*shape)) continue;
    if (!has_valid_indices(*shape)) {
      error = filename + ": error in shape \"" + shape->name + "\": index out of range";
      return false;
    }
    if (instance.material == json_store_none) needs_fallback = true;
    auto material = instance.material != json_store_none
                        ? obj_name(std::string{store_name(store, instance.material)})
                        : fallback;
    append_instance(obj, std::string{store_name(store, instance.name)}, keyed_frame(store, plan, i),
                    *shape, material, base);
    if (obj.size() >= obj_block) {
      if (!write_hidden_text(file, obj, error)) return false;
      obj.clear();
    }
  }
  auto temp = std::string{};
  if (!write_hidden_text(file, obj, error) || !close_hidden_file(file, temp, error)) return false;
  auto obj_file = pending_scene_file{filename, temp};

  auto mtl = std::string{};
  mtl += "# Written by " + std::string(scene_generator_name) + "\n\n";
  for (auto& [name, m] : materials) append_material(mtl, name, *m);
  if (needs_fallback) {
    auto grey = scene_material{};
    grey.color = {0.5f, 0.5f, 0.5f};
    append_material(mtl, fallback, grey);
  }

  auto inner = std::string{};
  if (!save_text(mtl_filename, mtl, inner)) {
    error = filename + ": error in " + inner;
    return false;
  }
  if (progress) progress("save scene", 1, total);
  if (!save_scene_textures(filename, scene, error, progress, 1, total)) return false;
  return publish_scene_file(obj_file, error);
}

bool save_obj_scene(const std::string& filename, const scene_data& scene,
                    const json_scene_store& store, std::string& error,
                    const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] {
    auto plan = store_export_plan{};
    if (!plan_store_export(filename, store, true, plan, error, false)) return false;
    return save_obj_scene_files(filename, scene, store, plan, error, progress);
  });
}

bool save_obj_scene(const std::string& filename, const scene_data& scene, std::string& error,
                    const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] {
    // The scene's records, borrowed: the writer takes them as it takes a store's.
    auto store = json_scene_store{};
    add_scene_records(store, scene, {}, true);
    auto plan = store_export_plan{};
    if (!plan_store_export(filename, store, false, plan, error, false)) return false;
    return save_obj_scene_files(filename, scene, store, plan, error, progress);
  });
}
