#include "scene/json_scene.h"

#include <nlohmann/json.hpp>

#include "scene/image.h"
#include "scene/scene_files.h"
#include "scene/shape_io.h"
#include "support/files.h"

using json = nlohmann::json;

// Floats are widened so the library prints the shortest double text.
static json to_json(float value) { return (double)value; }
static json to_json(const vec3f& v) { return json::array({to_json(v.x), to_json(v.y), to_json(v.z)}); }
static json to_json(const frame3f& f) {
  auto array = json::array();
  for (auto& axis : {f.x, f.y, f.z, f.o}) {
    array.push_back(to_json(axis.x));
    array.push_back(to_json(axis.y));
    array.push_back(to_json(axis.z));
  }
  return array;
}

// Only values that differ from a fresh record's are written; a record that
// writes nothing stays null.
template <typename T>
static void set_if(json& value, const char* key, const T& field, const T& fallback) {
  if (field != fallback) value[key] = to_json(field);
}
static void set_if(json& value, const char* key, bool field, bool fallback) {
  if (field != fallback) value[key] = field;
}
template <typename T>
static void set_ref(json& value, const char* key, const T* record) {
  if (record) value[key] = record->name;
}

static json make_document(const scene_data& scene) {
  auto root = json::object();
  root["asset"]["generator"] = scene_generator_name;
  if (!scene.copyright.empty()) root["asset"]["copyright"] = scene.copyright;

  // Records of one kind with the same name share one member: operator[]
  // finds the earlier one and the later fields overwrite its fields.
  const auto default_camera = scene_camera{};
  for (auto& camera : scene.cameras) {
    auto& value = root["cameras"][camera->name];
    set_if(value, "frame", camera->frame, default_camera.frame);
    set_if(value, "ortho", camera->ortho, default_camera.ortho);
    set_if(value, "lens", camera->lens, default_camera.lens);
    set_if(value, "aspect", camera->aspect, default_camera.aspect);
    set_if(value, "film", camera->film, default_camera.film);
    set_if(value, "focus", camera->focus, default_camera.focus);
    set_if(value, "aperture", camera->aperture, default_camera.aperture);
  }

  const auto default_environment = scene_environment{};
  for (auto& environment : scene.environments) {
    auto& value = root["environments"][environment->name];
    set_if(value, "frame", environment->frame, default_environment.frame);
    set_if(value, "emission", environment->emission, default_environment.emission);
    set_ref(value, "emission_tex", environment->emission_tex);
  }

  const auto default_material = scene_material{};
  for (auto& material : scene.materials) {
    auto& m = *material;
    auto& value = root["materials"][m.name];
    set_if(value, "emission", m.emission, default_material.emission);
    set_if(value, "color", m.color, default_material.color);
    set_if(value, "specular", m.specular, default_material.specular);
    set_if(value, "metallic", m.metallic, default_material.metallic);
    set_if(value, "coat", m.coat, default_material.coat);
    set_if(value, "roughness", m.roughness, default_material.roughness);
    set_if(value, "ior", m.ior, default_material.ior);
    set_if(value, "transmission", m.transmission, default_material.transmission);
    set_if(value, "translucency", m.translucency, default_material.translucency);
    set_if(value, "trdepth", m.trdepth, default_material.trdepth);
    set_if(value, "scattering", m.scattering, default_material.scattering);
    set_if(value, "scanisotropy", m.scanisotropy, default_material.scanisotropy);
    set_if(value, "opacity", m.opacity, default_material.opacity);
    set_if(value, "thin", m.thin, default_material.thin);
    set_ref(value, "emission_tex", m.emission_tex);
    set_ref(value, "color_tex", m.color_tex);
    set_ref(value, "metallic_tex", m.metallic_tex);
    set_ref(value, "specular_tex", m.specular_tex);
    set_ref(value, "roughness_tex", m.roughness_tex);
    set_ref(value, "transmission_tex", m.transmission_tex);
    set_ref(value, "translucency_tex", m.translucency_tex);
    set_ref(value, "scattering_tex", m.scattering_tex);
    set_ref(value, "coat_tex", m.coat_tex);
    set_ref(value, "opacity_tex", m.opacity_tex);
    set_ref(value, "normal_tex", m.normal_tex);
  }

  // The shape files carry no subdivision settings: every instance does.
  const auto default_instance = scene_instance{};
  const auto default_shape = scene_shape{};
  for (auto& instance : scene.instances) {
    auto& value = root["instances"][instance->name];
    set_if(value, "frame", instance->frame, default_instance.frame);
    set_ref(value, "shape", instance->shape);
    set_ref(value, "material", instance->material);
    if (auto shape = instance->shape) {
      if (shape->subdivisions != default_shape.subdivisions)
        value["subdivisions"] = shape->subdivisions;
      set_if(value, "catmullclark", shape->catmullclark, default_shape.catmullclark);
      set_if(value, "smooth", shape->smooth, default_shape.smooth);
      set_if(value, "displacement", shape->displacement, default_shape.displacement);
      set_ref(value, "displacement_tex", shape->displacement_tex);
    }
  }
  return root;
}

// Subdivided Catmull-Clark shapes keep their quads in OBJ files.
static std::string shape_file(const scene_shape& shape) {
  auto ext = (shape.catmullclark && shape.subdivisions > 0) ? ".obj" : ".ply";
  return "shapes/" + shape.name + ext;
}

static bool save_json_scene_files(const std::string& filename, const scene_data& scene,
                                  std::string& error, const progress_callback& progress) {
  // Names become file names: refuse any that could leave the two folders
  // before a single byte is written.
  for (auto& shape : scene.shapes)
    if (!check_file_name(filename, "shape", shape->name, error)) return false;
  for (auto& texture : scene.textures)
    if (!check_file_name(filename, "texture", texture->name, error)) return false;

  auto shapes = (int)scene.shapes.size(), textures = (int)scene.textures.size();
  auto total = shapes + textures + 2;
  if (progress) progress("save scene", 0, total);
  auto document = make_document(scene);
  if (progress) progress("save scene", 1, total);

  auto text = std::string{};
  try {
    text = document.dump(2, ' ', false, json::error_handler_t::strict);
  } catch (const json::exception&) {
    error = filename + ": invalid UTF-8 in a record name or the copyright";
    return false;
  }
  // The document appears under its name only once every file it names is
  // written.
  auto document_file = pending_scene_file{};
  if (!write_scene_file(document_file, filename, text, error)) return false;

  auto dirname = path_dirname(filename);
  auto inner = std::string{};
  for (int i = 0; i < shapes; i++) {
    if (progress) progress("save shape", 2 + i, total);
    auto& shape = *scene.shapes[i];
    if (!save_shape(path_join(dirname, shape_file(shape)), shape, inner, true)) {
      error = filename + ": error in " + inner;
      return false;
    }
  }
  auto save = textures_to_save(scene);
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

bool save_json_scene(const std::string& filename, const scene_data& scene, std::string& error,
                     const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] { return save_json_scene_files(filename, scene, error, progress); });
}
