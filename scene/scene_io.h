#pragma once
// Reading and saving a whole scene, with the format chosen by the file's
// extension.

#include <string>

#include "scene/scene.h"
#include "scene/scene_load.h"
#include "support/console.h"

// ".json"/".JSON" JSON scene, ".obj"/".OBJ" OBJ scene, ".pbrt"/".PBRT" PBRT
// scene, ".ply"/".PLY" the first shape only, ".gltf"/".GLTF" and ".glb"/".GLB"
// glTF; anything else ": unknown format".
bool save_scene(const std::string& filename, const scene_data& scene, std::string& error,
                const progress_callback& progress = {});

// ".json"/".JSON" JSON scene; anything else ": unknown format".
bool load_scene(const std::string& filename, scene_data& scene, std::string& error,
                const progress_callback& progress = {});

// The scene formats read_scene reads, by extension (".json", ".obj",
// ".stl", ".gltf", ".glb", ".pbrt", lower or upper case).
bool is_readable_scene(const std::string& filename);

// Reads a scene file of any of those formats into `scene` (cleared first).
// Progress goes to `progress` as ("load scene", done, total).
bool read_scene(const std::string& filename, loaded_scene& scene, std::string& error,
                const progress_callback& progress = {});
