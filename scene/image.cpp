// Image files: the loaders and savers, which pick a codec by the file
// name's extension, and the sRGB conversions between 8-bit and float pixels.
#include "scene/image.h"

#include <stb_image_write.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "scene/image_codec.h"
#include "support/files.h"

using namespace image_codec;

static_assert(sizeof(vec4f) == 4 * sizeof(float), "vec4f pixels are handed to codecs as floats");
static_assert(sizeof(vec4b) == 4, "vec4b pixels are handed to codecs as bytes");

// -----------------------------------------------------------------------------
// Colour conversions
// -----------------------------------------------------------------------------

static float srgb_to_linear(float x) {
  return x <= 0.04045f ? x / 12.92f : std::pow((x + 0.055f) / 1.055f, 2.4f);
}

static float linear_to_srgb(float x) {
  return x <= 0.0031308f ? 12.92f * x : 1.055f * std::pow(x, 1 / 2.4f) - 0.055f;
}

// The integer part of 256 x, clamped; NaN counts as 0.
static uint8_t float_to_byte(float x) {
  auto scaled = 256 * x;
  if (!(scaled > 0)) return 0;
  if (scaled >= 255) return 255;
  return (uint8_t)(int)scaled;
}

vec4f srgb_to_linear(const vec4b& pixel) {
  return {srgb_to_linear(pixel.x / 255.0f), srgb_to_linear(pixel.y / 255.0f),
          srgb_to_linear(pixel.z / 255.0f), pixel.w / 255.0f};
}

vec4b linear_to_srgb(const vec4f& pixel) {
  return {float_to_byte(linear_to_srgb(pixel.x)), float_to_byte(linear_to_srgb(pixel.y)),
          float_to_byte(linear_to_srgb(pixel.z)), float_to_byte(pixel.w)};
}

image4f srgb_to_linear(const image4b& image) {
  auto result = image4f{image.width, image.height, {}};
  result.pixels.reserve(image.pixels.size());
  for (auto& pixel : image.pixels) result.pixels.push_back(srgb_to_linear(pixel));
  return result;
}

image4b linear_to_srgb(const image4f& image) {
  auto result = image4b{image.width, image.height, {}};
  result.pixels.reserve(image.pixels.size());
  for (auto& pixel : image.pixels) result.pixels.push_back(linear_to_srgb(pixel));
  return result;
}

// -----------------------------------------------------------------------------
// Helpers
// -----------------------------------------------------------------------------

namespace image_codec {

bool fail(std::string& error, const std::string& filename, const char* suffix) {
  error = filename + suffix;
  return false;
}

bool save_encoded(const std::string& filename, const void* data, size_t size,
                  std::string& error) {
  if (save_file(filename, data, size, error)) return true;
  return fail(error, filename, ": write error");
}

decoded check_size(int64_t width, int64_t height, size_t max_pixels, int& out_width,
                   int& out_height) {
  if (width <= 0 || height <= 0) return decoded::corrupt;
  out_width = (int)std::min<int64_t>(width, INT_MAX);
  out_height = (int)std::min<int64_t>(height, INT_MAX);
  if (width > INT_MAX || height > INT_MAX) return decoded::too_large;
  if ((uint64_t)width * (uint64_t)height > max_pixels) return decoded::too_large;
  return decoded::ok;
}

}  // namespace image_codec

namespace {

// Formats are matched on the exact lower-case or upper-case extension only.
bool is_8bit_extension(const std::string& filename) {
  return has_extension(filename, ".png") || has_extension(filename, ".jpg") ||
         has_extension(filename, ".tga") || has_extension(filename, ".bmp");
}

// Extensions by which the 8-bit loader and saver hand over to the float ones.
bool is_conversion_float_extension(const std::string& filename) {
  auto ext = path_extension(filename);
  return ext == ".hdr" || ext == ".exr" || ext == ".pfm";
}

bool valid_size(int width, int height, size_t pixels) {
  return width > 0 && height > 0 && pixels == (size_t)width * (size_t)height;
}

// stb_image_write encodes into memory through this callback; the file is
// then written by save_file.
void append_bytes(void* context, void* data, int size) {
  auto buffer = (std::string*)context;
  buffer->append((const char*)data, (size_t)size);
}

// The whole file; one larger than any image the loaders accept is refused
// before it is read.
bool load_image_file(const std::string& filename, std::string& data, std::string& error) {
  auto ec = std::error_code{};
  auto size = std::filesystem::file_size(std::filesystem::u8path(filename), ec);
  if (!ec && size > image_max_file_bytes) return fail(error, filename, ": image too large");
  return load_text(filename, data, error);
}

enum class byte_format { png, jpeg, bmp, tga, none };

// PNG and JPEG have fixed signatures and BMP starts with "BM"; TGA has none,
// so a header that TGA allows is the last resort.
byte_format sniff_8bit_format(const std::string& bytes) {
  if (bytes.compare(0, 8, "\x89PNG\r\n\x1a\n", 8) == 0) return byte_format::png;
  if (bytes.compare(0, 3, "\xff\xd8\xff", 3) == 0) return byte_format::jpeg;
  if (looks_like_bmp(bytes)) return byte_format::bmp;
  if (looks_like_tga(bytes)) return byte_format::tga;
  return byte_format::none;
}

}  // namespace

// -----------------------------------------------------------------------------
// Loaders and savers
// -----------------------------------------------------------------------------

