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

#include "scene/scene.h"
#include "support/console.h"

// Writes the scene file, the meshes and the images, making the "shapes" and
// "textures" folders when missing. Shapes without faces (points, lines or
// nothing) cannot be PBRT meshes: they and their instances are left out.
// Progress, with N = 1 + meshes + textures: ("save scene", 0, N) and
// ("save scene", 1, N) around the scene file, then ("save shape", k + 2, N)
// after mesh k and ("save texture", meshes + j + 2, N) after texture j.
bool save_pbrt_scene(const std::string& filename, const scene_data& scene,
                     std::string& error, const progress_callback& progress = {});
