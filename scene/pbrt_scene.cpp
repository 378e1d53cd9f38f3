#include "scene/pbrt_scene.h"

#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "scene/scene_files.h"
#include "scene/shape.h"
#include "scene/shape_io.h"
#include "support/files.h"
#include "support/format.h"

// Names are quoted strings: quotes, backslashes and control characters
// would end or garble them, so they become '_'.
static std::string quoted(const std::string& text) {
  auto out = text;
  for (auto& c : out)
    if (c == '"' || c == '\\' || (unsigned char)c < 0x20 || c == 0x7f) c = '_';
  return "\"" + out + "\"";
}

static std::string numbers(std::initializer_list<float> values) {
  auto text = std::string{"["};
  for (auto value : values) text += " " + format_float(value);
  return text + " ]";
}
static std::string numbers(const vec3f& v) { return numbers({v.x, v.y, v.z}); }

// Four columns of the matrix, as the Transform statements list them.
static std::string matrix(const vec3f& x, const vec3f& y, const vec3f& z, const vec3f& o) {
  return numbers({x.x, x.y, x.z, 0, y.x, y.y, y.z, 0, z.x, z.y, z.z, 0, o.x, o.y, o.z, 1});
}

static bool has_faces(const scene_shape& shape) {
  return !shape.positions.empty() &&
         (!shape.triangles.empty() || !shape.quads.empty() || !shape.quadspos.empty());
}

static std::string shape_file(const scene_shape& shape) {
  return "shapes/" + shape.name + ".ply";
}

static void append_camera(std::string& text, const scene_camera& camera,
                          const std::string& image_name) {
  auto& f = camera.frame;
  auto aspect = (camera.aspect > 0 && std::isfinite(camera.aspect)) ? camera.aspect : 1.5f;
  auto width = 1280, height = std::max(1, (int)std::lround(1280 / aspect));
  // The renderer's camera space is left-handed: mirroring x keeps the image
  // the right way round for our right-handed frames.
  text += "Scale -1 1 1\n";
  auto eye = f.o, look = f.o - f.z, up = f.y;
  text += "LookAt " + format_float(eye.x) + " " + format_float(eye.y) + " " +
          format_float(eye.z) + "  " + format_float(look.x) + " " + format_float(look.y) +
          " " + format_float(look.z) + "  " + format_float(up.x) + " " + format_float(up.y) +
          " " + format_float(up.z) + "\n";
  if (camera.ortho) {
    // The view's extent at the focus distance.
    auto half_width = camera.film / 2 * camera.focus / camera.lens;
    auto half_height = half_width / aspect;
    text += "Camera \"orthographic\" \"float screenwindow\" " +
            numbers({-half_width, half_width, -half_height, half_height}) + "\n";
  } else {
    // The field of view spans the shorter side of the film.
    auto film_short = aspect >= 1 ? camera.film / aspect : camera.film;
    auto fov = 2 * std::atan(film_short / (2 * camera.lens)) * 180 / 3.14159265f;
    text += "Camera \"perspective\" \"float fov\" " + numbers({fov});
    if (camera.aperture > 0) {
      text += " \"float lensradius\" " + numbers({camera.aperture / 2}) +
              " \"float focaldistance\" " + numbers({camera.focus});
    }
    text += "\n";
  }
  text += "Film \"image\" \"integer xresolution\" [ " + std::to_string(width) +
          " ] \"integer yresolution\" [ " + std::to_string(height) +
          " ] \"string filename\" [ " + quoted(image_name) + " ]\n";
  text += "Sampler \"halton\" \"integer pixelsamples\" [ 64 ]\n";
  text += "Integrator \"path\" \"integer maxdepth\" [ 8 ]\n";
}

static void append_light(std::string& text, const scene_environment& environment) {
  // An infinite light looks its image up with z up and the longitude
  // running from x towards y; ours has y up and runs from x towards z, so
  // the light's y and z axes are our z and y.
  auto& f = environment.frame;
  text += "AttributeBegin\n";
  text += "  ConcatTransform " + matrix(f.x, f.z, f.y, {0, 0, 0}) + "\n";
  if (environment.emission_tex) {
    text += "  LightSource \"infinite\" \"string mapname\" [ " +
            quoted(texture_file(*environment.emission_tex)) + " ] \"rgb scale\" " +
            numbers(environment.emission) + "\n";
  } else {
    text += "  LightSource \"infinite\" \"rgb L\" " + numbers(environment.emission) + "\n";
  }
  text += "AttributeEnd\n";
}

