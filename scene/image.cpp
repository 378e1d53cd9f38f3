#include "scene/image.h"

#include <jpeglib.h>
#include <png.h>
#include <stb_image_write.h>
#include <tinyexr.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "support/files.h"

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
bool is_8bit_extension(const std::string& filename) {
  return has_extension(filename, ".png") || has_extension(filename, ".jpg") ||
         has_extension(filename, ".tga") || has_extension(filename, ".bmp");
}

// Extensions by which the 8-bit loader and saver hand over to the float ones.
bool is_conversion_float_extension(const std::string& filename) {
  auto ext = path_extension(filename);
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

// Files made by a codec: any failure to put them on disk is the codec's
// failure, a write error, as when the codec wrote the file itself.
bool save_encoded(const std::string& filename, const void* data, size_t size,
                  std::string& error) {
  if (save_file(filename, data, size, error)) return true;
  return fail(error, filename, ": write error");
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

// ------------------------------------------------------------ decoded images

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
                   int& out_height) {
  if (width <= 0 || height <= 0) return decoded::corrupt;
  out_width = (int)std::min<int64_t>(width, INT_MAX);
  out_height = (int)std::min<int64_t>(height, INT_MAX);
  if (width > INT_MAX || height > INT_MAX) return decoded::too_large;
  if ((uint64_t)width * (uint64_t)height > max_pixels) return decoded::too_large;
  return decoded::ok;
}

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

// ------------------------------------------------------------ Radiance HDR

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

// ---------------------------------------------------------------- PNG

// libpng reports errors by longjmp; everything it allocates belongs to
// this record, which the caller owns, so no C++ object is ever jumped over.
struct png_reader {
  png_structp png  = nullptr;
  png_infop   info = nullptr;
  const unsigned char* data     = nullptr;
  size_t               size     = 0;
  size_t               position = 0;
  ~png_reader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

void read_png_bytes(png_structp png, png_bytep out, size_t length) {
  auto reader = (png_reader*)png_get_io_ptr(png);
  if (length > reader->size - reader->position) png_error(png, "unexpected end of file");
  std::memcpy(out, reader->data + reader->position, length);
  reader->position += length;
}

void on_png_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void on_png_warning(png_structp, png_const_charp) {}

// The transforms give 8 bits per channel in the file's own channel count:
// palettes become RGB, a transparent colour becomes alpha, 16-bit
// samples keep their high byte, no gamma is applied.
decoded read_png(png_reader& reader, size_t max_pixels, decoded_image<uint8_t>& out) {
  auto png = reader.png;
  auto info = reader.info;
  if (setjmp(png_jmpbuf(png))) return decoded::corrupt;
  png_set_read_fn(png, &reader, read_png_bytes);
  // Only the chunks that make the pixels are read; text, colour profiles
  // and the rest are skipped without being decompressed.
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
  png_set_chunk_malloc_max(png, 8 << 20);
  png_read_info(png, info);
  auto status = check_size(png_get_image_width(png, info), png_get_image_height(png, info),
                           max_pixels, out.width, out.height);
  if (status != decoded::ok) return status;

  auto color_type = png_get_color_type(png, info);
  if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (color_type == PNG_COLOR_TYPE_GRAY) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  png_set_strip_16(png);
  auto passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  out.channels = png_get_channels(png, info);
  auto row_bytes = (size_t)out.width * (size_t)out.channels;
  if (out.channels < 1 || out.channels > 4 || png_get_rowbytes(png, info) != row_bytes)
    return decoded::corrupt;
  out.data.resize(row_bytes * out.height);
  for (int pass = 0; pass < passes; pass++) {
    for (int row = 0; row < out.height; row++)
      png_read_row(png, out.data.data() + row_bytes * row, nullptr);
  }
  return decoded::ok;
}

// libpng sets aside a chunk's declared length before reading it, and only
// warns when the length is absurd: a chunk longer than the rest of the
// file is refused here first.
bool png_chunks_fit(const std::string& bytes) {
  for (size_t at = 8; at + 8 <= bytes.size();) {
    auto p = (const unsigned char*)bytes.data() + at;
    auto length = (size_t)p[0] << 24 | (size_t)p[1] << 16 | (size_t)p[2] << 8 | p[3];
    if (length > bytes.size() - at - 8 || bytes.size() - at - 8 - length < 4) return false;
    if (std::memcmp(p + 4, "IEND", 4) == 0) break;
    at += 12 + length;
  }
  return true;
}

decoded decode_png(const std::string& bytes, size_t max_pixels, decoded_image<uint8_t>& out) {
  if (bytes.size() < 8 || png_sig_cmp((png_const_bytep)bytes.data(), 0, 8) != 0 ||
      !png_chunks_fit(bytes))
    return decoded::corrupt;
  auto reader = png_reader{};
  reader.data = (const unsigned char*)bytes.data();
  reader.size = bytes.size();
  reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_png_error, on_png_warning);
  if (!reader.png) return decoded::corrupt;
  reader.info = png_create_info_struct(reader.png);
  if (!reader.info) return decoded::corrupt;
  return read_png(reader, max_pixels, out);
}

// ---------------------------------------------------------------- JPEG

// More scans than any encoder writes; each one walks the whole image, so
// a file of many tiny scans would otherwise cost time out of all
// proportion to its size.
constexpr int jpeg_max_scans = 100;

// libjpeg reports errors through error_exit, which jumps back here; as
// with PNG the state lives in a record the caller owns.
struct jpeg_reader {
  jpeg_decompress_struct info     = {};
  jpeg_error_mgr         errors   = {};
  jpeg_progress_mgr      progress = {};
  std::jmp_buf           jump     = {};
  ~jpeg_reader() { jpeg_destroy_decompress(&info); }
};

void on_jpeg_error(j_common_ptr info) { std::longjmp(((jpeg_reader*)info->client_data)->jump, 1); }
void on_jpeg_message(j_common_ptr, int) {}
void on_jpeg_progress(j_common_ptr info) {
  if (((j_decompress_ptr)info)->input_scan_number > jpeg_max_scans) on_jpeg_error(info);
}

// Grey files give one channel, colour files three; CMYK and YCCK files are
// decoded to CMYK here (four channels) and turned into RGB by the caller.
decoded read_jpeg(jpeg_reader& reader, const std::string& bytes, size_t max_pixels,
                  decoded_image<uint8_t>& out) {
  auto info = &reader.info;
  if (setjmp(reader.jump)) return decoded::corrupt;
  // Creating keeps err and client_data, which error_exit needs already.
  jpeg_create_decompress(info);
  reader.progress.progress_monitor = on_jpeg_progress;
  info->progress = &reader.progress;
  jpeg_mem_src(info, (const unsigned char*)bytes.data(), (unsigned long)bytes.size());
  if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK) return decoded::corrupt;
  auto status = check_size(info->image_width, info->image_height, max_pixels, out.width,
                           out.height);
  if (status != decoded::ok) return status;

  switch (info->jpeg_color_space) {
    case JCS_GRAYSCALE: info->out_color_space = JCS_GRAYSCALE; break;
    case JCS_CMYK:
    case JCS_YCCK: info->out_color_space = JCS_CMYK; break;
    default: info->out_color_space = JCS_RGB; break;
  }
  jpeg_start_decompress(info);
  out.channels = info->output_components;
  if ((int)info->output_width != out.width || (int)info->output_height != out.height ||
      out.channels < 1 || out.channels > 4)
    return decoded::corrupt;
  auto row_bytes = (size_t)out.width * (size_t)out.channels;
  out.data.resize(row_bytes * out.height);
  while (info->output_scanline < info->output_height) {
    JSAMPROW row = out.data.data() + row_bytes * info->output_scanline;
    if (jpeg_read_scanlines(info, &row, 1) != 1) return decoded::corrupt;
  }
  return decoded::ok;
}

