#pragma once
// The JSON scene written the plain way, to hold the fast writer to: the whole
// document built as a tree of the JSON library and dumped at once, then
// every shape and every texture saved in turn, a shape file written again
// whenever a later shape has the same file name.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "scene/image.h"
#include "scene/scene.h"
#include "scene/scene_files.h"
#include "scene/shape_io.h"
#include "support/files.h"
#include "test_util.h"

using progress_call = std::tuple<std::string, int, int>;

namespace oracle {

using json = nlohmann::json;

inline json value(float v) { return (double)v; }
inline json value(bool v) { return v; }
inline json value(const vec3f& v) { return json::array({value(v.x), value(v.y), value(v.z)}); }
inline json value(const frame3f& f) {
  auto array = json::array();
  for (auto& axis : {f.x, f.y, f.z, f.o})
    for (auto c : {axis.x, axis.y, axis.z}) array.push_back(value(c));
  return array;
}
template <typename T>
void set_if(json& record, const char* key, const T& field, const T& fallback) {
  if (field != fallback) record[key] = value(field);
}
template <typename T>
void set_ref(json& record, const char* key, const T* referenced) {
  if (referenced) record[key] = referenced->name;
}

// Records of one name share a member: later fields overwrite earlier ones.
inline json document(const scene_data& scene) {
  auto root = json::object();
  root["asset"]["generator"] = scene_generator_name;
  if (!scene.copyright.empty()) root["asset"]["copyright"] = scene.copyright;
  const auto c0 = scene_camera{};
  for (auto& c : scene.cameras) {
    auto& r = root["cameras"][c->name];
    set_if(r, "frame", c->frame, c0.frame), set_if(r, "ortho", c->ortho, c0.ortho);
    set_if(r, "lens", c->lens, c0.lens), set_if(r, "aspect", c->aspect, c0.aspect);
    set_if(r, "film", c->film, c0.film), set_if(r, "focus", c->focus, c0.focus);
    set_if(r, "aperture", c->aperture, c0.aperture);
  }
  const auto e0 = scene_environment{};
  for (auto& e : scene.environments) {
    auto& r = root["environments"][e->name];
    set_if(r, "frame", e->frame, e0.frame), set_if(r, "emission", e->emission, e0.emission);
    set_ref(r, "emission_tex", e->emission_tex);
  }
  const auto m0 = scene_material{};
  for (auto& m : scene.materials) {
    auto& r = root["materials"][m->name];
    set_if(r, "emission", m->emission, m0.emission), set_if(r, "color", m->color, m0.color);
    set_if(r, "specular", m->specular, m0.specular), set_if(r, "metallic", m->metallic, m0.metallic);
    set_if(r, "coat", m->coat, m0.coat), set_if(r, "roughness", m->roughness, m0.roughness);
    set_if(r, "ior", m->ior, m0.ior), set_if(r, "transmission", m->transmission, m0.transmission);
    set_if(r, "translucency", m->translucency, m0.translucency);
    set_if(r, "trdepth", m->trdepth, m0.trdepth), set_if(r, "scattering", m->scattering, m0.scattering);
    set_if(r, "scanisotropy", m->scanisotropy, m0.scanisotropy);
    set_if(r, "opacity", m->opacity, m0.opacity), set_if(r, "thin", m->thin, m0.thin);
    set_ref(r, "emission_tex", m->emission_tex), set_ref(r, "color_tex", m->color_tex);
    set_ref(r, "metallic_tex", m->metallic_tex), set_ref(r, "specular_tex", m->specular_tex);
    set_ref(r, "roughness_tex", m->roughness_tex);
    set_ref(r, "transmission_tex", m->transmission_tex);
    set_ref(r, "translucency_tex", m->translucency_tex);
    set_ref(r, "scattering_tex", m->scattering_tex), set_ref(r, "coat_tex", m->coat_tex);
    set_ref(r, "opacity_tex", m->opacity_tex), set_ref(r, "normal_tex", m->normal_tex);
  }
  const auto i0 = scene_instance{};
  const auto s0 = scene_shape{};
  for (auto& i : scene.instances) {
    auto& r = root["instances"][i->name];
    set_if(r, "frame", i->frame, i0.frame);
    set_ref(r, "shape", i->shape), set_ref(r, "material", i->material);
    if (auto s = i->shape) {
      if (s->subdivisions != s0.subdivisions) r["subdivisions"] = s->subdivisions;
      set_if(r, "catmullclark", s->catmullclark, s0.catmullclark);
      set_if(r, "smooth", s->smooth, s0.smooth);
      set_if(r, "displacement", s->displacement, s0.displacement);
      set_ref(r, "displacement_tex", s->displacement_tex);
    }
  }
  return root;
}

inline std::string shape_path(const std::string& dirname, const scene_shape& shape) {
  auto ext = (shape.catmullclark && shape.subdivisions > 0) ? ".obj" : ".ply";
  return path_join(dirname, "shapes/" + shape.name + ext);
}

// Saves the scene as a loop over its records would; `calls` gets the
// progress calls.
inline bool save(const std::string& filename, const scene_data& scene, std::string& error,
                 std::vector<progress_call>& calls) {
  for (auto& s : scene.shapes)
    if (!check_file_name(filename, "shape", s->name, error)) return false;
  for (auto& t : scene.textures)
    if (!check_file_name(filename, "texture", t->name, error)) return false;
  auto shapes = (int)scene.shapes.size(), total = shapes + (int)scene.textures.size() + 2;
  calls.emplace_back("save scene", 0, total);
  auto text = document(scene).dump(2, ' ', false, json::error_handler_t::strict);
  calls.emplace_back("save scene", 1, total);
  if (!save_text(filename, text, error)) return false;
  auto dirname = path_dirname(filename);
  auto inner = std::string{};
  for (int i = 0; i < shapes; i++) {
    calls.emplace_back("save shape", 2 + i, total);
    if (!save_shape(shape_path(dirname, *scene.shapes[i]), *scene.shapes[i], inner))
      return error = filename + ": error in " + inner, false;
  }
  auto save_it = textures_to_save(scene);
  for (size_t j = 0; j < scene.textures.size(); j++) {
    calls.emplace_back("save texture", 2 + shapes + (int)j, total);
    auto& t = *scene.textures[j];
    if (save_it[j] && !save_texture_image(path_join(dirname, texture_file(t)), t.hdr, t.ldr, inner))
      return error = filename + ": error in " + inner, false;
  }
  calls.emplace_back("save done", total, total);
  return true;
}

}  // namespace oracle

// Every file under a folder, by its path relative to the folder.
inline std::map<std::string, std::string> files_under(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  auto files = std::map<std::string, std::string>{};
  for (auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), folder).generic_string()] = read_file(entry.path().string());
  return files;
}

// The names in a folder, one level.
inline std::set<std::string> files_in_folder(const std::filesystem::path& folder) {
  auto names = std::set<std::string>{};
  for (auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

// The same files with the same bytes under both folders; differences are
// named, not shown.
inline void expect_same_files(const std::filesystem::path& a, const std::filesystem::path& b) {
  auto in_a = files_under(a), in_b = files_under(b);
  for (auto& [file, bytes] : in_b) {
    auto found = in_a.find(file);
    if (found == in_a.end()) {
      ADD_FAILURE() << file << " is missing under " << a;
    } else if (found->second != bytes) {
      ADD_FAILURE() << file << " differs";
    }
  }
  for (auto& [file, bytes] : in_a)
    if (!in_b.count(file)) ADD_FAILURE() << file << " is not under " << b;
}
