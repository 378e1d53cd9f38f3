// JSON scene documents through the scene reader. The document sits in a
// folder that does not exist, so every shape or texture it names fails to
// load; what is fuzzed is the document itself and the checks on its names.
#include <string>

#include "scene/json_scene.h"
#include "scene/scene.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto text = std::string{(const char*)data, size};
  auto scene = scene_data{};
  auto error = std::string{};
  parse_json_scene("/nonexistent-fuzz-folder/fuzz.json", text, scene, error);
  return 0;
}
