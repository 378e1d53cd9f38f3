#include "generator/city.h"

bool build_city_scene(scene_data& scene, const city_features& features,
                      const std::string&, std::string&) {
  // The camera, ground, sky and records arrive with the city construction work.
  scene.name = features.name;
  return true;
}
