#pragma once
// The city built into a compact store a part at a time, so that a city of a
// million features never sits in memory as scene records.

#include <string>

#include "generator/city.h"
#include "scene/json_scene.h"

// Builds the city of build_city_scene: the camera, the ground, the sky, the
// tree models and the textures stay in `scene` (trees refer to the tree
// shapes), and every shape, instance and material, the fixed ones too, goes
// into `store` in the order build_city_scene adds them, a few thousand
// records at a time. Prints the construction counters like
// build_city_scene. Fails like it, or with dirname + ": out of memory".
bool build_city_store(scene_data& scene, json_scene_store& store, const city_features& features,
                      const std::string& dirname, std::string& error);
