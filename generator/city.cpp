#include "generator/city.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <new>

#include "generator/buildings.h"
#include "scene/shape_io.h"
#include "support/files.h"

bool load_tree_shapes(scene_data& scene, const std::string& dirname, tree_shapes& shapes,
                      std::string& error) {
  struct model {
    const char*   name;
    scene_shape** shape;
  };
  const model models[] = {{"standard", &shapes.standard},
                          {"palm", &shapes.palm},
                          {"pine", &shapes.pine},
                          {"cypress", &shapes.cypress},
                          {"oak", &shapes.oak}};
  for (auto& [name, shape] : models) {
    auto path = path_join(dirname, std::string{"tree_models/"} + name + ".ply");
    *shape = add_shape(scene, name);
    if (!load_shape(path, **shape, error, false, true)) return false;
  }
  return true;
}

// How each tree type is shown: its model, leaf colour and the offset that
// moves the generic model's trunk onto the mapped point.
struct tree_style {
  scene_shape* shape  = nullptr;
  vec3f        color  = {};
  float        offset = 0;
};

static tree_style tree_style_of(const tree_shapes& shapes, int type) {
  switch (type) {
    case tree_generic: return {shapes.standard, {0.002f, 0.187f, 0.008f}, 0.09f};
    case tree_palm: return {shapes.palm, {0.224f, 0.5f, 0.06f}, 0};
    case tree_oak: return {shapes.oak, {0.084f, 0.193f, 0.005f}, 0};
    case tree_pine: return {shapes.pine, {0.145f, 0.182f, 0.036f}, 0};
    default: return {shapes.cypress, {0.019f, 0.175f, 0.039f}, 0};
  }
}

static bool is_instanced_tree(const city_feature& record) {
  return record.kind == feature_kind::tree && record.tree_type >= tree_generic &&
         record.tree_type <= tree_cypress;
}

static void add_tree(scene_data& scene, const city_feature& record, const tree_shapes& shapes) {
  auto instance = add_complete_instance(scene, record.name);
  auto style = tree_style_of(shapes, record.tree_type);
  // The instance's own shape stays in the scene, empty: trees share models.
  for (auto& point : record.outline) {
    instance->shape = style.shape;
    instance->material->color = style.color;
    instance->frame = frame3f{};
    instance->frame.o = {(float)point.x + style.offset, 0, (float)point.y + style.offset};
  }
}

static void add_fixed_content(scene_data& scene) {
  auto camera = add_camera(scene, "");
  camera->frame = {{-0.028f, 0, 1.0f},
                   {0.764f, 0.645f, 0.022f},
                   {-0.645f, 0.764f, -0.018f},
                   {-13.032f, 16.75f, -1.409f}};
  camera->ortho = false;
  camera->lens = 0.035f;
  camera->film = 0.024f;
  camera->aspect = 1.0f;
  camera->focus = 3.9f;
  camera->aperture = 0;

  // The ground reaches well past the 50 x 50 map.
  auto floor = add_complete_instance(scene, "floor");
  floor->shape->positions = {{-60, 0, 60}, {60, 0, 60}, {60, 0, -60}, {-60, 0, -60}};
  floor->shape->triangles = {{0, 1, 2}, {2, 3, 0}};
  floor->material->color = {0.725f, 0.71f, 0.68f};

  add_sky(scene, 0.7853982f);
}

static int64_t clock_milliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

static bool begin_records(scene_data& scene, const city_features& features,
                          const std::string& dirname, city_build& build, std::string& error) {
  build = city_build{};
  build.dirname = dirname;
  scene.name = features.name;
  add_fixed_content(scene);

  if (!load_tree_shapes(scene, dirname, build.trees, error)) return false;
  if (!load_building_textures(scene, dirname, build.textures, error)) return false;

  for (auto& record : features.features) {
    auto kind = (int)record.kind;
    if ((kind >= 0 && kind <= 6) || record.kind == feature_kind::tree) {
      build.buildable = true;
      break;
    }
  }
  return true;
}

static bool build_range(scene_data& scene, const city_features& features, size_t first,
                        size_t last, city_build& build, std::string& error) {
  if (!build.buildable) return true;
  // Every record adds about two instances, shapes and materials.
  auto count = std::min(last, features.features.size()) - std::min(first, last);
  scene.instances.reserve(scene.instances.size() + 2 * count);
  scene.shapes.reserve(scene.shapes.size() + 2 * count);
  scene.materials.reserve(scene.materials.size() + 2 * count);

  for (auto index = first; index < last && index < features.features.size(); index++) {
    auto& record = features.features[index];
    if (is_instanced_tree(record)) {
      add_tree(scene, record, build.trees);
      continue;
    }
    build.elements += 1;
    auto start = clock_milliseconds();
    if (!build_area_feature(scene, record, build.textures, error, build.triangles, build.quads))
      return false;
    build.time += (int32_t)(clock_milliseconds() - start) / 1000.0;
  }
  return true;
}

// A city too large for memory ends the run with a message, not a crash.
template <typename Step>
static bool guard_memory(const std::string& dirname, std::string& error, Step&& step) {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    error = dirname + ": out of memory";
    return false;
  }
}

bool begin_city_scene(scene_data& scene, const city_features& features,
                      const std::string& dirname, city_build& build, std::string& error) {
  return guard_memory(dirname, error,
                      [&] { return begin_records(scene, features, dirname, build, error); });
}

bool build_city_records(scene_data& scene, const city_features& features, size_t first,
                        size_t last, city_build& build, std::string& error) {
  return guard_memory(build.dirname, error, [&] {
    return build_range(scene, features, first, last, build, error);
  });
}

void end_city_scene(const city_build& build) {
  if (!build.buildable) return;
  std::cout << "Time" << std::endl << build.time << std::endl;
  std::cout << "Triangles" << std::endl << build.triangles << std::endl;
  std::cout << "Quads" << std::endl << build.quads << std::endl;
  std::cout << "Elements" << std::endl << build.elements << std::endl;
}

bool build_city_scene(scene_data& scene, const city_features& features,
                      const std::string& dirname, std::string& error) {
  auto build = city_build{};
  if (!begin_city_scene(scene, features, dirname, build, error)) return false;
  if (!build_city_records(scene, features, 0, features.features.size(), build, error))
    return false;
  end_city_scene(build);
  return true;
}
