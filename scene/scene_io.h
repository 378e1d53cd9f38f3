#pragma once
// Saving a whole scene, with the writer chosen by the output's extension,
// and the statistics lines printed by `--info`.

#include <string>
#include <vector>

#include "scene/scene.h"
#include "support/console.h"

// ".json"/".JSON" JSON scene, ".obj"/".OBJ" OBJ scene, ".pbrt"/".PBRT" PBRT
// scene, ".ply"/".PLY" the first shape only; anything else ": unknown format".
bool save_scene(const std::string& filename, const scene_data& scene, std::string& error,
                const progress_callback& progress = {});

// Counts and bounds of the scene, one label and value per line.
std::vector<std::string> format_scene_stats(const scene_data& scene);
