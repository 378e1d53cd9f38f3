// BMP and TGA images through stb_image.

#include <climits>
#include <memory>

#include "scene/image_codec.h"

// The TGA and BMP decoders of stb_image, compiled here with every other
// format left out and every function private to this file: bytes handed to
// them can only ever be read as TGA or BMP, and the sanitizer and fuzz
// builds instrument the decoder itself.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#define STBI_ONLY_TGA
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_NO_FAILURE_STRINGS
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#endif
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace image_codec {

// stb_image picks a decoder by content, trying BMP before TGA. A BMP file
// starts with "BM"; the second byte of a TGA file is its colour map type,
// 0 or 1, which no BMP file has, and its third a known image type. With
// these checks stb_image sees only the BMP and TGA files it is meant for.
bool looks_like_bmp(const std::string& bytes) {
  return bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
}

bool looks_like_tga(const std::string& bytes) {
  if (bytes.size() < 18) return false;
  auto map_type = (unsigned char)bytes[1], image_type = (unsigned char)bytes[2];
  auto known = image_type == 1 || image_type == 2 || image_type == 3 || image_type == 9 ||
               image_type == 10 || image_type == 11;
  return (map_type == 0 || map_type == 1) && known;
}

// Decodes BMP and TGA files only: the callers have checked the header, and
// stb_image would otherwise try every format it knows.
decoded decode_stb(const std::string& bytes, size_t max_pixels, decoded_image<uint8_t>& out) {
  if (bytes.size() > INT_MAX) return decoded::corrupt;
  auto data = (const stbi_uc*)bytes.data();
  auto size = (int)bytes.size();
  auto width = 0, height = 0, channels = 0;
  if (!stbi_info_from_memory(data, size, &width, &height, &channels)) return decoded::corrupt;
  auto status = check_size(width, height, max_pixels, out.width, out.height);
  if (status != decoded::ok) return status;
  auto pixels = stbi_load_from_memory(data, size, &width, &height, &channels, 0);
  auto owned = std::unique_ptr<stbi_uc, decltype(&stbi_image_free)>{pixels, &stbi_image_free};
  if (!pixels || width != out.width || height != out.height || channels < 1 || channels > 4)
    return decoded::corrupt;
  out.channels = channels;
  out.data.assign(pixels, pixels + (size_t)width * (size_t)height * (size_t)channels);
  return decoded::ok;
}

}  // namespace image_codec
