// PFM images: a text header, then raw 32-bit floats from the bottom row up.

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "scene/image_codec.h"
#include "support/files.h"

namespace image_codec {

namespace {

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

}  // namespace

bool parse_pfm(const std::string& filename, const std::string& bytes, image4f& image,
               std::string& error, size_t max_pixels) {
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
  auto result = decoded_image<float>{};
  if (check_size(width, height, max_pixels, result.width, result.height) != decoded::ok)
    return finish_decoding(filename, decoded::too_large, result, 1.0f, image.pixels,
                           image.width, image.height, error);

  auto big_endian = scale > 0;
  auto multiplier = (float)std::abs(scale);
  result.channels = channels;
  result.data.resize((size_t)width * (size_t)height * channels);
  auto data = (const unsigned char*)bytes.data() + reader.position;
  auto row_values = (size_t)width * channels;
  for (long row = 0; row < height; row++) {
    // The file starts with the bottom row.
    auto target = result.data.data() + (size_t)(height - 1 - row) * row_values;
    auto source = data + (size_t)row * row_values * 4;
    for (size_t i = 0; i < row_values; i++) {
      target[i] = decode_float(source + 4 * i, big_endian);
      if (multiplier != 1) target[i] *= multiplier;
    }
  }
  return finish_decoding(filename, decoded::ok, result, 1.0f, image.pixels, image.width,
                         image.height, error);
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
  return save_file(filename, out.data(), out.size(), error);
}

}  // namespace image_codec
