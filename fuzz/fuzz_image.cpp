// Image bytes through the loader of one format: FUZZ_IMAGE_NAME names the
// file ("fuzz.png", ...), FUZZ_IMAGE_TYPE is the format's own kind of image
// (image4b or image4f), so no colour conversion spends the fuzzer's time.
#include <cstdlib>

#include "scene/image.h"

// Room for every decoder path; small enough to keep each run short.
constexpr size_t fuzz_max_pixels = size_t{1} << 16;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto image = FUZZ_IMAGE_TYPE{};
  auto error = std::string{};
  auto ok = parse_image(FUZZ_IMAGE_NAME, {(const char*)data, size}, image, error, fuzz_max_pixels);
  // A loaded image is whole; a failure names the file.
  if (ok && (image.width <= 0 || image.pixels.size() != (size_t)image.width * image.height))
    std::abort();
  if (!ok && error.rfind(FUZZ_IMAGE_NAME ": ", 0) != 0) std::abort();
  return 0;
}
