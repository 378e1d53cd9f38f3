// JPEG images through libjpeg.

// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <csetjmp>
#include <cstdint>

#include "scene/image_codec.h"

namespace image_codec {

namespace {

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

}  // namespace

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

}  // namespace image_codec
