#include "generator/city_store.h"

#include <new>

bool build_city_store(scene_data& scene, json_scene_store& store, const city_features& features,
                      const std::string& dirname, std::string& error) {
  // Records built per part: enough that a part's overhead is small, few
  // enough that a part's records take a few megabytes.
  const size_t part = 4096;
  auto build = city_build{};
  if (!begin_city_scene(scene, features, dirname, build, error)) return false;
  try {
    add_scene_records(store, scene, {});
    auto kept = record_counts(scene);
    auto count = features.features.size();
    for (size_t first = 0; first < count; first += part) {
      if (!build_city_records(scene, features, first, first + part, build, error)) return false;
      add_scene_records(store, scene, kept);
      scene.shapes.resize(kept.shapes);
      scene.instances.resize(kept.instances);
      scene.materials.resize(kept.materials);
    }
  } catch (const std::bad_alloc&) {
    error = dirname + ": out of memory";
    return false;
  }
  end_city_scene(build);
  return true;
}
