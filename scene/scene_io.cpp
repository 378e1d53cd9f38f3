#include "scene/scene_io.h"

#include "scene/gltf_scene.h"
#include "scene/json_scene.h"
#include "scene/obj_scene.h"
#include "scene/pbrt_scene.h"
#include "scene/shape_io.h"
#include "scene/stl_scene.h"
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
  if (has_extension(filename, ".stl")) return save_stl_scene(filename, scene, error, progress);
  error = filename + ": unknown format";
  return false;
}

bool has_store_writer(const std::string& filename) {
  for (auto ext : {".json", ".gltf", ".glb", ".obj", ".pbrt"})
    if (has_extension(filename, ext)) return true;
  return false;
}

bool save_scene(const std::string& filename, const scene_data& scene,
                const json_scene_store& store, std::string& error,
                const progress_callback& progress) {
  if (has_extension(filename, ".json"))
    return save_json_scene(filename, scene, store, error, progress);
  if (has_extension(filename, ".gltf") || has_extension(filename, ".glb"))
    return save_gltf_scene(filename, scene, store, error, progress);
  if (has_extension(filename, ".obj")) return save_obj_scene(filename, scene, store, error, progress);
  if (has_extension(filename, ".pbrt"))
    return save_pbrt_scene(filename, scene, store, error, progress);
  error = filename + ": unknown format";
  return false;
}

std::vector<std::string> unsaved_parts(const std::string& filename, const scene_data& scene) {
  auto has_lines_or_points = false, has_texcoords = false;
  for (auto& shape : scene.shapes) {
    if (!shape->lines.empty() || !shape->points.empty()) has_lines_or_points = true;
    if (!shape->texcoords.empty()) has_texcoords = true;
  }
  auto stl = has_extension(filename, ".stl"), ply = has_extension(filename, ".ply");
  auto obj = has_extension(filename, ".obj"), pbrt = has_extension(filename, ".pbrt");
  auto parts = std::vector<std::string>{};
  auto add   = [&](bool lost, const std::string& what) {
    if (lost) parts.push_back(what);
  };
  add(ply && scene.shapes.size() > 1, "only the first of " + std::to_string(scene.shapes.size()) +
                                          " shapes, without its placement");
  add((stl || ply || obj) && !scene.cameras.empty(), "no cameras");
  add((stl || ply || obj) && !scene.environments.empty(), "no sky");
  add((stl || ply) && !scene.materials.empty(), "no materials");
  add(stl && !scene.textures.empty(), "no textures");
  add(stl && has_texcoords, "no texture coordinates");
  add((stl || pbrt) && has_lines_or_points, "no lines or points");
  return parts;
}

bool load_scene(const std::string& filename, scene_data& scene, std::string& error,
                const progress_callback& progress) {
  if (has_extension(filename, ".json")) return load_json_scene(filename, scene, error, progress);
  error = filename + ": unknown format";
  return false;
}

bool read_scene(const std::string& filename, loaded_scene& scene, std::string& error,
                const progress_callback& progress) {
  scene = loaded_scene{};
  if (!is_readable_scene(filename)) {
    error = filename + ": unknown format";
    return false;
  }
  if (has_extension(filename, ".json")) {
    try {
      return load_json_scene(filename, scene.scene, error, progress);
    } catch (const std::bad_alloc&) {
      error = filename + ": out of memory";
      return false;
    }
  }

  if (progress) progress("load scene", 0, 1);
  auto data = std::string{};
  if (!load_text(filename, data, error)) return false;
  auto ok = false;
  try {
    if (has_extension(filename, ".stl")) {
      ok = parse_stl_scene(filename, data, scene, error);
    } else if (has_extension(filename, ".obj")) {
      ok = parse_obj_scene(filename, data, disk_files(), scene, error);
    } else if (has_extension(filename, ".gltf") || has_extension(filename, ".glb")) {
      ok = parse_gltf_scene(filename, data, disk_files(), scene, error);
    } else {
      ok = parse_pbrt_scene(filename, data, disk_files(), scene, error, progress);
    }
  } catch (const std::bad_alloc&) {
    error = filename + ": out of memory";
    ok = false;
  }
  if (ok && progress) progress("load scene", 1, 1);
  return ok;
}
