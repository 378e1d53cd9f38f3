#include "scene/sunsky.h"

image4f make_sunsky(int width, int height, float, float, bool, float, float, const vec3f&) {
  // The Preetham sky arrives with the scene model work; an empty sky for now.
  auto image = image4f{};
  image.width = width;
  image.height = height;
  image.pixels.assign((size_t)width * height, vec4f{});
  return image;
}
