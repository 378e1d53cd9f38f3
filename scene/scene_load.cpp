#include "scene/scene_load.h"

#include <algorithm>
#include <cmath>

#include "scene/image.h"
#include "support/files.h"

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

void add_warning(loaded_scene& scene, const std::string& line) {
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
