#pragma once
// Caps, walls and roofs of area features, and the building textures.
//
// Every record that is not an instanced tree gets a flat cap at its height;
// buildings also get walls down to the ground, textured by their number of
// storeys, and, where the roof rules say so, a pyramid roof.

#include <string>
#include <vector>

#include "generator/features.h"
#include "scene/scene.h"

// The façade textures, created in the scene once per run and shared by all
// walls of one level class.
struct building_textures {
  // "texture1" ... "texture8", "texture8_11", "texture10_41", "texture40_71",
  // "texture70_101", "texturemore_101", in that order
  std::vector<scene_texture*> levels        = {};
  scene_texture*              landmark      = nullptr;  // "texture_colosseo"
  std::string                 landmark_path = "";       // read when its record is met
};

// The one landmark with its own cap colour and façade image.
inline const char* landmark_record_name = "building_relation_1834818";

// Creates the fourteen textures and loads the thirteen level-class images
// from dirname + "/buildings_texture". Stops at the first image that fails,
// with the image loader's message; the textures made so far stay.
bool load_building_textures(scene_data& scene, const std::string& dirname,
                            building_textures& textures, std::string& error);

// Builds the cap, walls and roof of one record, adding its cap triangles and
// wall quads to the counters. Fails only when the landmark image cannot be
// read; what was built before stays in the scene.
bool build_area_feature(scene_data& scene, const city_feature& record,
                        building_textures& textures, std::string& error, int& triangles,
                        int& quads);

// Storeys as used by the rules: levels when positive, else 0.
int effective_levels(const city_feature& record);
// The façade texture of a level class; none for 0, 101 and a class whose
// texture was not created.
scene_texture* level_texture(const building_textures& textures, int levels);
// The base colour of each kind of feature.
vec3f kind_color(feature_kind kind);
// The colour of a landmark's building:colour tag; white when unknown.
vec3f named_color(const std::string& name);
