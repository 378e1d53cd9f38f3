#pragma once
// The JSON scene file: cameras, environments, materials and instances in one
// document, with every shape in "shapes" and every texture in "textures"
// beside it, each file named after its record.

#include <string>

#include "scene/scene.h"
#include "support/console.h"

// Writes the document, then each shape ("shapes/NAME.ply", or ".obj" for
// Catmull-Clark subdivided shapes) and each texture ("textures/NAME.png" for
// 8-bit, ".hdr" for float). The folders must exist. Stops at the first
// failure; a failing shape or texture is reported as
// filename + ": error in " + its own error, and no document is left at
// `filename` (it is written last, under a temporary name until then).
bool save_json_scene(const std::string& filename, const scene_data& scene,
                     std::string& error, const progress_callback& progress = {});
