#include "scene/pbrt_scene.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "scene/export_scene.h"
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

namespace {

// The scene text, written to a hidden file a block at a time: a city's is
// hundreds of megabytes.
struct pbrt_text {
  hidden_file file;
  std::string text = "";
  bool        flush(std::string& error, bool all = false) {
    if (!all && text.size() < (size_t{1} << 20)) return true;
    if (!write_hidden_text(file, text, error)) return false;
    text.clear();
    return true;
  }
};

// Whether store shape `index` has faces as the export shows it.
bool shape_has_faces(const std::string& filename, const json_scene_store& store,
                     const store_export_plan& plan, size_t index, scene_shape& scratch,
                     bool& faces, std::string& error) {
  if (index < plan.faces.size() && plan.faces[index] != 2) return faces = plan.faces[index] == 1, true;
  auto shape = export_store_shape(filename, store, plan, index, scratch, error);
  if (shape) faces = has_faces(*shape);
  return shape != nullptr;
}

// Each material by name, as the JSON scene file keys them, with its name.
template <typename Visit>
void visit_keyed_materials(const json_scene_store& store, const store_export_plan& plan,
                           Visit visit) {
  for (size_t k = 0; k < plan.materials.size(); k++) {
    auto id = plan.merged_of[k];
    if (id == json_store_none) continue;  // a later record of a name
    auto& m = id < store.material_styles.size() ? store.material_styles[id]
                                                : plan.merged[id - store.material_styles.size()];
    visit(m, store_name(store, store.materials[plan.materials[k]].name));
  }
}

// The camera, the lights and the materials, written as they come: a city
// has a material for each of its million features.
bool append_head(pbrt_text& out, const std::string& filename, const scene_data& scene,
                 const json_scene_store& store, const store_export_plan& plan,
                 std::string& error) {
  auto& text = out.text;
  auto basename = filename.substr(filename.find_last_of("/\\") + 1);
  auto stem = basename.substr(0, basename.size() - path_extension(basename).size());
  text += "# Written by " + std::string(scene_generator_name) + "\n";
  text += "# Meshes are in \"shapes\", images in \"textures\", beside this file.\n\n";
  // Records come in name order, as the JSON scene file keys them.
  auto cameras = records_by_name(scene.cameras);
  append_camera(text, cameras.empty() ? scene_camera{} : *cameras.front(), stem + ".exr");
  text += "\nWorldBegin\n\n";
  for (auto environment : records_by_name(scene.environments))
    if (environment->emission != vec3f{0, 0, 0}) append_light(text, *environment);
  auto images = std::unordered_set<std::string>{};
  text += "\n";
  visit_keyed_materials(store, plan, [&](const scene_material& m, std::string_view) {
    if (!m.color_tex || !images.insert(image_texture_name(*m.color_tex)).second) return;
    text += "Texture " + quoted(image_texture_name(*m.color_tex)) +
            " \"spectrum\" \"imagemap\" \"string filename\" [ " +
            quoted(texture_file(*m.color_tex)) + " ]\n";
  });
  auto named = scene_material{};
  auto ok = true;
  visit_keyed_materials(store, plan, [&](const scene_material& m, std::string_view name) {
    if (!ok) return;
    named = m;
    named.name.assign(name.data(), name.size());
    append_material(text, named);
    ok = out.flush(error);
  });
  return ok;
}

// The objects and the instances. The renderer binds the material when an
// object's shapes are made, so every shape and material pair is an object
// of its own. Area lights do not work in objects: emitting instances carry
// their mesh themselves.
bool append_instances(pbrt_text& out, const json_scene_store& store,
                      const store_export_plan& plan, const std::vector<uint8_t>& faces,
                      std::string& error) {
  auto& text = out.text;
  auto emission_of = [&](const keyed_store_instance& instance) {
    auto m = keyed_material(store, plan, instance);
    return m ? m->emission : vec3f{0, 0, 0};
  };
  auto shows = [&](const keyed_store_instance& instance) {
    return instance.shape != json_store_none && faces[instance.shape];
  };
  auto shape_file_of = [&](const keyed_store_instance& instance) {
    return "shapes/" + std::string{store_name(store, store.shapes[instance.shape].name)} + ".ply";
  };
  auto objects = std::unordered_map<std::string, std::string>{};
  auto object_names = std::unordered_set<std::string>{};
  auto object_of = std::vector<std::string>(plan.instances.size());
  text += "\n";
  for (size_t i = 0; i < plan.instances.size(); i++) {
    auto& instance = plan.instances[i];
    if (!shows(instance) || emission_of(instance) != vec3f{0, 0, 0}) continue;
    auto has_material = instance.material != json_store_none;
    auto material = has_material ? std::string{store_name(store, instance.material)} : "";
    auto shape_name = std::string{store_name(store, store.shapes[instance.shape].name)};
    auto key = shape_name + '\0' + (has_material ? "1" : "0") + material;
    auto found = objects.find(key);
    if (found == objects.end()) {
      auto name = shape_name;
      if (has_material && material != name) name += ":" + material;
      while (!object_names.insert(quoted(name)).second) name += "+";
      found = objects.emplace(key, name).first;
      text += "ObjectBegin " + quoted(name) + "\n";
      if (has_material) text += "  NamedMaterial " + quoted(material) + "\n";
      text += "  Shape \"plymesh\" \"string filename\" [ " + quoted(shape_file_of(instance)) +
              " ]\n";
      text += "ObjectEnd\n";
    }
    object_of[i] = found->second;
    if (!out.flush(error)) return false;
  }
  text += "\n";
  for (size_t i = 0; i < plan.instances.size(); i++) {
    auto& instance = plan.instances[i];
    if (!shows(instance)) continue;
    auto f = keyed_frame(store, plan, i);
    text += "AttributeBegin\n";
    text += "  ConcatTransform " + matrix(f.x, f.y, f.z, f.o) + "\n";
    if (object_of[i].empty()) {
      text += "  NamedMaterial " + quoted(std::string{store_name(store, instance.material)}) + "\n";
      text += "  AreaLightSource \"diffuse\" \"rgb L\" " + numbers(emission_of(instance)) + "\n";
      text += "  Shape \"plymesh\" \"string filename\" [ " + quoted(shape_file_of(instance)) +
              " ]\n";
    } else {
      text += "  ObjectInstance " + quoted(object_of[i]) + "\n";
    }
    text += "AttributeEnd\n";
    if (!out.flush(error)) return false;
  }
  text += "\nWorldEnd\n";
  return out.flush(error, true);
}

// The meshes, in the order of the shapes: same-named shapes share one
// file, the later one stays, as in the JSON scene's folder.
bool save_meshes(const std::string& filename, const json_scene_store& store,
                 const store_export_plan& plan, const std::vector<uint8_t>& faces,
                 const progress_callback& progress, int total, std::string& error) {
  auto dirname = path_dirname(filename);
  auto inner = std::string{};
  auto any = std::find(faces.begin(), faces.end(), 1) != faces.end();
  if (any && !make_directory(path_join(dirname, "shapes"), inner))
    return error = filename + ": error in " + inner, false;
  auto scratch = scene_shape{};
  auto done = 0;
  for (size_t s = 0; s < store.shapes.size(); s++) {
    if (!faces[s]) continue;
    auto shape = export_store_shape(filename, store, plan, s, scratch, error);
    if (!shape) return false;
    if (!has_valid_indices(*shape)) {
      error = filename + ": error in shape \"" + shape->name + "\": index out of range";
      return false;
    }
    if (!save_shape(path_join(dirname, shape_file(*shape)), *shape, inner, true))
      return error = filename + ": error in " + inner, false;
    if (progress) progress("save shape", ++done + 1, total);
  }
  return true;
}

bool save_pbrt_scene_files(const std::string& filename, const scene_data& scene,
                           const json_scene_store& store, const store_export_plan& plan,
                           std::string& error, const progress_callback& progress) {
  // Which shapes are meshes, and their names, before anything is written.
  auto faces = std::vector<uint8_t>(store.shapes.size());
  auto scratch = scene_shape{};
  auto meshes = 0;
  for (size_t s = 0; s < store.shapes.size(); s++) {
    auto has = false;
    if (!shape_has_faces(filename, store, plan, s, scratch, has, error)) return false;
    faces[s] = has ? 1 : 0;
    if (!has) continue;
    meshes++;
    auto name = std::string{store_name(store, store.shapes[s].name)};
    if (!check_file_name(filename, "shape", name, error)) return false;
  }
  for (auto& texture : scene.textures)
    if (!check_file_name(filename, "texture", texture->name, error)) return false;

  auto total = 1 + meshes + (int)scene.textures.size();
  if (progress) progress("save scene", 0, total);
  // The scene text appears under its name only once its meshes and
  // textures are written.
  auto out = pbrt_text{};
  if (!open_hidden_file(filename, out.file, error)) return false;
  if (!append_head(out, filename, scene, store, plan, error)) return false;
  if (!append_instances(out, store, plan, faces, error)) return false;
  auto temp = std::string{};
  if (!close_hidden_file(out.file, temp, error)) return false;
  auto scene_file = pending_scene_file{filename, temp};
  if (progress) progress("save scene", 1, total);

  if (!save_meshes(filename, store, plan, faces, progress, total, error)) return false;
  if (!save_scene_textures(filename, scene, error, progress, 1 + meshes, total)) return false;
  return publish_scene_file(scene_file, error);
}

}  // namespace

bool save_pbrt_scene(const std::string& filename, const scene_data& scene, std::string& error,
                     const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] {
    // The scene's records, borrowed: the writer takes them as it takes a store's.
    auto store = json_scene_store{};
    add_scene_records(store, scene, {}, true);
    auto plan = store_export_plan{};
    if (!plan_store_export(filename, store, false, plan, error, false)) return false;
    return save_pbrt_scene_files(filename, scene, store, plan, error, progress);
  });
}

bool save_pbrt_scene(const std::string& filename, const scene_data& scene,
                     const json_scene_store& store, std::string& error,
                     const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] {
    auto plan = store_export_plan{};
    if (!plan_store_export(filename, store, true, plan, error, false, true)) return false;
    return save_pbrt_scene_files(filename, scene, store, plan, error, progress);
  });
}
