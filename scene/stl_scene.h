#pragma once
// STL: a bare list of triangles, as binary records or as ASCII facets.

#include <string>

#include "scene/scene_load.h"
#include "support/console.h"

struct json_scene_store;

// Reads ASCII or binary STL. A binary file must be exactly 84 bytes plus 50
// per triangle its header counts, checked before anything is allocated.
bool parse_stl_scene(const std::string& filename, const std::string& data, loaded_scene& scene,
                     std::string& error);

// Writes binary STL: the triangles and quads (split in two) of every
// instance, placed by its frame. STL holds nothing else: materials,
// textures, texture coordinates, lines, points, cameras and the sky are
// left out. Progress: ("save scene", 0, 1) and ("save done", 1, 1).
bool save_stl_scene(const std::string& filename, const scene_data& scene, std::string& error,
                    const progress_callback& progress = {});

// The same file for the scene whose instances and shapes are those of
// `store` (its cameras, environments and textures, in `scene`, go nowhere),
// taking the shapes one at a time through store_shape_geometry and writing
// the file as it goes: the same bytes save_stl_scene writes for the scene
// the store stands for. The file appears only when it is complete; a shape
// that cannot be had fails the save as filename + ": error in " + its error.
bool save_stl_scene(const std::string& filename, const scene_data& scene,
                    const json_scene_store& store, std::string& error,
                    const progress_callback& progress = {});
