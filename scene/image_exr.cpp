// OpenEXR images: a reader of its own, and tinyexr for writing.

#include <tinyexr.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "scene/image_codec.h"

namespace image_codec {

namespace {

// OpenEXR files as image tools write them: one part of scanlines, or of
// tiles (the first level of a mipmapped file), channels of 16-bit halves,
// 32-bit floats or unsigned ints, stored raw or with the lossless RLE,
// ZIPS or ZIP compressions. Other compressions, subsampled channels, deep
// data and multi-part files are refused. Every count, offset and size comes
// from the file and is checked against the data before it is used.

struct exr_reader {
  const unsigned char* data     = nullptr;
  size_t               size     = 0;
  size_t               position = 0;
  bool                 ok       = true;

  bool has(size_t count) const { return ok && position <= size && count <= size - position; }
  const unsigned char* take(size_t count) {
    if (!has(count)) return ok = false, nullptr;
    auto start = data + position;
    position += count;
    return start;
  }
  uint64_t le(int bytes) {
    auto p = take((size_t)bytes);
    auto value = uint64_t{0};
    for (int i = bytes - 1; p && i >= 0; i--) value = value << 8 | p[i];
    return value;
  }
  int32_t i32() { return (int32_t)(uint32_t)le(4); }
  // A NUL-terminated name of at most 255 bytes.
  std::string name() {
    auto text = std::string{};
    while (ok) {
      auto p = take(1);
      if (!p || *p == 0) break;
      if (text.size() == 255) return ok = false, std::string{};
      text += (char)*p;
    }
    return text;
  }
};

struct exr_channel {
  std::string name = "";
  int         type = 0;  // 0 unsigned int, 1 half, 2 float
};

struct exr_header {
  std::vector<exr_channel> channels    = {};
  int                      compression = -1;
  int64_t                  window[4]   = {0, 0, -1, -1};  // min x, min y, max x, max y
  bool                     has_window  = false;
  bool                     tiled       = false;
  int64_t                  tile_width = 0, tile_height = 0;
};

enum : int { exr_none = 0, exr_rle = 1, exr_zips = 2, exr_zip = 3 };

bool read_exr_header(exr_reader& in, exr_header& header) {
  auto magic = in.take(4);
  if (!magic || std::memcmp(magic, "\x76\x2f\x31\x01", 4) != 0) return false;
  auto version = in.le(4);
  // Version 2; of the flags only tiles and long names.
  if ((version & 0xff) != 2 || (version & ~uint64_t{0x6ff}) != 0) return false;
  header.tiled = (version & 0x200) != 0;
  auto has_tiles = false;
  while (in.ok) {
    auto name = in.name();
    if (name.empty()) break;
    auto type = in.name();
    auto size = in.i32();
    if (!in.ok || size < 0 || !in.has((size_t)size)) return false;
    auto value = exr_reader{in.take((size_t)size), (size_t)size};
    if (name == "channels" && type == "chlist") {
      while (true) {
        auto channel = exr_channel{value.name(), 0};
        if (!value.ok) return false;
        if (channel.name.empty()) break;
        channel.type = value.i32();
        value.take(4);  // linear flag and reserved bytes
        auto x_sampling = value.i32(), y_sampling = value.i32();
        if (!value.ok || channel.type < 0 || channel.type > 2 || x_sampling != 1 ||
            y_sampling != 1 || header.channels.size() >= 1024)
          return false;
        header.channels.push_back(channel);
      }
    } else if (name == "compression" && type == "compression" && size == 1) {
      header.compression = value.data[0];
    } else if (name == "dataWindow" && type == "box2i" && size == 16) {
      for (auto& v : header.window) v = value.i32();
      header.has_window = true;
    } else if (name == "tiles" && type == "tiledesc" && size == 9) {
      header.tile_width = (int64_t)value.le(4);
      header.tile_height = (int64_t)value.le(4);
      has_tiles = true;
    }
  }
  auto known = header.compression == exr_none || header.compression == exr_rle ||
               header.compression == exr_zips || header.compression == exr_zip;
  return in.ok && !header.channels.empty() && header.has_window && known &&
         has_tiles == header.tiled &&
         (!header.tiled || (header.tile_width > 0 && header.tile_height > 0));
}

float half_to_float(uint16_t half) {
  auto sign = (uint32_t)(half >> 15) << 31;
  auto exponent = (uint32_t)(half >> 10) & 0x1f;
  auto mantissa = (uint32_t)(half & 0x3ff);
  auto bits = uint32_t{0};
  if (exponent == 0x1f) {
    bits = sign | 0x7f800000u | mantissa << 13;  // infinity or NaN
  } else if (exponent != 0) {
    bits = sign | (exponent + 112) << 23 | mantissa << 13;
  } else if (mantissa != 0) {
    // Subnormal: normalise.
    auto e = 113;
    while (!(mantissa & 0x400)) mantissa <<= 1, e--;
    bits = sign | (uint32_t)e << 23 | (mantissa & 0x3ff) << 13;
  } else {
    bits = sign;
  }
  auto value = 0.0f;
  std::memcpy(&value, &bits, 4);
  return value;
}

// RLE and ZIP blocks store the bytes as differences, the even bytes first.
void exr_unpredict(std::vector<unsigned char>& bytes) {
  for (size_t i = 1; i < bytes.size(); i++) bytes[i] = (unsigned char)(bytes[i - 1] + bytes[i] - 128);
  auto mixed = std::vector<unsigned char>(bytes.size());
  auto half = (bytes.size() + 1) / 2;
  for (size_t i = 0; i < bytes.size(); i++) mixed[i] = i % 2 ? bytes[half + i / 2] : bytes[i / 2];
  bytes.swap(mixed);
}

// Unpacks one block into exactly `raw_size` bytes.
bool exr_unpack(int compression, const unsigned char* data, size_t size, size_t raw_size,
                std::vector<unsigned char>& raw) {
  raw.assign(raw_size, 0);
  // A block that compression would not shrink is stored raw.
  if (size == raw_size) return std::memcpy(raw.data(), data, size), true;
  if (compression == exr_none || size > raw_size) return false;
  if (compression == exr_rle) {
    auto out = size_t{0};
    for (size_t in = 0; in < size;) {
      auto count = (int)(signed char)data[in++];
      if (count < 0) {
        auto n = (size_t)-count;
        if (n > size - in || n > raw_size - out) return false;
        std::memcpy(raw.data() + out, data + in, n);
        in += n, out += n;
      } else {
        auto n = (size_t)count + 1;
        if (in >= size || n > raw_size - out) return false;
        std::memset(raw.data() + out, data[in++], n);
        out += n;
      }
    }
    if (out != raw_size) return false;
  } else {
    auto length = (uLongf)raw_size;
    if (uncompress(raw.data(), &length, data, (uLong)size) != Z_OK || length != raw_size)
      return false;
  }
  exr_unpredict(raw);
  return true;
}

}  // namespace

decoded decode_exr(const std::string& bytes, size_t max_pixels, decoded_image<float>& out) {
  auto in = exr_reader{(const unsigned char*)bytes.data(), bytes.size()};
  auto header = exr_header{};
  if (!read_exr_header(in, header)) return decoded::corrupt;
  auto [min_x, min_y, max_x, max_y] = header.window;
  auto status = check_size(max_x - min_x + 1, max_y - min_y + 1, max_pixels, out.width, out.height);
  if (status != decoded::ok) return status;
  auto width = (int64_t)out.width, height = (int64_t)out.height;

  // Channels are stored in the header's order; the image takes R, G, B and
  // A by name (alpha 1 when missing), or a single channel as all four.
  auto pixel_bytes = size_t{0};
  auto targets = std::vector<std::vector<int>>(header.channels.size());
  for (size_t c = 0; c < header.channels.size(); c++) {
    pixel_bytes += header.channels[c].type == 1 ? 2 : 4;
    for (int k = 0; k < 4; k++) {
      if (header.channels.size() == 1 || header.channels[c].name == std::string(1, "RGBA"[k]))
        targets[c].push_back(k);
    }
  }
  auto found = std::vector<bool>(4, false);
  for (auto& list : targets)
    for (auto k : list) found[k] = true;
  if (!found[0] || !found[1] || !found[2]) return decoded::corrupt;
  // Many channels cost time and memory like many pixels.
  if ((uint64_t)pixel_bytes * (uint64_t)width * (uint64_t)height > (uint64_t)max_pixels * 16)
    return decoded::too_large;

  out.channels = 4;
  out.data.assign((size_t)width * (size_t)height * 4, 0.0f);
  if (!found[3])
    for (size_t i = 3; i < out.data.size(); i += 4) out.data[i] = 1;

  // Blocks of 16 lines for ZIP, of one line otherwise; or tiles.
  auto block_width = header.tiled ? header.tile_width : width;
  auto block_height = header.tiled ? header.tile_height
                                   : header.compression == exr_zip ? 16 : 1;
  auto columns = (width + block_width - 1) / block_width;
  auto rows = (height + block_height - 1) / block_height;
  auto offsets = in.position;
  if ((uint64_t)columns * (uint64_t)rows > (bytes.size() - offsets) / 8) return decoded::corrupt;
  auto raw = std::vector<unsigned char>{};
  for (int64_t block = 0; block < columns * rows; block++) {
    auto at = exr_reader{in.data, in.size, offsets + 8 * (size_t)block};
    auto chunk = exr_reader{in.data, in.size, (size_t)std::min<uint64_t>(at.le(8), in.size)};
    int64_t x0 = 0, y0 = 0;
    if (header.tiled) {
      auto tile_x = chunk.i32(), tile_y = chunk.i32(), level_x = chunk.i32(), level_y = chunk.i32();
      if (level_x != 0 || level_y != 0 || tile_x < 0 || tile_y < 0 || tile_x >= columns ||
          tile_y >= rows)
        return decoded::corrupt;
      x0 = tile_x * block_width, y0 = tile_y * block_height;
    } else {
      y0 = (int64_t)chunk.i32() - min_y;
      if (y0 < 0 || y0 >= height || y0 % block_height != 0) return decoded::corrupt;
    }
    auto size = chunk.i32();
    if (!chunk.ok || size < 0 || !chunk.has((size_t)size)) return decoded::corrupt;
    auto lines = std::min(block_height, height - y0), span = std::min(block_width, width - x0);
    auto raw_size = (size_t)lines * (size_t)span * pixel_bytes;
    if (!exr_unpack(header.compression, chunk.take((size_t)size), (size_t)size, raw_size, raw))
      return decoded::corrupt;
    // Each line holds each channel's values for the span in turn.
    auto source = raw.data();
    for (int64_t line = 0; line < lines; line++) {
      for (size_t c = 0; c < header.channels.size(); c++) {
        auto type = header.channels[c].type;
        for (int64_t x = 0; x < span; x++) {
          auto value = 0.0f;
          if (type == 1) {
            value = half_to_float((uint16_t)(source[0] | source[1] << 8));
            source += 2;
          } else {
            auto bits = (uint32_t)source[0] | (uint32_t)source[1] << 8 |
                        (uint32_t)source[2] << 16 | (uint32_t)source[3] << 24;
            if (type == 2) std::memcpy(&value, &bits, 4);
            else value = (float)bits;
            source += 4;
          }
          auto pixel = (size_t)(y0 + line) * (size_t)width + (size_t)(x0 + x);
          for (auto k : targets[c]) out.data[4 * pixel + k] = value;
        }
      }
    }
  }
  return decoded::ok;
}

// ---------------------------------------------------------------- EXR writer

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
  return save_encoded(filename, memory, size, error);
}

}  // namespace image_codec
