#pragma once
// The city construction: camera, ground, sky, tree models, building
// textures, then one instance per tree and caps, walls and roofs for every
// other record.

#include <string>

#include "generator/features.h"
#include "scene/scene.h"

// Assets are read from dirname + "/tree_models" and "/buildings_texture".
bool build_city_scene(scene_data& scene, const city_features& features,
                      const std::string& dirname, std::string& error);
