#pragma once
// Binary glTF read lean, for files too large to hold twice: the JSON chunk
// is parsed into the few records a scene needs (no document tree), and the
// binary chunk is read from the file piece by piece as the meshes need it,
// never whole. The scene is the one parse_gltf_scene makes of the same
// file, without the georeference and the shapes' names (a viewer needs
// neither; a city has millions of shapes).

#include <cstdint>
#include <string>

#include "scene/scene_load.h"

// False with `error` set when the file cannot be read or is not a usable
// ".glb"; false with `error` empty when the file refers to other files (a
// buffer or image by URI), which parse_gltf_scene reads instead.
// Progress: ("load scene", done, total) by meshes.
bool read_glb_scene(const std::string& filename, loaded_scene& scene, std::string& error,
                    const progress_callback& progress = {});
// A JSON chunk of 16 MB or more is read on two threads, split two fifths
// in; a split can also be asked for (tests). The scene, or the error,
// is the one of a reading on one thread.
struct glb_read_split {
  uint64_t at    = UINT64_MAX;  // the chunk's byte after which a second thread reads on
  bool     taken = false;       // set when the second thread's reading was used
};
// The same from the bytes of a file already in memory (tests, fuzzing);
// files it refers to are missing.
bool parse_glb_scene(const std::string& filename, const std::string& data, loaded_scene& scene,
                     std::string& error, glb_read_split* split = nullptr);
