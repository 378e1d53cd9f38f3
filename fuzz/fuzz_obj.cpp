// OBJ bytes through the shape loader, indexed and face-varying.
#include "scene/scene.h"
#include "scene/shape_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto text = std::string{(const char*)data, size};
  auto shape = scene_shape{};
  auto error = std::string{};
  parse_shape("fuzz.obj", text, shape, error, false);
  parse_shape("fuzz.obj", text, shape, error, true);
  return 0;
}
