#pragma once
// The codecs behind load_image and save_image (image.cpp), one file per
// format, each decoding from memory. What they share is here: the decoded
// image they hand back, the size check every decoder makes before it
// allocates, and the turn of a decoder's result into the loader's. Only
// the image files include this header.

#include <cstdint>
#include <string>
#include <vector>

#include "scene/image.h"

namespace image_codec {

// The file name followed by `suffix`, in `error`; false.
bool fail(std::string& error, const std::string& filename, const char* suffix);

// Spreads c interleaved channels over RGBA by position: missing colour
// channels are 0, a missing alpha is opaque.
template <typename pixel, typename value>
bool widen_channels(const std::string& filename, int width, int height, int channels,
                    const value* data, value opaque, std::vector<pixel>& pixels,
                    std::string& error) {
  // Decoders never hand out other counts; refusing keeps a bad one harmless.
  if (channels < 1 || channels > 4) return fail(error, filename, ": components not supported");
  auto count = (size_t)width * (size_t)height;
  pixels.assign(count, pixel{0, 0, 0, opaque});
  for (size_t i = 0; i < count; i++) {
    auto source = data + i * channels;
    auto& target = pixels[i];
    target.x = source[0];
    if (channels > 1) target.y = source[1];
    if (channels > 2) target.z = source[2];
    if (channels > 3) target.w = source[3];
  }
  return true;
}

// Files made by a codec: any failure to put them on disk is the codec's
// failure, a write error, as when the codec wrote the file itself.
bool save_encoded(const std::string& filename, const void* data, size_t size,
                  std::string& error);

// What a decoder hands back: interleaved channels, rows from the top.
template <typename value>
struct decoded_image {
  int                width    = 0;
  int                height   = 0;
  int                channels = 0;
  std::vector<value> data     = {};
};

enum struct decoded { ok, corrupt, too_large };

// The size check every decoder makes on the header's numbers before it
// allocates: both sides positive and at most max_pixels pixels. The sides
// are kept for the message only when they fit an int.
decoded check_size(int64_t width, int64_t height, size_t max_pixels, int& out_width,
                   int& out_height);

// Turns a decoder's result into the loader's: the message for a refusal,
// or the widened image.
template <typename pixel, typename value>
bool finish_decoding(const std::string& filename, decoded status,
                     const decoded_image<value>& result, value opaque,
                     std::vector<pixel>& pixels, int& width, int& height, std::string& error) {
  if (status == decoded::too_large) {
    error = filename + ": image too large (" + std::to_string(result.width) + " x " +
            std::to_string(result.height) + " pixels)";
    return false;
  }
  if (status != decoded::ok) return fail(error, filename, ": file not found");
  if (result.width <= 0 || result.height <= 0) return fail(error, filename, ": read error");
  auto widened = std::vector<pixel>{};
  if (!widen_channels(filename, result.width, result.height, result.channels,
                      result.data.data(), opaque, widened, error))
    return false;
  pixels = std::move(widened);
  width = result.width;
  height = result.height;
  return true;
}

// ---------------------------------------------------------------- decoders

// PNG (image_png.cpp), JPEG (image_jpeg.cpp), and BMP and TGA through
// stb_image (image_bmp_tga.cpp): 8 bits per channel in the file's own
// channel count.
decoded decode_png(const std::string& bytes, size_t max_pixels, decoded_image<uint8_t>& out);
decoded decode_jpeg(const std::string& bytes, size_t max_pixels, decoded_image<uint8_t>& out);
decoded decode_stb(const std::string& bytes, size_t max_pixels, decoded_image<uint8_t>& out);
// The header checks that keep stb_image to the BMP and TGA files it is
// meant for.
bool looks_like_bmp(const std::string& bytes);
bool looks_like_tga(const std::string& bytes);

// Radiance HDR (image_hdr.cpp) and OpenEXR (image_exr.cpp): floats.
decoded decode_hdr(const std::string& bytes, size_t max_pixels, decoded_image<float>& out);
decoded decode_exr(const std::string& bytes, size_t max_pixels, decoded_image<float>& out);

// PFM (image_pfm.cpp): the whole loader, messages included.
bool parse_pfm(const std::string& filename, const std::string& bytes, image4f& image,
               std::string& error, size_t max_pixels);

// ---------------------------------------------------------------- encoders

// PFM: 1 to 4 interleaved components. OpenEXR: RGBA as half floats.
bool save_pfm(const std::string& filename, int width, int height, int components,
              const float* data, std::string& error);
bool save_exr(const std::string& filename, const image4f& image, std::string& error);

}  // namespace image_codec
