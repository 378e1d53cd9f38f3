#pragma once
// Reading and saving a whole scene, with the format chosen by the file's
// extension.

#include <string>

#include "scene/scene.h"
#include "support/console.h"

// ".json"/".JSON" JSON scene, ".obj"/".OBJ" OBJ scene, ".pbrt"/".PBRT" PBRT
// scene, ".ply"/".PLY" the first shape only, ".gltf"/".GLTF" and ".glb"/".GLB"
// glTF; anything else ": unknown format".
bool save_scene(const std::string& filename, const scene_data& scene, std::string& error,
                const progress_callback& progress = {});

// ".json"/".JSON" JSON scene; anything else ": unknown format".
bool load_scene(const std::string& filename, scene_data& scene, std::string& error,
                const progress_callback& progress = {});
