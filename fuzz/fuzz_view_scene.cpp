// The scene readers of STL, OBJ with materials, glTF and GLB, and pbrt,
// chosen at build time by FUZZ_VIEW_FORMAT. Files that a scene refers to
// are never found, so only the bytes of the file itself are fuzzed.
#include <cstdlib>
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
    // The viewer's lean reader, on one thread and with its JSON chunk split
    // at a third: both read alike.
    auto lean = loaded_scene{};
    error.clear();
    auto ok = parse_glb_scene("fuzz.glb", text, lean, error);
    auto split = glb_read_split{size / 3};
    auto again = loaded_scene{};
    auto error_again = std::string{};
    auto ok_again = parse_glb_scene("fuzz.glb", text, again, error_again, &split);
    if (ok != ok_again || error != error_again || lean.scene.instances.size() != again.scene.instances.size())
      std::abort();
  }
  if (format == "pbrt") parse_pbrt_scene("fuzz.pbrt", text, files, scene, error);
  return 0;
}