static std::string image_texture_name(const scene_texture& texture) {
  return texture_file(texture);
}
static std::string color_texture_name(const scene_material& material) {
  return material.name + ":color";
}

static void append_material(std::string& text, const scene_material& m) {
  // A textured colour is the image scaled by the colour, as in our model.
  auto color = std::string{};
  if (m.color_tex) {
    text += "Texture " + quoted(color_texture_name(m)) +
            " \"spectrum\" \"scale\" \"texture tex1\" [ " +
            quoted(image_texture_name(*m.color_tex)) + " ] \"rgb tex2\" " + numbers(m.color) +
            "\n";
    color = "\"texture %s\" [ " + quoted(color_texture_name(m)) + " ]";
  } else {
    color = "\"rgb %s\" " + numbers(m.color);
  }
  auto with_key = [&](const std::string& key) {
    auto out = color;
    out.replace(out.find("%s"), 2, key);
    return out;
  };

  text += "MakeNamedMaterial " + quoted(m.name) + "\n";
  auto diffuse_only = m.specular == 0 && m.metallic == 0 && m.transmission == 0 &&
                      m.coat == 0 && m.translucency == 0;
  if (diffuse_only) {
    text += "  \"string type\" [ \"matte\" ] " + with_key("Kd") + "\n";
    return;
  }
  text += "  \"string type\" [ \"disney\" ] " + with_key("color") + "\n";
  text += "  \"float metallic\" " + numbers({m.metallic}) + " \"float eta\" " + numbers({m.ior}) +
          " \"float roughness\" " + numbers({m.roughness}) + "\n";
  text += "  \"float clearcoat\" " + numbers({m.coat}) + " \"float spectrans\" " +
          numbers({m.transmission}) + "\n";
  // The renderer's default lets half the diffuse light through thin
  // surfaces: state ours, a weight of 2 being all of it.
  text += "  \"bool thin\" [ " + std::string(m.thin ? "\"true\"" : "\"false\"") +
          " ] \"float difftrans\" " + numbers({m.thin ? 2 * m.translucency : 0.0f}) + "\n";
}

