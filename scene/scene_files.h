#pragma once
// What the scene file formats share: the attribution they write, the checks
// that turn record names into file names, the texture files beside a scene
// file, the OBJ element lines and the guard around each writer.

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scene/scene.h"
#include "support/console.h"

// The attribution stored in every scene file we write.
extern const char* const scene_generator_name;

// True when the text is well-formed UTF-8 (no overlong forms, surrogates or
// code points past Unicode): the only text a JSON scene file can hold.
bool is_valid_utf8(std::string_view text);

// True when a record name can become a file name inside "shapes" or
// "textures" on every platform: valid UTF-8, not empty, not "." or "..", no
// separator, no control character and none of the characters Windows
// forbids, and no Windows device name ("CON", "nul", "COM1", ...).
bool is_valid_file_name(const std::string& name);

// Checks that a record name can become a file name; else sets `error` to
// filename + ": error in " + kind + " name \"NAME\" is not a valid file name".
bool check_file_name(const std::string& filename, const std::string& kind,
                     const std::string& name, std::string& error);

// Records in the order of their names, as the JSON scene file keys them
// (records of one name keep their order), so that a scene and the scene read
// back from its JSON file are written alike.
template <typename T>
std::vector<const T*> records_by_name(const std::vector<std::unique_ptr<T>>& records) {
  auto sorted = std::vector<const T*>{};
  sorted.reserve(records.size());
  for (auto& record : records) sorted.push_back(record.get());
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const T* a, const T* b) { return a->name < b->name; });
  return sorted;
}
// merge_materials_by_name in the order of the names.
std::vector<scene_material> materials_by_name(const scene_data& scene);
// The instances as the JSON scene file keys them: one per name, in name
// order, a later record's frame, shape and material laid over an earlier
// one's where they are set; the shape is the last shape record of its name,
// the one whose file the JSON scene keeps. Writers that go by these write a
// scene and the scene read back from its JSON file alike.
std::vector<scene_instance> instances_by_name(const scene_data& scene);

// The image file of a texture relative to the scene file's folder:
// "textures/NAME.png" for 8-bit textures, "textures/NAME.hdr" for float ones.
std::string texture_file(const scene_texture& texture);

// Which textures get an image file, by index. An image file needs pixels, so
// a texture without any that nothing refers to is left out (the city keeps
// such a placeholder for a landmark façade it may never build); one that is
// referred to is still saved, so that its failure is reported.
std::vector<bool> textures_to_save(const scene_data& scene);

// Saves the textures of the scene (see textures_to_save) in the folder
// "textures" beside `filename`, making the folder when missing. After
// texture j it reports ("save texture", done + j + 1, total). A failure is
// wrapped as filename + ": error in " + the inner error.
bool save_scene_textures(const std::string& filename, const scene_data& scene,
                         std::string& error, const progress_callback& progress, int done,
                         int total);

// OBJ element lines. Indices are 0-based here and written 1-based after the
// running offsets of the file's three vertex lists.
struct obj_offsets {
  int positions = 0, texcoords = 0, normals = 0;
};
// The face, line and point lines of one shape's elements. Indexed corners
// use one index for every vertex list the shape has (`has_texcoords`,
// `has_normals`); face-varying quads use their own index arrays. A quad
// whose last two corners coincide is written as a triangle. With
// `first_kind_only` only the first non-empty of triangles, quads, lines,
// points and face-varying quads is written (a shape file holds one kind).
void append_obj_elements(std::string& out, const std::vector<int>& points,
                         const std::vector<vec2i>& lines, const std::vector<vec3i>& triangles,
                         const std::vector<vec4i>& quads, const std::vector<vec4i>& quadspos,
                         const std::vector<vec4i>& quadsnorm,
                         const std::vector<vec4i>& quadstexcoord, const obj_offsets& base,
                         bool has_texcoords, bool has_normals, bool first_kind_only);
void append_obj_elements(std::string& out, const scene_shape& shape, const obj_offsets& base,
                         bool has_texcoords, bool has_normals, bool first_kind_only);

// A scene's main file (the JSON document, the OBJ or PBRT text): written
// under a temporary name before the shape and texture files it refers to,
// and moved into place by publish_scene_file after the last of them. A save
// that fails between the two leaves no scene file that looks complete: the
// destructor removes the temporary and any earlier scene file at the path,
// whose shapes may already have been replaced.
struct pending_scene_file {
  std::string path      = "";
  std::string temp      = "";
  bool        published = false;
  ~pending_scene_file();
};
// Fails like save_file, naming the scene file.
bool write_scene_file(pending_scene_file& file, const std::string& path, const std::string& text,
                      std::string& error);
bool publish_scene_file(pending_scene_file& file, std::string& error);

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

// Makes every shape and texture name that cannot become a file name into
// one that can,
// for a scene read from a format whose names are free text (OBJ objects,
// glTF images, PBRT textures) and saved as a JSON scene: a texture named by
// its image path keeps the path's file name without its extension, the
// characters no file name can hold become "_", and a name that is still
// unusable or now taken in its array becomes the array's prefix and its
// position ("texture3"). Valid names stay as they are. Returns how many
// names changed.
size_t make_file_names_valid(scene_data& scene);
