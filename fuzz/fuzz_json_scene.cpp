// JSON scene documents through the scene reader, whole and into a store. The
// document sits in a folder that does not exist, so every shape or texture
// it names fails to load; what is fuzzed is the document itself, the checks
// on its names and the store's records (each shape asked for, each failing).
#include <string>

#include "scene/json_scene.h"
#include "scene/scene.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto text = std::string{(const char*)data, size};
  auto scene = scene_data{};
  auto error = std::string{};
  parse_json_scene("/nonexistent-fuzz-folder/fuzz.json", text, scene, error);
  auto store = json_scene_store{};
  if (parse_json_scene_store("/nonexistent-fuzz-folder/fuzz.json", text, scene, store, error)) {
    auto scratch = scene_shape{};
    for (size_t i = 0; i < store.shapes.size(); i++) store_shape_geometry(store, i, scratch, error);
  }
  return 0;
}
