#pragma once
// The city construction: camera, ground, sky, tree models, building
// textures, then one instance per tree and caps, walls and roofs for every
// other record.

#include <string>

#include "generator/buildings.h"
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

// The same construction a part at a time, for a caller that moves what each
// part adds out of the scene before building the next (a big city is never
// held as scene records whole): begin_city_scene adds the fixed content and
// loads the assets, build_city_records builds the records from `first` up
// to `last`, and end_city_scene prints the counters. Called in that order,
// over all records, they add what build_city_scene adds, in the same order.
struct city_build {
  std::string       dirname   = "";
  tree_shapes       trees     = {};
  building_textures textures  = {};
  bool              buildable = false;  // some record gets built at all
  double            time      = 0;
  int               triangles = 0, quads = 0, elements = 0;
};
bool begin_city_scene(scene_data& scene, const city_features& features,
                      const std::string& dirname, city_build& build, std::string& error);
bool build_city_records(scene_data& scene, const city_features& features, size_t first,
                        size_t last, city_build& build, std::string& error);
void end_city_scene(const city_build& build);
