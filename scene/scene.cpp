#include "scene/scene.h"

#include <algorithm>
#include <unordered_map>

#include "scene/sunsky.h"

template <typename T>
static T* add_record(std::vector<std::unique_ptr<T>>& records, std::string name,
                     const std::string& prefix) {
  records.push_back(std::make_unique<T>());
  auto record = records.back().get();
  record->name = name.empty() ? prefix + std::to_string(records.size()) : std::move(name);
  return record;
}

scene_camera* add_camera(scene_data& scene, const std::string& name) {
  return add_record(scene.cameras, name, "camera");
}
scene_environment* add_environment(scene_data& scene, const std::string& name) {
  return add_record(scene.environments, name, "environment");
}
scene_instance* add_instance(scene_data& scene, std::string name) {
  return add_record(scene.instances, std::move(name), "instance");
}
scene_material* add_material(scene_data& scene, const std::string& name) {
  return add_record(scene.materials, name, "material");
}
scene_shape* add_shape(scene_data& scene, const std::string& name) {
  return add_record(scene.shapes, name, "shape");
}
scene_texture* add_texture(scene_data& scene, const std::string& name) {
  return add_record(scene.textures, name, "texture");
}

scene_instance* add_complete_instance(scene_data& scene, const std::string& name) {
  auto instance = add_instance(scene, name);
  instance->shape = add_shape(scene, name);
  instance->material = add_material(scene, name);
  return instance;
}

scene_environment* add_sky(scene_data& scene, float sun_angle) {
  auto texture = add_texture(scene, "sky");
  texture->hdr = make_sunsky(1024, 512, sun_angle, 3, false, 1, 1, {0.2f, 0.2f, 0.2f});
  auto environment = add_environment(scene, "sky");
  environment->emission = {1, 1, 1};
  environment->emission_tex = texture;
  return environment;
}

bbox3f compute_scene_bounds(const scene_data& scene) {
  // Shapes are shared by many instances (trees): box each shape once.
  auto shape_bounds = std::unordered_map<const scene_shape*, bbox3f>{};
  for (auto& shape : scene.shapes) {
    auto& local = shape_bounds[shape.get()];
    for (auto& p : shape->positions) expand(local, p);
  }
  auto bounds = bbox3f{};
  for (auto& instance : scene.instances) {
    // An empty shape has the empty box, whose corners would swamp the scene.
    if (!instance->shape || instance->shape->positions.empty()) continue;
    auto found = shape_bounds.find(instance->shape);
    auto local = bbox3f{};
    if (found != shape_bounds.end()) {
      local = found->second;
    } else {
      // A shape kept outside the scene's arrays still has a place in the world.
      for (auto& p : instance->shape->positions) expand(local, p);
    }
    for (int corner = 0; corner < 8; corner++) {
      auto p = vec3f{(corner & 1) ? local.max.x : local.min.x,
                     (corner & 2) ? local.max.y : local.min.y,
                     (corner & 4) ? local.max.z : local.min.z};
      expand(bounds, transform_point(instance->frame, p));
    }
  }
  return bounds;
}

std::vector<scene_material> merge_materials_by_name(const scene_data& scene) {
  auto merged = std::vector<scene_material>{};
  auto index = std::unordered_map<std::string, size_t>{};
  const auto def = scene_material{};
  for (auto& record : scene.materials) {
    auto& m = *record;
    auto found = index.find(m.name);
    if (found == index.end()) {
      found = index.emplace(m.name, merged.size()).first;
      merged.push_back(scene_material{});
      merged.back().name = m.name;
    }
    auto& out = merged[found->second];
    auto lay = [](auto& to, const auto& from, const auto& fallback) {
      if (from != fallback) to = from;
    };
    lay(out.emission, m.emission, def.emission);
    lay(out.color, m.color, def.color);
    lay(out.specular, m.specular, def.specular);
    lay(out.roughness, m.roughness, def.roughness);
    lay(out.metallic, m.metallic, def.metallic);
    lay(out.ior, m.ior, def.ior);
    lay(out.coat, m.coat, def.coat);
    lay(out.transmission, m.transmission, def.transmission);
    lay(out.translucency, m.translucency, def.translucency);
    lay(out.scattering, m.scattering, def.scattering);
    lay(out.scanisotropy, m.scanisotropy, def.scanisotropy);
    lay(out.trdepth, m.trdepth, def.trdepth);
    lay(out.opacity, m.opacity, def.opacity);
    lay(out.thin, m.thin, def.thin);
    lay(out.emission_tex, m.emission_tex, def.emission_tex);
    lay(out.color_tex, m.color_tex, def.color_tex);
    lay(out.specular_tex, m.specular_tex, def.specular_tex);
    lay(out.metallic_tex, m.metallic_tex, def.metallic_tex);
    lay(out.roughness_tex, m.roughness_tex, def.roughness_tex);
    lay(out.transmission_tex, m.transmission_tex, def.transmission_tex);
    lay(out.translucency_tex, m.translucency_tex, def.translucency_tex);
    lay(out.scattering_tex, m.scattering_tex, def.scattering_tex);
    lay(out.coat_tex, m.coat_tex, def.coat_tex);
    lay(out.opacity_tex, m.opacity_tex, def.opacity_tex);
    lay(out.normal_tex, m.normal_tex, def.normal_tex);
  }
  return merged;
}
