#include "view/view_scene.h"

#include <algorithm>
#include <cmath>

#include "scene/image.h"
#include "scene/json_scene.h"
#include "support/files.h"
#include "view/readers.h"

referenced_files disk_files() {
  auto files = referenced_files{};
  files.read = [](const std::string& path, std::string& data, std::string& error) {
    return load_text(path, data, error);
  };
  files.load_texture = [](const std::string& path, scene_texture& texture, std::string& error) {
    // Float formats keep their range; everything else stays 8-bit.
    if (has_extension(path, ".hdr") || has_extension(path, ".exr") ||
        has_extension(path, ".pfm"))
      return load_image(path, texture.hdr, error);
    return load_image(path, texture.ldr, error);
  };
  return files;
}

referenced_files no_files() {
  auto files = referenced_files{};
  files.read = [](const std::string& path, std::string&, std::string& error) {
    error = path + ": file not found";
    return false;
  };
  files.load_texture = [](const std::string& path, scene_texture&, std::string& error) {
    error = path + ": file not found";
    return false;
  };
  return files;
}

bool is_view_format(const std::string& filename) {
  for (auto extension : {".json", ".obj", ".stl", ".gltf", ".glb", ".pbrt"})
    if (has_extension(filename, extension)) return true;
  return false;
}

void add_warning(view_scene& scene, const std::string& line) {
  if (std::find(scene.warnings.begin(), scene.warnings.end(), line) == scene.warnings.end())
    scene.warnings.push_back(line);
}

void set_camera_fov(scene_camera& camera, float yfov, float aspect) {
  camera.aspect = aspect > 0 && std::isfinite(aspect) ? aspect : 1.5f;
  camera.film = 0.036f;
  camera.lens = camera.film / camera.aspect / (2 * std::tan(yfov / 2));
}

float camera_yfov(const scene_camera& camera) {
  auto yfov = 2 * std::atan(camera.film / camera.aspect / (2 * camera.lens));
  if (!std::isfinite(yfov) || yfov <= 0.001f || yfov >= 3.1f) return 40 * 3.14159265f / 180;
  return yfov;
}

bool load_view_scene(const std::string& filename, view_scene& scene, std::string& error,
                     const progress_callback& progress) {
  scene = view_scene{};
  if (!is_view_format(filename)) {
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
