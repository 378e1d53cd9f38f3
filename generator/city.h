#pragma once
// The city construction: camera, ground, sky, tree models, building
// textures, then one instance per tree and caps, walls and roofs for every
// other record.

#include <string>

#include "generator/features.h"
#include "scene/scene.h"

// The five shared tree models, one shape each, used by every tree of a type.
struct tree_shapes {
  scene_shape* standard = nullptr;  // generic trees
  scene_shape* palm     = nullptr;
  scene_shape* pine     = nullptr;
  scene_shape* cypress  = nullptr;
  scene_shape* oak      = nullptr;
};

// Creates "standard", "palm", "pine", "cypress" and "oak", in that order, and
// loads each from dirname + "/tree_models/<name>.ply". Stops at the first
// model that fails, with the shape loader's message; the failed shape stays
// empty and the later ones are not created.
bool load_tree_shapes(scene_data& scene, const std::string& dirname, tree_shapes& shapes,
                      std::string& error);

// Assets are read from dirname + "/tree_models" and "/buildings_texture".
// Prints the construction counters when any record is built.
bool build_city_scene(scene_data& scene, const city_features& features,
                      const std::string& dirname, std::string& error);
