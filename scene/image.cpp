#include "scene/image.h"

// The codecs arrive with the image files work.
bool load_image(const std::string& filename, image4f&, std::string& error) {
  return error = filename + ": unknown format", false;
}
bool load_image(const std::string& filename, image4b&, std::string& error) {
  return error = filename + ": unknown format", false;
}
bool save_image(const std::string& filename, const image4f&, std::string& error) {
  return error = filename + ": unknown format", false;
}
bool save_image(const std::string& filename, const image4b&, std::string& error) {
  return error = filename + ": unknown format", false;
}
bool save_texture_image(const std::string& filename, const image4f& hdr, const image4b& ldr,
                        std::string& error) {
  return hdr.pixels.empty() ? save_image(filename, ldr, error) : save_image(filename, hdr, error);
}
