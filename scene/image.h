#pragma once
// Images and image files. Pixels are RGBA, row by row from the top row:
// image4f holds linear float colour, image4b 8-bit sRGB-encoded colour.
// The format is chosen by the file name's extension.

#include <cstddef>
#include <string>
#include <vector>

#include "scene/math.h"

struct image4f {
  int                width  = 0;
  int                height = 0;
  std::vector<vec4f> pixels = {};
};

struct image4b {
  int                width  = 0;
  int                height = 0;
  std::vector<vec4b> pixels = {};
};

// The largest image the loaders accept: 8192 x 8192 pixels (64 Mi pixels,
// 1 GiB as floats), far above any façade texture. The size is read from the
// file's header, and a larger image is refused with
// ": image too large (W x H pixels)" before any pixel memory is allocated.
// A file of more than image_max_file_bytes is refused before it is read.
inline constexpr size_t image_max_pixels     = size_t{8192} * 8192;
inline constexpr size_t image_max_file_bytes = size_t{1} << 31;

// Float loader: ".hdr", ".exr", ".pfm" natively, anything else through the
// 8-bit loader with the sRGB-to-linear conversion.
//
// A float file (".hdr", ".exr", ".pfm") is decoded only as the format its
// extension names. A file with an 8-bit extension is decoded as whichever of
// PNG, JPEG, BMP or TGA its content is (images saved under a wrong 8-bit
// extension load), never as a float format. Bytes that fit no decoder fail
// like a damaged file: ": file not found", the suffix of every decoding
// failure (the PFM reader says ": parse error" or ": read error"). OpenEXR files load when stored raw or with the RLE, ZIPS
// or ZIP compressions; a progressive JPEG of more than 100 scans is refused.
bool load_image(const std::string& filename, image4f& image, std::string& error);
// 8-bit loader: ".png", ".jpg", ".tga", ".bmp" natively; ".hdr", ".exr",
// ".pfm" through the float loader with the linear-to-sRGB conversion.
bool load_image(const std::string& filename, image4b& image, std::string& error);
// The same on the bytes of a file already in memory: `filename` picks the
// format and names the file in messages. `max_pixels` lowers the size limit
// (the fuzz targets keep their runs short with it).
bool parse_image(const std::string& filename, const std::string& data, image4f& image,
                 std::string& error, size_t max_pixels = image_max_pixels);
bool parse_image(const std::string& filename, const std::string& data, image4b& image,
                 std::string& error, size_t max_pixels = image_max_pixels);
bool save_image(const std::string& filename, const image4f& image, std::string& error);
bool save_image(const std::string& filename, const image4b& image, std::string& error);

// Colour conversions between 8-bit sRGB-encoded and linear float pixels;
// alpha is never sRGB-coded. Float to 8-bit takes the integer part of
// 256 * x clamped to 0 ... 255, so 0.999 and above give 255.
vec4f srgb_to_linear(const vec4b& pixel);
vec4b linear_to_srgb(const vec4f& pixel);
image4f srgb_to_linear(const image4b& image);
image4b linear_to_srgb(const image4f& image);

// Saves `ldr` with the 8-bit saver when `hdr` is empty, else `hdr`.
bool save_texture_image(const std::string& filename, const image4f& hdr,
                        const image4b& ldr, std::string& error);
