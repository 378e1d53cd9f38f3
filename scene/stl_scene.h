#pragma once
// STL: a bare list of triangles, as binary records or as ASCII facets.

#include <string>

#include "scene/scene_load.h"

// Reads ASCII or binary STL. A binary file must be exactly 84 bytes plus 50
// per triangle its header counts, checked before anything is allocated.
bool parse_stl_scene(const std::string& filename, const std::string& data, loaded_scene& scene,
                     std::string& error);
