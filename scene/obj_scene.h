#pragma once
// The OBJ scene file: every instance's geometry placed in world space, with
// its materials in a companion ".mtl" file of the same base name and the
// textures in "textures" beside both.

#include <string>

#include "scene/json_scene.h"
#include "scene/scene_load.h"

// Writes FILE.obj, FILE.mtl and "textures/NAME.png" (8-bit) or
// "textures/NAME.hdr" (float), making the "textures" folder when missing.
// Instances without a shape or with an empty shape are left out. Progress:
// ("save scene", 0, N) and ("save scene", 1, N) around the two text files,
// then ("save texture", 1 + j + 1, N) after texture j, with N = 1 + textures.
bool save_obj_scene(const std::string& filename, const scene_data& scene, std::string& error,
                    const progress_callback& progress = {});

// The same for the scene whose cameras, environments and textures are those
// of `scene` and whose instances, shapes and materials are those of
// `store`, which is NOT prepared for export: the writer prepares each shape
// as it takes it (see save_gltf_scene), and streams the OBJ text to a file
// beside the output. A shape that cannot be had fails the save with
// filename + ": error in " + the store's error, and leaves no OBJ file.
bool save_obj_scene(const std::string& filename, const scene_data& scene,
                    const json_scene_store& store, std::string& error,
                    const progress_callback& progress = {});

// Reads an OBJ scene with its material libraries: diffuse colours and
// map_Kd images. Every object and material pair becomes a shape with its
// instance.
bool parse_obj_scene(const std::string& filename, const std::string& data,
                     const referenced_files& files, loaded_scene& scene, std::string& error);
