#pragma once
// A scene file of any format as its reader leaves it: the scene model, plus
// what some formats state that the model has no field for (a directional
// sun) and what the reader passed over. Every reader treats its file as
// untrusted: a failure is a value (false and a one-line error naming the
// file and what is wrong), never a crash.
//
// Each reader parses the bytes of a file already in memory (`filename`
// names it in messages and locates the files it refers to through a
// referenced_files) and fills the scene, which it clears first. The readers
// are declared beside their writers, one header per format.

#include <functional>
#include <string>
#include <vector>

#include "scene/scene.h"
#include "support/console.h"

struct loaded_scene {
  scene_data scene = {};
  // A sun the file states outright (a directional light). Without one the
  // sun is found in the sky image, or a default one is used.
  bool  has_sun       = false;
  vec3f sun_direction = {0, 1, 0};  // towards the sun, unit length
  vec3f sun_color     = {1, 1, 1};
  // Statements or features the reader skipped, one line per kind.
  std::vector<std::string> warnings = {};
};

// How a reader reaches the files a scene file refers to (material libraries,
// buffers, meshes, images). Paths are the referring file's folder joined
// with the reference. Reading from files uses disk_files(); parsing bytes
// alone (fuzzing, tests) can use no_files(), for which every reference is
// missing.
struct referenced_files {
  std::function<bool(const std::string& path, std::string& data, std::string& error)> read;
  // Fills the texture's 8-bit or float image from an image file.
  std::function<bool(const std::string& path, scene_texture& texture, std::string& error)>
      load_texture;
};
referenced_files disk_files();
referenced_files no_files();

// One line per kind of thing skipped, added once.
void add_warning(loaded_scene& scene, const std::string& line);

// A camera with the given vertical field of view (radians) and aspect, as
// the scene model stores cameras (lens and film width).
void set_camera_fov(scene_camera& camera, float yfov, float aspect);
// The vertical field of view of a scene camera in radians; a camera with
// unusable numbers gets 40 degrees.
float camera_yfov(const scene_camera& camera);
