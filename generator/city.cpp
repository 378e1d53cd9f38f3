#include "generator/city.h"

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

static bool build_records(scene_data& scene, const city_features& features,
                          const std::string& dirname, std::string& error) {
  scene.name = features.name;
  add_fixed_content(scene);

  auto shapes = tree_shapes{};
  if (!load_tree_shapes(scene, dirname, shapes, error)) return false;
  auto textures = building_textures{};
  if (!load_building_textures(scene, dirname, textures, error)) return false;

  auto buildable = false;
  for (auto& record : features.features) {
    auto kind = (int)record.kind;
    if ((kind >= 0 && kind <= 6) || record.kind == feature_kind::tree) {
      buildable = true;
      break;
    }
  }
  if (!buildable) return true;

  // Every record adds about two instances, shapes and materials.
  auto count = features.features.size();
  scene.instances.reserve(scene.instances.size() + 2 * count);
  scene.shapes.reserve(scene.shapes.size() + 2 * count);
  scene.materials.reserve(scene.materials.size() + 2 * count);

  auto time = 0.0;
  auto triangles = 0, quads = 0, elements = 0;
  for (auto& record : features.features) {
    if (is_instanced_tree(record)) {
      add_tree(scene, record, shapes);
      continue;
    }
    elements += 1;
    auto start = clock_milliseconds();
    if (!build_area_feature(scene, record, textures, error, triangles, quads)) return false;
    time += (int32_t)(clock_milliseconds() - start) / 1000.0;
  }

  std::cout << "Time" << std::endl << time << std::endl;
  std::cout << "Triangles" << std::endl << triangles << std::endl;
  std::cout << "Quads" << std::endl << quads << std::endl;
  std::cout << "Elements" << std::endl << elements << std::endl;
  return true;
}

bool build_city_scene(scene_data& scene, const city_features& features,
                      const std::string& dirname, std::string& error) {
  // A city too large for memory ends the run with a message, not a crash.
  try {
    return build_records(scene, features, dirname, error);
  } catch (const std::bad_alloc&) {
    error = dirname + ": out of memory";
    return false;
  }
}
