#pragma once
// The statistics that `--info` prints under "scene stats ------------".

#include <string>
#include <vector>

#include "scene/scene.h"

// Counts and bounds of the scene, one label and value per line, without
// line ends.
std::vector<std::string> format_scene_stats(const scene_data& scene);
