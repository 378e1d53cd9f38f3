#pragma once
// The PBRT scene file (version 3 syntax): film and camera, the environments
// as infinite lights, one named material per material name, one object per
// shape and material pair, and one object instance per instance.
//
// Layout beside FILE.pbrt: "shapes/NAME.ply" for every shape with faces and
// "textures/NAME.png" (8-bit) or "textures/NAME.hdr" (float) for every
// texture; the file refers to both by these relative paths, which a PBRT
// renderer resolves from the scene file's folder.

#include <string>

#include "scene/json_scene.h"
#include "scene/scene_load.h"

// Writes the scene file, the meshes and the images, making the "shapes" and
// "textures" folders when missing. Shapes without faces (points, lines or
// nothing) cannot be PBRT meshes: they and their instances are left out.
// Progress, with N = 1 + meshes + textures: ("save scene", 0, N) and
// ("save scene", 1, N) around the scene file, then ("save shape", k + 2, N)
// after mesh k and ("save texture", meshes + j + 2, N) after texture j.
bool save_pbrt_scene(const std::string& filename, const scene_data& scene,
                     std::string& error, const progress_callback& progress = {});
// The same for the scene whose cameras, environments and textures are those
// of `scene` and whose shapes, instances and materials are those of `store`,
// not yet prepared for export: each shape is read once and prepared as it
// is taken, and the files equal those save_pbrt_scene writes for the
// prepared scene the store was made from.
bool save_pbrt_scene(const std::string& filename, const scene_data& scene,
                     const json_scene_store& store, std::string& error,
                     const progress_callback& progress = {});

// Reads the pbrt-v3 scene text: transforms, attributes, objects and
// instances, "trianglemesh" and "plymesh" shapes, diffuse colours and image
// textures, the camera, infinite and distant lights, and Include. Anything
// else is skipped with one warning per kind of statement.
bool parse_pbrt_scene(const std::string& filename, const std::string& data,
                      const referenced_files& files, loaded_scene& scene, std::string& error,
                      const progress_callback& progress = {});
