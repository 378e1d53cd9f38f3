#include "scene/scene_io.h"

bool save_scene(const std::string& filename, const scene_data&, std::string& error,
                const progress_callback&) {
  // The writers arrive with the scene output work.
  error = filename + ": unknown format";
  return false;
}

std::vector<std::string> format_scene_stats(const scene_data&) { return {}; }
