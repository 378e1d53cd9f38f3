// The scene readers of STL, OBJ with materials, glTF and GLB, and pbrt,
// chosen at build time by FUZZ_VIEW_FORMAT. Files that a scene refers to
// are never found, so only the bytes of the file itself are fuzzed.
#include <string>

#include "scene/gltf_reader.h"
#include "scene/gltf_scene.h"
#include "scene/obj_scene.h"
#include "scene/pbrt_scene.h"
#include "scene/stl_scene.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto text = std::string{(const char*)data, size};
  auto scene = loaded_scene{};
  auto error = std::string{};
  auto files = no_files();
  auto format = std::string{FUZZ_VIEW_FORMAT};
  if (format == "stl") parse_stl_scene("fuzz.stl", text, scene, error);
  if (format == "obj") parse_obj_scene("fuzz.obj", text, files, scene, error);
  if (format == "gltf") parse_gltf_scene("fuzz.gltf", text, files, scene, error);
  if (format == "glb") {
    parse_gltf_scene("fuzz.glb", text, files, scene, error);
    parse_glb_scene("fuzz.glb", text, scene, error);  // the viewer's lean reader
  }
  if (format == "pbrt") parse_pbrt_scene("fuzz.pbrt", text, files, scene, error);
  return 0;
}