static bool save_pbrt_scene_files(const std::string& filename, const scene_data& scene,
                                  std::string& error, const progress_callback& progress) {
  auto meshes = std::vector<const scene_shape*>{};
  for (auto& shape : scene.shapes)
    if (has_faces(*shape)) meshes.push_back(shape.get());
  for (auto shape : meshes) {
    if (!check_file_name(filename, "shape", shape->name, error)) return false;
    if (!has_valid_indices(*shape)) {
      error = filename + ": error in shape \"" + shape->name + "\": index out of range";
      return false;
    }
  }
  for (auto& texture : scene.textures)
    if (!check_file_name(filename, "texture", texture->name, error)) return false;

  auto total = 1 + (int)meshes.size() + (int)scene.textures.size();
  if (progress) progress("save scene", 0, total);

  auto basename = filename.substr(filename.find_last_of("/\\") + 1);
  auto stem = basename.substr(0, basename.size() - path_extension(basename).size());

  auto text = std::string{};
  text += "# Written by " + std::string(scene_generator_name) + "\n";
  text += "# Meshes are in \"shapes\", images in \"textures\", beside this file.\n\n";
  // Records come in name order, as the JSON scene file keys them.
  auto cameras = records_by_name(scene.cameras);
  auto keyed = instances_by_name(scene);
  auto instances = std::vector<const scene_instance*>{};
  for (auto& instance : keyed) instances.push_back(&instance);
  append_camera(text, cameras.empty() ? scene_camera{} : *cameras.front(),
                stem + ".exr");
  text += "\nWorldBegin\n\n";

  for (auto environment : records_by_name(scene.environments))
    if (environment->emission != vec3f{0, 0, 0}) append_light(text, *environment);

  // Materials are keyed by name, as in the JSON scene file.
  auto materials = materials_by_name(scene);
  auto material_index = std::unordered_map<std::string, size_t>{};
  for (size_t i = 0; i < materials.size(); i++) material_index[materials[i].name] = i;
  auto images = std::unordered_set<std::string>{};
  text += "\n";
  for (auto& m : materials) {
    if (!m.color_tex || !images.insert(image_texture_name(*m.color_tex)).second) continue;
    text += "Texture " + quoted(image_texture_name(*m.color_tex)) +
            " \"spectrum\" \"imagemap\" \"string filename\" [ " +
            quoted(texture_file(*m.color_tex)) + " ]\n";
  }
  for (auto& m : materials) append_material(text, m);

  // The renderer binds the material when an object's shapes are made, so
  // every shape and material pair is an object of its own. Area lights do
  // not work in objects: emitting instances carry their mesh themselves.
  auto emission_of = [&](const scene_instance& instance) {
    if (!instance.material) return vec3f{0, 0, 0};
    return materials[material_index.at(instance.material->name)].emission;
  };
  auto objects = std::unordered_map<std::string, std::string>{};
  auto object_names = std::unordered_set<std::string>{};
  auto object_of = std::vector<std::string>(instances.size());
  text += "\n";
  for (size_t i = 0; i < instances.size(); i++) {
    auto& instance = *instances[i];
    if (!instance.shape || !has_faces(*instance.shape)) continue;
    if (emission_of(instance) != vec3f{0, 0, 0}) continue;
    auto material = instance.material ? instance.material->name : std::string{};
    auto key = instance.shape->name + '\0' + (instance.material ? "1" : "0") + material;
    auto found = objects.find(key);
    if (found == objects.end()) {
      auto name = instance.shape->name;
      if (instance.material && material != name) name += ":" + material;
      while (!object_names.insert(quoted(name)).second) name += "+";
      found = objects.emplace(key, name).first;
      text += "ObjectBegin " + quoted(name) + "\n";
      if (instance.material) text += "  NamedMaterial " + quoted(material) + "\n";
      text += "  Shape \"plymesh\" \"string filename\" [ " +
              quoted(shape_file(*instance.shape)) + " ]\n";
      text += "ObjectEnd\n";
    }
    object_of[i] = found->second;
  }

  text += "\n";
  for (size_t i = 0; i < instances.size(); i++) {
    auto& instance = *instances[i];
    if (!instance.shape || !has_faces(*instance.shape)) continue;
    auto& f = instance.frame;
    text += "AttributeBegin\n";
    text += "  ConcatTransform " + matrix(f.x, f.y, f.z, f.o) + "\n";
    if (object_of[i].empty()) {
      text += "  NamedMaterial " + quoted(instance.material->name) + "\n";
      text += "  AreaLightSource \"diffuse\" \"rgb L\" " + numbers(emission_of(instance)) + "\n";
      text += "  Shape \"plymesh\" \"string filename\" [ " +
              quoted(shape_file(*instance.shape)) + " ]\n";
    } else {
      text += "  ObjectInstance " + quoted(object_of[i]) + "\n";
    }
    text += "AttributeEnd\n";
  }
  text += "\nWorldEnd\n";

  // The scene text appears under its name only once its meshes and
  // textures are written.
  auto scene_file = pending_scene_file{};
  if (!write_scene_file(scene_file, filename, text, error)) return false;
  if (progress) progress("save scene", 1, total);

  // Same-named shapes share one file; the later one stays, as in the JSON
  // scene's folder.
  auto dirname = path_dirname(filename);
  auto inner = std::string{};
  if (!meshes.empty() && !make_directory(path_join(dirname, "shapes"), inner)) {
    error = filename + ": error in " + inner;
    return false;
  }
  for (size_t k = 0; k < meshes.size(); k++) {
    if (!save_shape(path_join(dirname, shape_file(*meshes[k])), *meshes[k], inner, true)) {
      error = filename + ": error in " + inner;
      return false;
    }
    if (progress) progress("save shape", (int)k + 2, total);
  }
  if (!save_scene_textures(filename, scene, error, progress, 1 + (int)meshes.size(), total))
    return false;
  return publish_scene_file(scene_file, error);
}

bool save_pbrt_scene(const std::string& filename, const scene_data& scene, std::string& error,
                     const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] { return save_pbrt_scene_files(filename, scene, error, progress); });
}
