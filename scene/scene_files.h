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

// ---------------------------------------------------------------------------
// Helpers shared by the scene writers.

// True when a record name can become a file name inside "shapes" or
// "textures" on every platform: valid UTF-8, not empty, not "." or "..", no
// separator, no control character and none of the characters Windows
// forbids, and no Windows device name ("CON", "nul", "COM1", ...).
bool is_valid_file_name(const std::string& name);

// Checks that a record name can become a file name; else sets `error` to
// filename + ": error in " + kind + " name \"NAME\" is not a valid file name".
bool check_file_name(const std::string& filename, const std::string& kind,
                     const std::string& name, std::string& error);

// The image file of a texture relative to the scene file's folder:
// "textures/NAME.png" for 8-bit textures, "textures/NAME.hdr" for float ones.
std::string texture_file(const scene_texture& texture);

// Which textures get an image file, by index. An image file needs pixels, so
// a texture without any that nothing refers to is left out (the city keeps
// such a placeholder for a landmark façade it may never build); one that is
// referred to is still saved, so that its failure is reported.
std::vector<bool> textures_to_save(const scene_data& scene);

// Saves the textures of the scene (see textures_to_save) in the folder "textures" beside
// `filename`, making the folder when missing. After texture j it reports
// ("save texture", done + j + 1, total). A failure is wrapped as
// filename + ": error in " + the inner error.
bool save_scene_textures(const std::string& filename, const scene_data& scene,
                         std::string& error, const progress_callback& progress, int done,
                         int total);

// The materials as the scene file keys them: one per distinct name, in the
// order names first appear, each later record's non-default fields laid over
// the earlier ones (what a reader of the JSON scene file sees).
std::vector<scene_material> merge_materials_by_name(const scene_data& scene);

// True when every element index addresses an existing vertex: indexed
// elements within positions (and normals and texcoords when present),
// face-varying quads within their own arrays, each as long as quadspos.
// Writers check it so that no file points readers past its vertex lists.
bool has_valid_indices(const scene_shape& shape);

// Runs a scene writer. The writers report failures as values; running out
// of memory is the only exception left, and it becomes a write error too.
template <typename Writer>
bool run_scene_writer(const std::string& filename, std::string& error, Writer&& write) {
  try {
    return write();
  } catch (const std::exception&) {
    error = filename + ": write error";
    return false;
  }
}

// The shortest text that reads back as the same float ("0.05", "2", "-1e-07").
std::string format_float(float value);
