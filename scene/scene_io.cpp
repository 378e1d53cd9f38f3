#include "scene/scene_io.h"

#include "scene/gltf_scene.h"
#include "scene/json_scene.h"
#include "scene/obj_scene.h"
#include "scene/pbrt_scene.h"
#include "scene/shape_io.h"
#include "support/files.h"

// The single-shape format keeps only the geometry of the first shape.
static bool save_first_shape(const std::string& filename, const scene_data& scene,
                             std::string& error, const progress_callback& progress) {
  if (scene.shapes.empty()) {
    error = filename + ": empty shape";
    return false;
  }
  if (progress) progress("save scene", 0, 1);
  if (!save_shape(filename, *scene.shapes.front(), error, true)) return false;
  if (progress) progress("save done", 1, 1);
  return true;
}

bool save_scene(const std::string& filename, const scene_data& scene, std::string& error,
                const progress_callback& progress) {
  // Exactly the lower- or upper-case form; ".Json" is no known format.
  if (has_extension(filename, ".json")) return save_json_scene(filename, scene, error, progress);
  if (has_extension(filename, ".obj")) return save_obj_scene(filename, scene, error, progress);
  if (has_extension(filename, ".pbrt")) return save_pbrt_scene(filename, scene, error, progress);
  if (has_extension(filename, ".ply")) return save_first_shape(filename, scene, error, progress);
  if (has_extension(filename, ".gltf") || has_extension(filename, ".glb"))
    return save_gltf_scene(filename, scene, error, progress);
  error = filename + ": unknown format";
  return false;
}

bool load_scene(const std::string& filename, scene_data& scene, std::string& error,
                const progress_callback& progress) {
  if (has_extension(filename, ".json")) return load_json_scene(filename, scene, error, progress);
  error = filename + ": unknown format";
  return false;
}