decoded decode_jpeg(const std::string& bytes, size_t max_pixels, decoded_image<uint8_t>& out) {
  if (bytes.size() < 3 || (unsigned char)bytes[0] != 0xFF || (unsigned char)bytes[1] != 0xD8 ||
      (unsigned char)bytes[2] != 0xFF)
    return decoded::corrupt;
  auto reader = jpeg_reader{};
  reader.info.client_data = &reader;
  reader.info.err = jpeg_std_error(&reader.errors);
  reader.errors.error_exit = on_jpeg_error;
  reader.errors.emit_message = on_jpeg_message;
  auto status = read_jpeg(reader, bytes, max_pixels, out);
  if (status != decoded::ok || out.channels != 4) return status;
  // Inverted CMYK as Adobe writes it: each colour scaled by the black
  // channel, rounded.
  auto pixels = (size_t)out.width * (size_t)out.height;
  for (size_t i = 0; i < pixels; i++) {
    auto cmyk = out.data.data() + 4 * i;
    auto rgb = out.data.data() + 3 * i;
    auto k = (unsigned)cmyk[3];
    for (int c = 0; c < 3; c++) {
      auto t = cmyk[c] * k + 128;
      rgb[c] = (uint8_t)((t + (t >> 8)) >> 8);
    }
  }
  out.channels = 3;
  out.data.resize(pixels * 3);
  return decoded::ok;
}

// ---------------------------------------------------------------- TGA, BMP

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

// ---------------------------------------------------------------- EXR

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
