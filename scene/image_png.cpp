// PNG images through libpng.

#include <png.h>

#include <cstring>

#include "scene/image_codec.h"

namespace image_codec {

namespace {

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

}  // namespace

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

}  // namespace image_codec
