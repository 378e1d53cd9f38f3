#include "scene/image.h"

#include <stb_image.h>
#include <stb_image_write.h>
#include <tinyexr.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "support/files.h"

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

namespace {

// Formats are matched on the exact lower-case or upper-case extension only.
bool has_extension(const std::string& ext, const char* lower) {
  auto upper = std::string{lower};
  for (auto& c : upper) c = (char)std::toupper((unsigned char)c);
  return ext == lower || ext == upper;
}

bool is_8bit_extension(const std::string& ext) {
  return has_extension(ext, ".png") || has_extension(ext, ".jpg") ||
         has_extension(ext, ".tga") || has_extension(ext, ".bmp");
}

// Extensions by which the 8-bit loader and saver hand over to the float ones.
bool is_conversion_float_extension(const std::string& ext) {
  return ext == ".hdr" || ext == ".exr" || ext == ".pfm";
}

bool fail(std::string& error, const std::string& filename, const char* suffix) {
  error = filename + suffix;
  return false;
}

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

bool valid_size(int width, int height, size_t pixels) {
  return width > 0 && height > 0 && pixels == (size_t)width * (size_t)height;
}

// Writes a whole encoded file. A file that fails half-way is removed so no
// truncated image is left behind under the requested name.
bool write_file_bytes(const std::string& filename, const void* data, size_t size,
                      const char* open_suffix, std::string& error) {
  auto file = open_file(filename, "wb");
  if (!file) return fail(error, filename, open_suffix);
  auto written = std::fwrite(data, 1, size, file) == size;
  auto closed = std::fclose(file) == 0;
  if (!written || !closed) {
    // Only a regular file is removed, never a device the name points to.
    auto ec = std::error_code{};
    auto path = std::filesystem::u8path(filename);
    if (std::filesystem::is_regular_file(path, ec)) std::filesystem::remove(path, ec);
    return fail(error, filename, ": write error");
  }
  return true;
}

// stb_image_write encodes into memory through this callback; the file is
// then written by open_file so UTF-8 names work everywhere.
void append_bytes(void* context, void* data, int size) {
  auto buffer = (std::string*)context;
  buffer->append((const char*)data, (size_t)size);
}

// ---------------------------------------------------------------- PFM

struct byte_reader {
  const std::string& bytes;
  size_t             position = 0;
};

// One header line as a line reader with a 4096-byte buffer returns it: up
// to and including the line feed, at most 4095 bytes. False at the end.
bool read_header_line(byte_reader& reader, std::vector<std::string>& words) {
  words.clear();
  if (reader.position >= reader.bytes.size()) return false;
  auto start = reader.position;
  auto end = start;
  while (end < reader.bytes.size() && end - start < 4095) {
    if (reader.bytes[end++] == '\n') break;
  }
  reader.position = end;
  auto word = std::string{};
  for (auto i = start; i < end; i++) {
    auto c = reader.bytes[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return true;
}

bool parse_int(const std::string& word, long& value) {
  if (word.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtol(word.c_str(), &end, 10);
  return errno == 0 && end == word.c_str() + word.size();
}

bool parse_double(const std::string& word, double& value) {
  if (word.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtod(word.c_str(), &end);
  return errno == 0 && end == word.c_str() + word.size() && std::isfinite(value);
}

float decode_float(const unsigned char* bytes, bool big_endian) {
  auto bits = big_endian ? (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 |
                               (uint32_t)bytes[2] << 8 | (uint32_t)bytes[3]
                         : (uint32_t)bytes[3] << 24 | (uint32_t)bytes[2] << 16 |
                               (uint32_t)bytes[1] << 8 | (uint32_t)bytes[0];
  auto value = 0.0f;
  std::memcpy(&value, &bits, 4);
  return value;
}

void encode_float_le(float value, std::string& out) {
  auto bits = uint32_t{0};
  std::memcpy(&bits, &value, 4);
  for (int i = 0; i < 4; i++) out += (char)((bits >> (8 * i)) & 0xff);
}

bool load_pfm(const std::string& filename, image4f& image, std::string& error) {
  auto bytes = std::string{};
  if (!load_text(filename, bytes, error)) return false;
  auto reader = byte_reader{bytes};

  auto words = std::vector<std::string>{};
  if (!read_header_line(reader, words)) return fail(error, filename, ": read error");
  auto channels = 0;
  if (!words.empty() && words[0] == "Pf") channels = 1;
  else if (!words.empty() && words[0] == "PF") channels = 3;
  else return fail(error, filename, ": parse error");

  if (!read_header_line(reader, words)) return fail(error, filename, ": read error");
  auto width = 0L, height = 0L;
  if (words.size() < 2 || !parse_int(words[0], width) || !parse_int(words[1], height) ||
      width < 0 || height < 0 || width > INT32_MAX || height > INT32_MAX)
    return fail(error, filename, ": parse error");

  if (!read_header_line(reader, words)) return fail(error, filename, ": read error");
  auto scale = 0.0;
  // A zero scale has no byte order and would wipe every value.
  if (words.empty() || !parse_double(words[0], scale) || scale == 0)
    return fail(error, filename, ": parse error");

  if (width == 0 || height == 0) return fail(error, filename, ": read error");
  // The header is checked against the file's real size before anything is
  // allocated: a huge width or height is a short file, not a huge image.
  auto available = (uint64_t)(bytes.size() - reader.position);
  auto row_bytes = (uint64_t)width * (uint64_t)channels * 4;
  if ((uint64_t)height > available / row_bytes) return fail(error, filename, ": read error");

  auto big_endian = scale > 0;
  auto multiplier = (float)std::abs(scale);
  auto values = std::vector<float>((size_t)width * (size_t)height * channels);
  auto data = (const unsigned char*)bytes.data() + reader.position;
  auto row_values = (size_t)width * channels;
  for (long row = 0; row < height; row++) {
    // The file starts with the bottom row.
    auto target = values.data() + (size_t)(height - 1 - row) * row_values;
    auto source = data + (size_t)row * row_values * 4;
    for (size_t i = 0; i < row_values; i++) {
      target[i] = decode_float(source + 4 * i, big_endian);
      if (multiplier != 1) target[i] *= multiplier;
    }
  }

  auto result = image4f{(int)width, (int)height, {}};
  if (!widen_channels(filename, result.width, result.height, channels, values.data(), 1.0f,
                      result.pixels, error))
    return false;
  image = std::move(result);
  return true;
}

// Writes 1 to 4 interleaved components: one as "Pf", otherwise "PF" with
// three floats per pixel (a missing third is 0, a fourth is dropped).
bool save_pfm(const std::string& filename, int width, int height, int components,
              const float* data, std::string& error) {
  if (components < 1 || components > 4) return fail(error, filename, ": components not supported");
  auto out = std::string{components == 1 ? "Pf" : "PF"};
  out += "\n" + std::to_string(width) + " " + std::to_string(height) + "\n-1\n";
  auto written = components == 1 ? 1 : 3;
  out.reserve(out.size() + (size_t)width * height * written * 4);
  for (auto row = height - 1; row >= 0; row--) {
    for (auto column = 0; column < width; column++) {
      auto pixel = data + ((size_t)row * width + column) * components;
      if (components == 1 || components == 3) {
        for (int c = 0; c < components; c++) encode_float_le(pixel[c], out);
      } else {
        encode_float_le(pixel[0], out);
        encode_float_le(pixel[1], out);
        encode_float_le(components == 4 ? pixel[2] : 0.0f, out);
      }
    }
  }
  return write_file_bytes(filename, out.data(), out.size(), ": file not found", error);
}

// ---------------------------------------------------------------- EXR

bool load_exr(const std::string& filename, image4f& image, std::string& error) {
  auto bytes = std::string{};
  if (!load_text(filename, bytes, error)) return fail(error, filename, ": file not found");
  float* rgba = nullptr;
  auto width = 0, height = 0;
  const char* message = nullptr;
  auto result = LoadEXRFromMemory(&rgba, &width, &height, (const unsigned char*)bytes.data(),
                                  bytes.size(), &message);
  if (message) FreeEXRErrorMessage(message);
  auto owned = std::unique_ptr<float, decltype(&std::free)>{rgba, &std::free};
  if (result != TINYEXR_SUCCESS || !rgba) return fail(error, filename, ": file not found");
  if (width <= 0 || height <= 0) return fail(error, filename, ": read error");
  auto loaded = image4f{width, height, {}};
  if (!widen_channels(filename, width, height, 4, rgba, 1.0f, loaded.pixels, error)) return false;
  image = std::move(loaded);
  return true;
}

bool save_exr(const std::string& filename, const image4f& image, std::string& error) {
  // Planes in the A, B, G, R order that most readers expect, saved as halves.
  auto count = image.pixels.size();
  auto planes = std::vector<std::vector<float>>(4, std::vector<float>(count));
  for (size_t i = 0; i < count; i++) {
    planes[0][i] = image.pixels[i].w;
    planes[1][i] = image.pixels[i].z;
    planes[2][i] = image.pixels[i].y;
    planes[3][i] = image.pixels[i].x;
  }
  float* plane_pointers[4] = {planes[0].data(), planes[1].data(), planes[2].data(),
                              planes[3].data()};

  auto header = EXRHeader{};
  InitEXRHeader(&header);
  // Small images gain nothing from compression.
  header.compression_type = image.width < 16 && image.height < 16
                                ? TINYEXR_COMPRESSIONTYPE_NONE
                                : TINYEXR_COMPRESSIONTYPE_ZIP;
  EXRChannelInfo channels[4] = {};
  const char* names[4] = {"A", "B", "G", "R"};
  int pixel_types[4], requested_types[4];
  for (int c = 0; c < 4; c++) {
    std::strncpy(channels[c].name, names[c], sizeof(channels[c].name) - 1);
    pixel_types[c] = TINYEXR_PIXELTYPE_FLOAT;
    requested_types[c] = TINYEXR_PIXELTYPE_HALF;
  }
  header.num_channels = 4;
  header.channels = channels;
  header.pixel_types = pixel_types;
  header.requested_pixel_types = requested_types;

  auto exr = EXRImage{};
  InitEXRImage(&exr);
  exr.num_channels = 4;
  exr.images = (unsigned char**)plane_pointers;
  exr.width = image.width;
  exr.height = image.height;

  unsigned char* memory = nullptr;
  const char* message = nullptr;
  auto size = SaveEXRImageToMemory(&exr, &header, &memory, &message);
  if (message) FreeEXRErrorMessage(message);
  auto owned = std::unique_ptr<unsigned char, decltype(&std::free)>{memory, &std::free};
  if (size == 0 || !memory) return fail(error, filename, ": write error");
  return write_file_bytes(filename, memory, size, ": write error", error);
}

// ---------------------------------------------------------------- stb

bool load_stb_bytes(const std::string& filename, image4b& image, std::string& error) {
  auto file = open_file(filename, "rb");
  if (!file) return fail(error, filename, ": file not found");
  auto width = 0, height = 0, channels = 0;
  auto data = stbi_load_from_file(file, &width, &height, &channels, 0);
  std::fclose(file);
  auto owned = std::unique_ptr<stbi_uc, decltype(&stbi_image_free)>{data, &stbi_image_free};
  if (!data) return fail(error, filename, ": file not found");
  if (width <= 0 || height <= 0) return fail(error, filename, ": read error");
  auto loaded = image4b{width, height, {}};
  if (!widen_channels(filename, width, height, channels, data, (stbi_uc)255, loaded.pixels,
                      error))
    return false;
  image = std::move(loaded);
  return true;
}

bool load_stb_hdr(const std::string& filename, image4f& image, std::string& error) {
  auto file = open_file(filename, "rb");
  if (!file) return fail(error, filename, ": file not found");
  auto width = 0, height = 0, channels = 0;
  auto data = stbi_loadf_from_file(file, &width, &height, &channels, 0);
  std::fclose(file);
  auto owned = std::unique_ptr<float, decltype(&stbi_image_free)>{data, &stbi_image_free};
  if (!data) return fail(error, filename, ": file not found");
  if (width <= 0 || height <= 0) return fail(error, filename, ": read error");
  auto loaded = image4f{width, height, {}};
  if (!widen_channels(filename, width, height, channels, data, 1.0f, loaded.pixels, error))
    return false;
  image = std::move(loaded);
  return true;
}

}  // namespace

// -----------------------------------------------------------------------------
// Loaders and savers
// -----------------------------------------------------------------------------

bool load_image(const std::string& filename, image4f& image, std::string& error) {
  auto ext = path_extension(filename);
  if (has_extension(ext, ".exr")) return load_exr(filename, image, error);
  if (has_extension(ext, ".pfm")) return load_pfm(filename, image, error);
  if (has_extension(ext, ".hdr")) return load_stb_hdr(filename, image, error);
  auto bytes = image4b{};
  if (!load_image(filename, bytes, error)) return false;
  image = srgb_to_linear(bytes);
  return true;
}

bool load_image(const std::string& filename, image4b& image, std::string& error) {
  auto ext = path_extension(filename);
  if (is_8bit_extension(ext)) return load_stb_bytes(filename, image, error);
  if (is_conversion_float_extension(ext)) {
    auto floats = image4f{};
    if (!load_image(filename, floats, error)) return false;
    image = linear_to_srgb(floats);
    return true;
  }
  return fail(error, filename, ": unknown format");
}

bool save_image(const std::string& filename, const image4f& image, std::string& error) {
  auto ext = path_extension(filename);
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
  return write_file_bytes(filename, encoded.data(), encoded.size(), ": write error", error);
}

bool save_image(const std::string& filename, const image4b& image, std::string& error) {
  auto ext = path_extension(filename);
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
  return write_file_bytes(filename, encoded.data(), encoded.size(), ": write error", error);
}

bool save_texture_image(const std::string& filename, const image4f& hdr, const image4b& ldr,
                        std::string& error) {
  return hdr.pixels.empty() ? save_image(filename, ldr, error) : save_image(filename, hdr, error);
}
