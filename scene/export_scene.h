#pragma once
// What a scene gets before it is written for other programs (glTF, GLB, OBJ,
// PBRT), which draw exactly what the file says: walls and roofs facing out
// with normals, flat layers lifted apart. The JSON scene and the PLY shape
// are written as the scene is.

#include <string>

#include "scene/scene.h"

// True for ".gltf", ".glb", ".obj" and ".pbrt" (all lower or all upper case).
bool is_export_format(const std::string& filename);

// orient_city_surfaces, then lift_flat_layers. blockgen and convert both
// call it on the scene they are about to write in an export format.
void prepare_export_scene(scene_data& scene);

// The scene's "extras" of a glTF file as a JSON object text: the
// georeference when the scene has one, and the ambient colour of the sky
// (the mean radiance of its upper half, times the environment's emission).
// Empty when there is nothing to say.
std::string scene_extras_json(const scene_data& scene);
