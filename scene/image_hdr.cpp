// Radiance HDR images: RGBE pixels, flat or in run-length coded scanlines.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "scene/image_codec.h"

namespace image_codec {

namespace {

// One header line without its line feed; the last line may end at the end
// of the file. Lines are cut at 1023 bytes like the common readers do.
bool read_hdr_line(const std::string& bytes, size_t& position, std::string& line) {
  if (position >= bytes.size()) return false;
  auto end = bytes.find('\n', position);
  if (end == std::string::npos) end = bytes.size();
  line = bytes.substr(position, std::min<size_t>(end - position, 1023));
  position = end + 1;
  return true;
}

// The resolution line: only "-Y height +X width", rows from the top.
bool parse_hdr_resolution(const std::string& line, long& width, long& height) {
  auto text = line.c_str();
  if (std::strncmp(text, "-Y ", 3) != 0) return false;
  char* end = nullptr;
  errno = 0;
  height = std::strtol(text + 3, &end, 10);
  if (errno != 0 || end == text + 3) return false;
  while (*end == ' ') end++;
  if (std::strncmp(end, "+X ", 3) != 0) return false;
  auto start = end + 3;
  width = std::strtol(start, &end, 10);
  return errno == 0 && end != start;
}

// RGBE pixels: three mantissas sharing one exponent; exponent 0 is black.
void rgbe_to_float(const unsigned char* rgbe, float* rgb) {
  if (rgbe[3] == 0) {
    rgb[0] = rgb[1] = rgb[2] = 0;
    return;
  }
  auto factor = std::ldexp(1.0f, rgbe[3] - (128 + 8));
  for (int c = 0; c < 3; c++) rgb[c] = rgbe[c] * factor;
}

}  // namespace

// Radiance files: a text header, then either flat RGBE pixels or scanlines
// whose four components are run-length coded separately. Every count is
// checked against the scanline and every read against the end of the
// data, so a damaged file is an error, never an endless loop.
decoded decode_hdr(const std::string& bytes, size_t max_pixels, decoded_image<float>& out) {
  auto position = size_t{0};
  auto line = std::string{};
  if (!read_hdr_line(bytes, position, line) || (line != "#?RADIANCE" && line != "#?RGBE"))
    return decoded::corrupt;
  auto rgbe_format = false;
  while (read_hdr_line(bytes, position, line) && !line.empty()) {
    if (line == "FORMAT=32-bit_rle_rgbe") rgbe_format = true;
  }
  if (!rgbe_format) return decoded::corrupt;
  auto width = 0L, height = 0L;
  if (!read_hdr_line(bytes, position, line) || !parse_hdr_resolution(line, width, height))
    return decoded::corrupt;
  auto status = check_size(width, height, max_pixels, out.width, out.height);
  if (status != decoded::ok) return status;

  auto data = (const unsigned char*)bytes.data();
  auto size = bytes.size();
  auto pixels = (size_t)width * (size_t)height;
  auto left = [&] { return size - std::min(position, size); };
  auto read_flat = [&] {
    if (left() / 4 < pixels) return false;
    out.data.resize(pixels * 3);
    for (size_t i = 0; i < pixels; i++, position += 4)
      rgbe_to_float(data + position, out.data.data() + 3 * i);
    return true;
  };
  out.channels = 3;
  // Scanlines narrower than 8 or wider than 32767 pixels are never coded.
  if (width < 8 || width > 32767) return read_flat() ? decoded::ok : decoded::corrupt;

  auto scanline = std::vector<unsigned char>((size_t)width * 4);
  for (long row = 0; row < height; row++) {
    if (left() < 4) return decoded::corrupt;
    auto head = data + position;
    if (head[0] != 2 || head[1] != 2 || (head[2] & 0x80)) {
      // Not a coded scanline: the whole image is flat, this being its
      // first pixel.
      if (row != 0) return decoded::corrupt;
      return read_flat() ? decoded::ok : decoded::corrupt;
    }
    if ((head[2] << 8 | head[3]) != width) return decoded::corrupt;
    position += 4;
    if (out.data.empty()) out.data.resize(pixels * 3);
    for (int component = 0; component < 4; component++) {
      for (long column = 0; column < width;) {
        if (left() < 1) return decoded::corrupt;
        auto count = (long)data[position++];
        if (count > 128) {
          // A run of one value.
          count -= 128;
          if (count > width - column || left() < 1) return decoded::corrupt;
          auto value = data[position++];
          for (long i = 0; i < count; i++) scanline[4 * (size_t)(column + i) + component] = value;
        } else {
          // Literal values; an empty literal would never advance.
          if (count == 0 || count > width - column || left() < (size_t)count)
            return decoded::corrupt;
          for (long i = 0; i < count; i++)
            scanline[4 * (size_t)(column + i) + component] = data[position++];
        }
        column += count;
      }
    }
    for (long column = 0; column < width; column++) {
      rgbe_to_float(scanline.data() + 4 * column,
                    out.data.data() + 3 * ((size_t)row * width + column));
    }
  }
  return decoded::ok;
}

}  // namespace image_codec
