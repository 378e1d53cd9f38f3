#pragma once
// Reading and saving a whole scene, with the format chosen by the file's
// extension.

#include <string>
#include <vector>

#include "scene/formats.h"
#include "scene/json_scene.h"
#include "scene/scene.h"
#include "scene/scene_load.h"
#include "support/console.h"

// ".json"/".JSON" JSON scene, ".obj"/".OBJ" OBJ scene, ".pbrt"/".PBRT" PBRT
// scene, ".ply"/".PLY" the first shape only, ".gltf"/".GLTF" and ".glb"/".GLB"
// glTF, ".stl"/".STL" binary STL; anything else ": unknown format".
bool save_scene(const std::string& filename, const scene_data& scene, std::string& error,
                const progress_callback& progress = {});

// True for the formats whose writers take a compact store: ".json",
// ".gltf", ".glb", ".obj", ".pbrt" (all lower or all upper case).
bool has_store_writer(const std::string& filename);

// The scene whose cameras, environments and textures are those of `scene`
// and whose instances, shapes and materials are those of `store`, by the
// file's extension (see has_store_writer; anything else ": unknown
// format"). The store is taken as the generator makes it, not prepared for
// export: the export writers prepare each shape as they take it (see
// prepare_export_scene), so the files equal those save_scene writes for
// the scene the store was made from, prepared where the format needs it.
bool save_scene(const std::string& filename, const scene_data& scene,
                const json_scene_store& store, std::string& error,
                const progress_callback& progress = {});

// ".json"/".JSON" JSON scene; anything else ": unknown format".
bool load_scene(const std::string& filename, scene_data& scene, std::string& error,
                const progress_callback& progress = {});

// What a scene saved as `filename` leaves out because the format cannot
// hold it ("no cameras", "no sky"), one line per kind of thing the scene
// has; empty when the format keeps everything.
std::vector<std::string> unsaved_parts(const std::string& filename, const scene_data& scene);

// Reads a scene file of any format is_readable_scene names into `scene`
// (cleared first).
// Progress goes to `progress` as ("load scene", done, total).
bool read_scene(const std::string& filename, loaded_scene& scene, std::string& error,
                const progress_callback& progress = {});