bool parse_image(const std::string& filename, const std::string& data, image4f& image,
                 std::string& error, size_t max_pixels) {
  auto& ext = filename;
  if (has_extension(ext, ".pfm")) return parse_pfm(filename, data, image, error, max_pixels);
  if (has_extension(ext, ".exr") || has_extension(ext, ".hdr")) {
    auto result = decoded_image<float>{};
    auto status = has_extension(ext, ".exr") ? decode_exr(data, max_pixels, result)
                                             : decode_hdr(data, max_pixels, result);
    return finish_decoding(filename, status, result, 1.0f, image.pixels, image.width,
                           image.height, error);
  }
  auto bytes = image4b{};
  if (!parse_image(filename, data, bytes, error, max_pixels)) return false;
  image = srgb_to_linear(bytes);
  return true;
}

bool parse_image(const std::string& filename, const std::string& data, image4b& image,
                 std::string& error, size_t max_pixels) {
  auto& ext = filename;
  if (is_8bit_extension(ext)) {
    // The 8-bit formats are told apart by their content, since images saved
    // under another 8-bit extension (a PNG named .jpg) are common. Only the
    // four 8-bit decoders are ever tried: a Radiance, OpenEXR or PFM file
    // under such a name fails like a damaged one.
    auto result = decoded_image<uint8_t>{};
    auto status = decoded::corrupt;
    switch (sniff_8bit_format(data)) {
      case byte_format::png: status = decode_png(data, max_pixels, result); break;
      case byte_format::jpeg: status = decode_jpeg(data, max_pixels, result); break;
      case byte_format::bmp:
      case byte_format::tga: status = decode_stb(data, max_pixels, result); break;
      case byte_format::none: break;
    }
    return finish_decoding(filename, status, result, (uint8_t)255, image.pixels, image.width,
                           image.height, error);
  }
  if (is_conversion_float_extension(ext)) {
    auto floats = image4f{};
    if (!parse_image(filename, data, floats, error, max_pixels)) return false;
    image = linear_to_srgb(floats);
    return true;
  }
  return fail(error, filename, ": unknown format");
}

bool load_image(const std::string& filename, image4f& image, std::string& error) {
  auto& ext = filename;
  auto known = has_extension(ext, ".exr") || has_extension(ext, ".pfm") ||
               has_extension(ext, ".hdr") || is_8bit_extension(ext);
  if (!known) return fail(error, filename, ": unknown format");
  auto data = std::string{};
  if (!load_image_file(filename, data, error)) return false;
  return parse_image(filename, data, image, error);
}

bool load_image(const std::string& filename, image4b& image, std::string& error) {
  auto& ext = filename;
  if (!is_8bit_extension(ext) && !is_conversion_float_extension(ext))
    return fail(error, filename, ": unknown format");
  auto data = std::string{};
  if (!load_image_file(filename, data, error)) return false;
  return parse_image(filename, data, image, error);
}

bool save_image(const std::string& filename, const image4f& image, std::string& error) {
  auto& ext = filename;
  auto native = has_extension(ext, ".hdr") || has_extension(ext, ".pfm") ||
                has_extension(ext, ".exr");
  if (!native) return save_image(filename, linear_to_srgb(image), error);
  // An empty or inconsistent image would be an unreadable file.
  if (!valid_size(image.width, image.height, image.pixels.size()))
    return fail(error, filename, ": write error");
  auto data = (const float*)image.pixels.data();
  if (has_extension(ext, ".pfm")) return save_pfm(filename, image.width, image.height, 4, data, error);
  if (has_extension(ext, ".exr")) return save_exr(filename, image, error);
  auto encoded = std::string{};
  if (!stbi_write_hdr_to_func(append_bytes, &encoded, image.width, image.height, 4, data))
    return fail(error, filename, ": write error");
  return save_encoded(filename, encoded.data(), encoded.size(), error);
}

bool save_image(const std::string& filename, const image4b& image, std::string& error) {
  auto& ext = filename;
  if (is_conversion_float_extension(ext)) return save_image(filename, srgb_to_linear(image), error);
  if (!is_8bit_extension(ext)) return fail(error, filename, ": unknown format");
  if (!valid_size(image.width, image.height, image.pixels.size()))
    return fail(error, filename, ": write error");
  auto encoded = std::string{};
  auto data = (const void*)image.pixels.data();
  auto w = image.width, h = image.height;
  auto ok = 0;
  if (has_extension(ext, ".png")) ok = stbi_write_png_to_func(append_bytes, &encoded, w, h, 4, data, w * 4);
  else if (has_extension(ext, ".jpg")) ok = stbi_write_jpg_to_func(append_bytes, &encoded, w, h, 4, data, 75);
  else if (has_extension(ext, ".tga")) ok = stbi_write_tga_to_func(append_bytes, &encoded, w, h, 4, data);
  else ok = stbi_write_bmp_to_func(append_bytes, &encoded, w, h, 4, data);
  if (!ok || encoded.empty()) return fail(error, filename, ": write error");
  return save_encoded(filename, encoded.data(), encoded.size(), error);
}

bool save_texture_image(const std::string& filename, const image4f& hdr, const image4b& ldr,
                        std::string& error) {
  return hdr.pixels.empty() ? save_image(filename, ldr, error) : save_image(filename, hdr, error);
}
