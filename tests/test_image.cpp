#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <regex>

#include "scene/image.h"
#include "test_util.h"

static const std::string image_data = std::string{TEST_DATA_DIR} + "/image/";

// A small 8-bit image whose pixels all differ, alpha included.
static image4b make_bytes(int width, int height) {
  auto image = image4b{width, height, {}};
  for (int i = 0; i < width * height; i++) {
    image.pixels.push_back({(uint8_t)(i * 37), (uint8_t)(255 - i * 11), (uint8_t)(i * 5 + 3),
                            (uint8_t)(60 + i * 9)});
  }
  return image;
}

// A small float image with values outside 0 ... 1.
static image4f make_floats(int width, int height) {
  auto image = image4f{width, height, {}};
  for (int i = 0; i < width * height; i++) {
    image.pixels.push_back({0.25f * i, 1.5f - 0.125f * i, 3.0f + i, 0.5f + 0.0625f * i});
  }
  return image;
}

static std::string be_float(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return {(char)(bits >> 24), (char)(bits >> 16), (char)(bits >> 8), (char)bits};
}
static std::string le_float(float value) {
  auto be = be_float(value);
  return {be[3], be[2], be[1], be[0]};
}

// Writes a new file; replacing by truncation is slow on some file systems.
static void rewrite_file(const std::string& path, const std::string& bytes) {
  std::filesystem::remove(path);
  write_file(path, bytes);
}

// The loader's error text, or "ok".
template <typename image>
static std::string load_result(const std::string& path, image& loaded) {
  auto error = std::string{};
  return load_image(path, loaded, error) ? std::string{"ok"} : error;
}
template <typename image>
static std::string save_result(const std::string& path, const image& saved) {
  auto error = std::string{};
  return save_image(path, saved, error) ? std::string{"ok"} : error;
}

class image_files : public ::testing::Test {
 protected:
  scratch_dir dir{"image"};
};

// -------------------------------------------------------------- conversions

TEST(image_conversions, documented_values) {
  auto linear = srgb_to_linear(vec4b{255, 128, 0, 128});
  EXPECT_FLOAT_EQ(linear.x, 1);
  EXPECT_NEAR(linear.y, 0.2158f, 1e-4f);
  EXPECT_EQ(linear.z, 0);
  EXPECT_FLOAT_EQ(linear.w, 128 / 255.0f);  // alpha is never sRGB-coded
  EXPECT_EQ(linear_to_srgb(vec4f{0.5f, 0, 2, 1}), (vec4b{188, 0, 255, 255}));
  // Alpha: integer part of 256 x, clamped.
  EXPECT_EQ(linear_to_srgb(vec4f{0, 0, 0, 0.999f}).w, 255);
  EXPECT_EQ(linear_to_srgb(vec4f{0, 0, 0, 0.5f}).w, 128);
  EXPECT_EQ(linear_to_srgb(vec4f{0, 0, 0, 0.49f}).w, 125);
  EXPECT_EQ(linear_to_srgb(vec4f{-1, -0.001f, NAN, -3}), (vec4b{0, 0, 0, 0}));
  // The linear segment: 12.92 * 0.003 * 256 = 9.9 -> 9.
  EXPECT_EQ(linear_to_srgb(vec4f{0.003f, 0, 0, 0}).x, 9);
  EXPECT_NEAR(srgb_to_linear(vec4b{10, 0, 0, 0}).x, 10 / 255.0f / 12.92f, 1e-7f);
}

TEST(image_conversions, every_byte_survives_a_round_trip) {
  for (int v = 0; v < 256; v++) {
    auto b = (uint8_t)v;
    EXPECT_EQ(linear_to_srgb(srgb_to_linear(vec4b{b, b, b, b})), (vec4b{b, b, b, b})) << v;
  }
}

// ---------------------------------------------------------------- round trips

TEST_F(image_files, lossless_8bit_formats_keep_every_byte) {
  auto original = make_bytes(5, 3);
  for (auto name : {"a.png", "a.tga", "a.bmp", "A.PNG", "A.TGA", "A.BMP", "图像.png"}) {
    auto loaded = image4b{};
    ASSERT_EQ(save_result(dir / name, original), "ok") << name;
    ASSERT_EQ(load_result(dir / name, loaded), "ok") << name;
    EXPECT_EQ(loaded.width, 5);
    EXPECT_EQ(loaded.height, 3);
    EXPECT_TRUE(loaded.pixels == original.pixels) << name;
  }
}

TEST_F(image_files, png_bytes_load_as_linear_floats) {
  auto orange = image4b{1, 1, {{255, 128, 0, 255}}};
  auto loaded = image4f{};
  ASSERT_EQ(save_result(dir / "orange.png", orange), "ok");
  ASSERT_EQ(load_result(dir / "orange.png", loaded), "ok");
  ASSERT_EQ(loaded.pixels.size(), 1u);
  EXPECT_FLOAT_EQ(loaded.pixels[0].x, 1);
  EXPECT_NEAR(loaded.pixels[0].y, 0.2158f, 1e-4f);
  EXPECT_EQ(loaded.pixels[0].z, 0);
  EXPECT_FLOAT_EQ(loaded.pixels[0].w, 1);
}

TEST_F(image_files, floats_saved_to_png_are_srgb_bytes) {
  auto image = image4f{1, 1, {{0.5f, 0, 2, 1}}};
  auto loaded = image4b{};
  ASSERT_EQ(save_result(dir / "f.png", image), "ok");
  ASSERT_EQ(load_result(dir / "f.png", loaded), "ok");
  EXPECT_EQ(loaded.pixels[0], (vec4b{188, 0, 255, 255}));
}

TEST_F(image_files, jpeg_round_trip_is_close) {
  // Smooth colours survive quality 75 within a few steps; alpha is dropped.
  auto image = image4b{16, 16, {}};
  for (int i = 0; i < 256; i++) image.pixels.push_back({200, (uint8_t)(40 + i / 16), 90, 77});
  auto loaded = image4b{};
  ASSERT_EQ(save_result(dir / "a.jpg", image), "ok");
  ASSERT_EQ(load_result(dir / "a.jpg", loaded), "ok");
  ASSERT_EQ(loaded.pixels.size(), 256u);
  for (int i = 0; i < 256; i++) {
    EXPECT_NEAR(loaded.pixels[i].x, image.pixels[i].x, 6);
    EXPECT_NEAR(loaded.pixels[i].y, image.pixels[i].y, 6);
    EXPECT_NEAR(loaded.pixels[i].z, image.pixels[i].z, 6);
    EXPECT_EQ(loaded.pixels[i].w, 255);
  }
}

TEST_F(image_files, float_formats_round_trip) {
  auto original = make_floats(4, 3);
  struct format {
    const char* name;
    float       tolerance;  // relative
    bool        keeps_alpha;
  };
  // HDR stores a shared 8-bit exponent, EXR half floats, PFM exact RGB.
  for (auto f : {format{"a.hdr", 1 / 64.0f, false}, format{"a.HDR", 1 / 64.0f, false},
                 format{"a.exr", 1 / 1024.0f, true}, format{"a.EXR", 1 / 1024.0f, true},
                 format{"a.pfm", 0, false}, format{"a.PFM", 0, false}}) {
    auto loaded = image4f{};
    ASSERT_EQ(save_result(dir / f.name, original), "ok") << f.name;
    ASSERT_EQ(load_result(dir / f.name, loaded), "ok") << f.name;
    ASSERT_EQ(loaded.width, 4);
    ASSERT_EQ(loaded.height, 3);
    auto shared_exponent = std::tolower(f.name[2]) == 'h';
    for (size_t i = 0; i < original.pixels.size(); i++) {
      auto &a = loaded.pixels[i], &e = original.pixels[i];
      auto brightest = std::max({e.x, e.y, e.z});
      auto near = [&](float actual, float expected) {
        EXPECT_NEAR(actual, expected, f.tolerance * (shared_exponent ? brightest : expected))
            << f.name << " pixel " << i;
      };
      near(a.x, e.x);
      near(a.y, e.y);
      near(a.z, e.z);
      EXPECT_NEAR(a.w, f.keeps_alpha ? e.w : 1, 2 * f.tolerance);
    }
  }
}

TEST_F(image_files, bytes_through_float_files_and_floats_through_byte_files) {
  auto bytes = make_bytes(3, 2);
  auto back = image4b{};
  ASSERT_EQ(save_result(dir / "b.exr", bytes), "ok");
  ASSERT_EQ(load_result(dir / "b.exr", back), "ok");
  for (size_t i = 0; i < bytes.pixels.size(); i++) {
    EXPECT_NEAR(back.pixels[i].x, bytes.pixels[i].x, 1);
    EXPECT_NEAR(back.pixels[i].w, bytes.pixels[i].w, 1);
  }
  // Float from an 8-bit file is the sRGB decode of its bytes.
  auto floats = image4f{};
  ASSERT_EQ(save_result(dir / "b.tga", bytes), "ok");
  ASSERT_EQ(load_result(dir / "b.tga", floats), "ok");
  EXPECT_EQ(floats.pixels[4], srgb_to_linear(bytes.pixels[4]));
  // Upper-case float extensions are not conversion targets of the 8-bit side.
  EXPECT_EQ(save_result(dir / "b.EXR", bytes), dir / "b.EXR" + ": unknown format");
  EXPECT_EQ(load_result(dir / "b.EXR", back), dir / "b.EXR" + ": unknown format");
}

TEST_F(image_files, grey_pngs_widen_by_position) {
  auto grey = image4b{};
  ASSERT_EQ(load_result(image_data + "grey.png", grey), "ok");
  ASSERT_EQ(grey.width, 3);
  ASSERT_EQ(grey.height, 2);
  EXPECT_EQ(grey.pixels[1], (vec4b{200, 0, 0, 255}));
  EXPECT_EQ(grey.pixels[4], (vec4b{128, 0, 0, 255}));
  auto grey_alpha = image4b{};
  ASSERT_EQ(load_result(image_data + "grey_alpha.png", grey_alpha), "ok");
  EXPECT_EQ(grey_alpha.pixels[0], (vec4b{90, 128, 0, 255}));
  auto floats = image4f{};
  ASSERT_EQ(load_result(image_data + "grey.png", floats), "ok");
  EXPECT_EQ(floats.pixels[5], (vec4f{1, 0, 0, 1}));
}

TEST_F(image_files, texture_saves_the_float_image_when_it_has_one) {
  auto ldr = image4b{1, 1, {{10, 20, 30, 40}}};
  auto hdr = image4f{1, 1, {{1, 1, 1, 1}}};
  auto error = std::string{};
  auto loaded = image4b{};
  ASSERT_TRUE(save_texture_image(dir / "ldr.png", image4f{}, ldr, error)) << error;
  ASSERT_EQ(load_result(dir / "ldr.png", loaded), "ok");
  EXPECT_EQ(loaded.pixels[0], (vec4b{10, 20, 30, 40}));
  ASSERT_TRUE(save_texture_image(dir / "both.png", hdr, ldr, error)) << error;
  ASSERT_EQ(load_result(dir / "both.png", loaded), "ok");
  EXPECT_EQ(loaded.pixels[0], (vec4b{255, 255, 255, 255}));
}

// -------------------------------------------------------------------- failures

TEST_F(image_files, unknown_and_mixed_case_extensions) {
  auto bytes = make_bytes(2, 2);
  auto floats = make_floats(2, 2);
  auto loaded_bytes = image4b{};
  auto loaded_floats = image4f{};
  for (auto name : {"a.Png", "a.Hdr", "a.gif", "noext", "a.png.txt"}) {
    auto expected = dir / name + ": unknown format";
    EXPECT_EQ(save_result(dir / name, bytes), expected);
    EXPECT_EQ(save_result(dir / name, floats), expected);
    write_file(dir / name, read_file(image_data + "grey.png"));
    EXPECT_EQ(load_result(dir / name, loaded_bytes), expected);
    EXPECT_EQ(load_result(dir / name, loaded_floats), expected);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "a.gif.png"));
}

TEST_F(image_files, missing_and_undecodable_files) {
  auto sentinel = image4f{1, 1, {{7, 7, 7, 7}}};
  for (auto name : {"none.png", "none.jpg", "none.hdr", "none.exr", "none.pfm"}) {
    auto loaded = sentinel;
    EXPECT_EQ(load_result(dir / name, loaded), dir / name + ": file not found");
    EXPECT_TRUE(loaded.pixels == sentinel.pixels);  // left unchanged
  }
  // A folder is not an image either.
  std::filesystem::create_directory(dir / "folder.png");
  auto bytes = image4b{};
  EXPECT_EQ(load_result(dir / "folder.png", bytes), dir / "folder.png" + ": file not found");
  // Garbage that the codecs reject.
  for (auto name : {"bad.png", "bad.hdr", "bad.exr", "bad.jpg"}) {
    write_file(dir / name, "this is not an image at all");
    EXPECT_EQ(load_result(dir / name, bytes), dir / name + ": file not found") << name;
  }
}

TEST_F(image_files, unwritable_targets) {
  auto floats = make_floats(2, 2);
  auto missing = dir / "no/such/folder/";
  EXPECT_EQ(save_result(missing + "a.png", floats), missing + "a.png: write error");
  EXPECT_EQ(save_result(missing + "a.hdr", floats), missing + "a.hdr: write error");
  EXPECT_EQ(save_result(missing + "a.exr", floats), missing + "a.exr: write error");
  EXPECT_EQ(save_result(missing + "a.pfm", floats), missing + "a.pfm: file not found");
  // An empty or inconsistent image writes nothing.
  EXPECT_EQ(save_result(dir / "empty.png", image4b{}), dir / "empty.png" + ": write error");
  EXPECT_EQ(save_result(dir / "empty.pfm", image4f{}), dir / "empty.pfm" + ": write error");
  EXPECT_EQ(save_result(dir / "short.exr", image4f{3, 3, {{1, 1, 1, 1}}}),
            dir / "short.exr" + ": write error");
  EXPECT_FALSE(std::filesystem::exists(dir / "empty.png"));
  EXPECT_FALSE(std::filesystem::exists(dir / "empty.pfm"));
}

// A link in the output folder is replaced by the image, never written
// through: the device it pointed to is left alone.
TEST_F(image_files, links_are_replaced_not_written_through) {
  if (!std::filesystem::is_character_file("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto link = dir / "full.pfm";
  std::filesystem::create_symlink("/dev/full", link);
  EXPECT_EQ(save_result(link, make_floats(64, 64)), "ok");
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(link)));
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
}

// ------------------------------------------------------------------------- PFM

static const std::string pfm_2x2 = "PF\n2 2\n-1\n" + le_float(1) + le_float(2) + le_float(3) +
                                   le_float(4) + le_float(5) + le_float(6) + le_float(7) +
                                   le_float(8) + le_float(9) + le_float(10) + le_float(11) +
                                   le_float(12);

TEST_F(image_files, pfm_byte_order_scale_and_row_order) {
  auto loaded = image4f{};
  write_file(dir / "be.pfm", "PF\n1 1\n2.0\n" + std::string{"\x3f\x80\x00\x00", 4} +
                                 be_float(-0.5f) + be_float(3));
  ASSERT_EQ(load_result(dir / "be.pfm", loaded), "ok");
  EXPECT_EQ(loaded.pixels[0], (vec4f{2, -1, 6, 1}));

  // Negative scale: little-endian, values times its size.
  write_file(dir / "le.pfm", "PF\n1 1\n-0.5\n" + le_float(1) + le_float(2) + le_float(-4));
  ASSERT_EQ(load_result(dir / "le.pfm", loaded), "ok");
  EXPECT_EQ(loaded.pixels[0], (vec4f{0.5f, 1, -2, 1}));

  // The file holds the bottom row first.
  write_file(dir / "rows.pfm", pfm_2x2);
  ASSERT_EQ(load_result(dir / "rows.pfm", loaded), "ok");
  EXPECT_EQ(loaded.pixels[0], (vec4f{7, 8, 9, 1}));
  EXPECT_EQ(loaded.pixels[3], (vec4f{4, 5, 6, 1}));

  // One channel, a tab and CR in the header.
  write_file(dir / "grey.pfm", "Pf\r\n2\t1\r\n-1.0\r\n" + le_float(0.25f) + le_float(8));
  ASSERT_EQ(load_result(dir / "grey.pfm", loaded), "ok");
  ASSERT_EQ(loaded.width, 2);
  EXPECT_EQ(loaded.pixels[0], (vec4f{0.25f, 0, 0, 1}));
  EXPECT_EQ(loaded.pixels[1], (vec4f{8, 0, 0, 1}));
}

TEST_F(image_files, pfm_writer_layout) {
  auto image = image4f{2, 2, {{1, 2, 3, 0.5f}, {4, 5, 6, 0.5f}, {7, 8, 9, 0.5f}, {10, 11, 12, 0.5f}}};
  ASSERT_EQ(save_result(dir / "w.pfm", image), "ok");
  auto expected = "PF\n2 2\n-1\n" + le_float(7) + le_float(8) + le_float(9) + le_float(10) +
                  le_float(11) + le_float(12) + le_float(1) + le_float(2) + le_float(3) +
                  le_float(4) + le_float(5) + le_float(6);
  EXPECT_EQ(read_file(dir / "w.pfm"), expected);
}

TEST_F(image_files, pfm_bad_headers_fail_before_allocating) {
  struct bad {
    std::string header;
    size_t      data_bytes;  // a 2 x 2 RGB image needs 48
    const char* suffix;
  };
  for (auto& b : {bad{"", 0, ": read error"}, bad{"P6\n2 2\n-1\n", 48, ": parse error"},
                  bad{"\n2 2\n-1\n", 48, ": parse error"}, bad{"PF\n", 0, ": read error"},
                  bad{"PF\n2 2\n", 0, ": read error"}, bad{"PF\n2\n-1\n", 48, ": parse error"},
                  bad{"PF\nabc 2\n-1\n", 48, ": parse error"},
                  bad{"PF\n2x 2\n-1\n", 48, ": parse error"},
                  bad{"PF\n-3 2\n-1\n", 48, ": parse error"},
                  bad{"PF\n0 5\n-1\n", 48, ": read error"},
                  bad{"PF\n99999999999999999999 1\n-1\n", 48, ": parse error"},
                  bad{"PF\n2147483647 2147483647\n-1\n", 48, ": read error"},
                  bad{"PF\n100000 100000\n-1\n", 48, ": read error"},
                  bad{"PF\n2 2\nscale\n", 48, ": parse error"},
                  bad{"PF\n2 2\n0\n", 48, ": parse error"},
                  bad{"PF\n2 2\nnan\n", 48, ": parse error"},
                  bad{"PF\n2 2\ninf\n", 48, ": parse error"},
                  bad{"PF\n2 2\n-1\n", 47, ": read error"}}) {
    auto loaded = image4f{};
    auto path = dir / "bad.pfm";
    rewrite_file(path, b.header + std::string(b.data_bytes, '\0'));
    EXPECT_EQ(load_result(path, loaded), path + b.suffix) << b.header;
    EXPECT_TRUE(loaded.pixels.empty());
  }
  // A NUL inside a header word is not the end of the word.
  write_file(dir / "nul.pfm", std::string{"PF\n2 2\n\0-1\n", 11} + std::string(48, '\0'));
  auto loaded = image4f{};
  EXPECT_EQ(load_result(dir / "nul.pfm", loaded), dir / "nul.pfm" + ": parse error");
}

TEST_F(image_files, pfm_prefixes_and_byte_flips_never_crash) {
  auto path = dir / "fuzz.pfm";
  auto loaded = image4f{};
  for (size_t length = 0; length < pfm_2x2.size(); length++) {
    rewrite_file(path, pfm_2x2.substr(0, length));
    auto result = load_result(path, loaded);
    EXPECT_TRUE(result == path + ": read error" || result == path + ": parse error")
        << length << " " << result;
  }
  rewrite_file(path, pfm_2x2);
  ASSERT_EQ(load_result(path, loaded), "ok");

  auto random = std::mt19937{20240611};
  auto valid = 0;
  for (int trial = 0; trial < 3000; trial++) {
    auto bytes = pfm_2x2;
    auto flips = 1 + random() % 3;
    for (unsigned f = 0; f < flips; f++) {
      // Mostly the header, where the parser lives.
      auto at = random() % 2 ? random() % 12 : random() % bytes.size();
      bytes[at] = (char)(random() % 256);
    }
    rewrite_file(path, bytes);
    auto image = image4f{};
    auto result = load_result(path, image);
    if (result == "ok") {
      valid++;
      EXPECT_GT(image.width, 0);
      EXPECT_EQ(image.pixels.size(), (size_t)image.width * image.height);
    } else {
      EXPECT_TRUE(result == path + ": read error" || result == path + ": parse error")
          << trial << " " << result;
    }
  }
  EXPECT_GT(valid, 0);  // flips in the data leave valid files
}

// ---------------------------------------------------------- independent reader

TEST_F(image_files, independent_reader_agrees) {
  if (std::system("command -v oiiotool >/dev/null 2>&1") != 0) GTEST_SKIP() << "no oiiotool";
  auto image = make_floats(5, 3);
  auto expected_channels = std::map<std::string, int>{
      {"a.hdr", 3}, {"a.exr", 4}, {"a.png", 4}, {"a.pfm", 3}};
  auto args = std::vector<std::string>{"--info", "-v"};
  for (auto& [name, channels] : expected_channels) {
    ASSERT_EQ(save_result(dir / name, image), "ok");
    args.push_back(dir / name);
  }
  auto run = run_program("oiiotool", args);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  auto found = std::map<std::string, std::string>{};
  auto line = std::regex{R"(([^/\s]+) *: +(\d+ x +\d+), (\d+) channel)"};
  for (auto it = std::sregex_iterator(run.out.begin(), run.out.end(), line);
       it != std::sregex_iterator(); ++it) {
    found[(*it)[1]] = (*it)[2].str() + " " + (*it)[3].str();
  }
  for (auto& [name, channels] : expected_channels) {
    EXPECT_EQ(found[name], "5 x    3 " + std::to_string(channels)) << run.out;
  }
  // Pixels are where the reader looks for them, in the right byte order.
  auto dump = run_program("oiiotool", {"--dumpdata", dir / "a.pfm", dir / "a.exr"});
  EXPECT_NE(dump.out.find("Pixel (0, 0): 0.000000000 1.500000000 3.000000000\n"),
            std::string::npos)
      << dump.out;
  EXPECT_NE(dump.out.find("Pixel (4, 2): 3.500000000 -0.250000000 17.000000000 1.375000000"),
            std::string::npos)
      << dump.out;
}

// ------------------------------------------------------------ hostile files

// PNG files written here, chunk by chunk, so that palettes, transparency,
// 16-bit samples, interlacing and damaged headers can be made exactly.
static uint32_t crc32_of(const std::string& bytes) {
  auto crc = 0xFFFFFFFFu;
  for (auto c : bytes) {
    crc ^= (uint8_t)c;
    for (int k = 0; k < 8; k++) crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return ~crc;
}
static std::string be32(uint32_t v) {
  return {(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v};
}
static std::string png_chunk(const std::string& type, const std::string& data) {
  return be32((uint32_t)data.size()) + type + data + be32(crc32_of(type + data));
}
// Rows of raw samples (filter bytes are added) in stored zlib blocks.
static std::string zlib_stored(const std::string& raw) {
  auto out = std::string{"\x78\x01", 2};
  for (size_t at = 0;; at += 65535) {
    auto block = raw.substr(std::min(at, raw.size()), 65535);
    auto last = at + 65535 >= raw.size();
    auto n = (uint16_t)block.size();
    out += {(char)last, (char)n, (char)(n >> 8), (char)~n, (char)(~n >> 8)};
    out += block;
    if (last) break;
  }
  auto a = 1u, b = 0u;
  for (auto c : raw) a = (a + (uint8_t)c) % 65521, b = (b + a) % 65521;
  return out + be32(b << 16 | a);
}
struct png_spec {
  uint32_t    width, height;
  int         depth, color_type;
  int         bytes_per_pixel;        // of the samples given, for interlacing
  std::string samples;                // rows from the top, no filter bytes
  std::string extra      = "";        // chunks before IDAT
  bool        interlaced = false;
};
static std::string make_png(const png_spec& s) {
  auto header = be32(s.width) + be32(s.height) +
                std::string{(char)s.depth, (char)s.color_type, 0, 0, (char)s.interlaced};
  auto raw = std::string{};
  auto row_bytes = s.samples.size() / std::max<uint32_t>(s.height, 1);
  if (!s.interlaced) {
    for (uint32_t y = 0; y < s.height; y++) raw += '\0' + s.samples.substr(y * row_bytes, row_bytes);
  } else {
    // Adam7: seven passes over sub-grids of the image.
    const int x0[] = {0, 4, 0, 2, 0, 1, 0}, y0[] = {0, 0, 4, 0, 2, 0, 1};
    const int dx[] = {8, 8, 4, 4, 2, 2, 1}, dy[] = {8, 8, 8, 4, 4, 2, 2};
    for (int p = 0; p < 7; p++) {
      if ((uint32_t)x0[p] >= s.width) continue;
      for (auto y = (uint32_t)y0[p]; y < s.height; y += dy[p]) {
        raw += '\0';
        for (auto x = (uint32_t)x0[p]; x < s.width; x += dx[p])
          raw += s.samples.substr(y * row_bytes + x * s.bytes_per_pixel, s.bytes_per_pixel);
      }
    }
  }
  return std::string{"\x89PNG\r\n\x1a\n", 8} + png_chunk("IHDR", header) + s.extra +
         png_chunk("IDAT", zlib_stored(raw)) + png_chunk("IEND", "");
}

TEST_F(image_files, png_variants_load_in_their_own_channels) {
  // 2 x 2 palette image; entry 1 is half transparent.
  auto palette = png_chunk("PLTE", std::string{"\x0a\x14\x1e\xc8\x64\x32", 6});
  auto trns = png_chunk("tRNS", std::string{"\xff\x80", 2});
  auto indices = std::string{"\x00\x01\x01\x00", 4};
  auto rgb16 = std::string{"\x12\x34\x56\x78\x9a\xbc", 6};
  struct variant {
    std::string name;
    std::string bytes;
    int         width;
    vec4b       last;  // the last pixel
  };
  auto grey_trns = png_chunk("tRNS", std::string{"\x00\x07", 2});
  for (auto& v : {
           variant{"palette", make_png({2, 2, 8, 3, 1, indices, palette}), 2, {10, 20, 30, 255}},
           variant{"palette_alpha", make_png({2, 2, 8, 3, 1, indices, palette + trns}), 2,
                   {10, 20, 30, 255}},
           variant{"palette_alpha1", make_png({2, 1, 8, 3, 1, indices.substr(0, 2), palette + trns}),
                   2, {200, 100, 50, 128}},
           // A transparent grey value adds an alpha channel: (v, a) by position.
           variant{"grey_trns", make_png({2, 1, 8, 0, 1, "\x09\x07", grey_trns}), 2, {7, 0, 0, 255}},
           // 16-bit samples keep their high byte.
           variant{"rgb16", make_png({1, 1, 16, 2, 6, rgb16}), 1, {0x12, 0x56, 0x9a, 255}},
           variant{"grey1", make_png({9, 1, 1, 0, 1, "\x40\x80"}), 9, {255, 0, 0, 255}},
       }) {
    auto loaded = image4b{};
    auto path = dir / (v.name + ".png");
    write_file(path, v.bytes);
    ASSERT_EQ(load_result(path, loaded), "ok") << v.name;
    ASSERT_EQ(loaded.width, v.width) << v.name;
    EXPECT_EQ(loaded.pixels.back(), v.last) << v.name;
  }
  // Interlaced and plain files of the same pixels load alike.
  auto samples = std::string{};
  for (int i = 0; i < 11 * 9 * 3; i++) samples += (char)(i * 7);
  write_file(dir / "plain.png", make_png({11, 9, 8, 2, 3, samples}));
  write_file(dir / "adam7.png", make_png({11, 9, 8, 2, 3, samples, "", true}));
  auto plain = image4b{}, adam7 = image4b{};
  ASSERT_EQ(load_result(dir / "plain.png", plain), "ok");
  ASSERT_EQ(load_result(dir / "adam7.png", adam7), "ok");
  EXPECT_EQ(plain.pixels[11 * 9 - 1], (vec4b{(uint8_t)(294 * 7), (uint8_t)(295 * 7), (uint8_t)(296 * 7), 255}));
  EXPECT_TRUE(plain.pixels == adam7.pixels);
}

TEST_F(image_files, jpeg_variants) {
  // Grey files load as red-only pixels, CMYK files as colour scaled by black.
  auto grey = image4b{}, cmyk = image4b{}, progressive = image4b{};
  ASSERT_EQ(load_result(image_data + "grey.jpg", grey), "ok");
  ASSERT_EQ(grey.width, 16);
  EXPECT_NEAR(grey.pixels[3].x, 48, 2);
  EXPECT_EQ(grey.pixels[3].y, 0);
  ASSERT_EQ(load_result(image_data + "cmyk.jpg", cmyk), "ok");
  EXPECT_NEAR(cmyk.pixels[10].x, 100, 2);  // 200 * 128 / 255
  EXPECT_NEAR(cmyk.pixels[10].y, 50, 2);
  EXPECT_NEAR(cmyk.pixels[10].z, 25, 2);
  ASSERT_EQ(load_result(image_data + "progressive.jpg", progressive), "ok");
  EXPECT_NEAR(progressive.pixels[16 * 5 + 7].x, 112, 3);
  EXPECT_NEAR(progressive.pixels[16 * 5 + 7].y, 80, 3);
  EXPECT_NEAR(progressive.pixels[16 * 5 + 7].z, 90, 3);
}

// The image as each format's saver writes it.
static std::map<std::string, std::string> saved_formats(const scratch_dir& dir) {
  auto files = std::map<std::string, std::string>{};
  for (auto ext : {".png", ".jpg", ".tga", ".bmp", ".hdr", ".exr", ".pfm"}) {
    auto path = dir / (std::string{"saved"} + ext);
    auto error = std::string{};
    EXPECT_TRUE(save_image(path, make_bytes(9, 4), error)) << error;
    files[ext] = read_file(path);
  }
  return files;
}

// The 8-bit formats are found by content under any 8-bit name (a PNG saved
// as .jpg loads); the float formats only under their own names, and never
// under an 8-bit one.
TEST_F(image_files, formats_are_found_by_content_within_the_8bit_class) {
  auto files = saved_formats(dir);
  auto is_8bit = [](const std::string& ext) { return ext == ".png" || ext == ".jpg" ||
                                                     ext == ".tga" || ext == ".bmp"; };
  auto upper = [](std::string ext) {
    for (auto& c : ext) c = (char)std::toupper((unsigned char)c);
    return ext;
  };
  for (auto& [written, bytes] : files) {
    auto own = image4f{};
    ASSERT_EQ(load_result(dir / ("saved" + written), own), "ok") << written;
    for (auto& [ext, unused] : files) {
      for (auto& named : {ext, upper(ext)}) {
        auto path = dir / ("as_" + written.substr(1) + named);
        rewrite_file(path, bytes);
        auto loaded = image4f{};
        auto loads = written == ext || (is_8bit(written) && is_8bit(ext));
        // The PFM reader has its own words for a header it cannot read.
        auto expected = loads           ? "ok"
                        : ext == ".pfm" ? path + ": parse error"
                                        : path + ": file not found";
        ASSERT_EQ(load_result(path, loaded), expected) << written << " named " << named;
        if (loads) {
          EXPECT_EQ(loaded.width, own.width) << written << " named " << named;
          EXPECT_TRUE(loaded.pixels == own.pixels) << written << " named " << named;
        }
      }
    }
  }
}

TEST_F(image_files, memory_and_file_loaders_agree) {
  for (auto& [ext, bytes] : saved_formats(dir)) {
    auto from_file = image4b{}, from_memory = image4b{};
    auto error = std::string{};
    ASSERT_EQ(load_result(dir / ("saved" + ext), from_file), "ok");
    ASSERT_TRUE(parse_image("in/memory" + ext, bytes, from_memory, error)) << error;
    EXPECT_EQ(from_memory.width, 9);
    EXPECT_TRUE(from_memory.pixels == from_file.pixels) << ext;
    // The limit comes from the header, whatever the format.
    EXPECT_FALSE(parse_image("small" + ext, bytes, from_memory, error, 35));
    EXPECT_EQ(error, "small" + ext + ": image too large (9 x 4 pixels)");
    EXPECT_TRUE(parse_image("small" + ext, bytes, from_memory, error, 36)) << error;
  }
}

// Overwrites bytes `offset` bytes after the first place `marker` occurs.
static std::string patch_after(std::string bytes, const std::string& marker, size_t offset,
                               const std::string& value) {
  auto at = bytes.find(marker);
  EXPECT_NE(at, std::string::npos) << marker;
  if (at != std::string::npos) bytes.replace(at + offset, value.size(), value);
  return bytes;
}
static std::string le32(uint32_t v) {
  return {(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)};
}

// Files of a few hundred bytes that declare 30000 x 30000 pixels: refused
// from the header, before 900 million pixels could be allocated. A decoder
// that allocated first would need gigabytes; the test runs in megabytes.
TEST_F(image_files, huge_declared_sizes_are_refused_from_the_header) {
  auto files = saved_formats(dir);
  auto w = std::string{"\x75\x30", 2};  // 30000, big-endian
  auto grey_jpeg = read_file(image_data + "grey.jpg");
  auto huge = std::map<std::string, std::string>{
      {"grey.jpg", patch_after(grey_jpeg, "\xff\xc0", 5, w + w)},
      {"rgb.jpg", patch_after(files[".jpg"], "\xff\xc0", 5, w + w)},
      {"a.png", make_png({30000, 30000, 8, 0, 1, std::string(30000, '\0')})},
      {"a.tga", patch_after(files[".tga"], "", 12, "\x30\x75\x30\x75")},
      {"a.bmp", patch_after(files[".bmp"], "BM", 18, le32(30000) + le32(30000))},
      {"a.hdr", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 30000 +X 30000\n"},
      {"a.exr", patch_after(files[".exr"], "dataWindow", 29, le32(29999) + le32(29999))},
  };
  for (auto& [name, bytes] : huge) {
    auto loaded = image4f{};
    rewrite_file(dir / name, bytes);
    EXPECT_EQ(load_result(dir / name, loaded), dir / name + ": image too large (30000 x 30000 pixels)")
        << bytes.size();
    EXPECT_TRUE(loaded.pixels.empty());
  }
  // Just inside the limit is decoded (and fails here for want of data).
  rewrite_file(dir / "edge.png", make_png({8192, 8192, 8, 0, 1, ""}));
  auto loaded = image4b{};
  EXPECT_EQ(load_result(dir / "edge.png", loaded), dir / "edge.png: file not found");
  rewrite_file(dir / "over.png", make_png({8192, 8193, 8, 0, 1, ""}));
  EXPECT_EQ(load_result(dir / "over.png", loaded), dir / "over.png: image too large (8192 x 8193 pixels)");
}

// The peak memory, in MB, of a child process that runs `work`.
static long child_peak_mb(const std::function<void()>& work) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  auto pid = fork();
  if (pid == 0) {
    work();
    auto usage = rusage{};
    getrusage(RUSAGE_SELF, &usage);
    long mb = usage.ru_maxrss / 1024;
    _exit(write(fds[1], &mb, sizeof(mb)) == sizeof(mb) ? 0 : 1);
  }
  close(fds[1]);
  long mb = -1;
  if (read(fds[0], &mb, sizeof(mb)) != sizeof(mb)) mb = -1;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return mb;
}

// Small files whose headers ask for gigabytes are refused within a few
// hundred megabytes (the test process included).
TEST_F(image_files, hostile_headers_cost_no_memory) {
  auto huge_jpeg = patch_after(read_file(image_data + "grey.jpg"), "\xff\xc0", 5,
                               std::string{"\x75\x30\x75\x30", 4});
  // A text chunk that claims 1.5 GB in a 95-byte file.
  auto long_chunk = make_png({17, 3, 8, 6, 4, std::string(17 * 3 * 4, '\x20')}).substr(0, 33) +
                    be32(0x5d000000) + "zTXt" + std::string(50, 'x');
  for (auto& [name, bytes, reason] :
       {std::tuple{"huge.jpg", huge_jpeg, ": image too large (30000 x 30000 pixels)"},
        std::tuple{"chunk.png", long_chunk, ": file not found"}}) {
    rewrite_file(dir / name, bytes);
    auto path = dir / name, expected = path + reason;
    auto peak = child_peak_mb([&] {
      auto loaded = image4f{};
      if (load_result(path, loaded) != expected) _exit(2);
    });
    EXPECT_GT(peak, 0) << name;
    EXPECT_LT(peak, 400) << name;
  }
}

// Bytes found to hang or corrupt memory in a decoder, as files named like
// the ones a city folder holds.
TEST_F(image_files, known_hostile_files_fail_cleanly) {
  auto radiance = std::string{"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 8\n\x02\x02\x00\x08", 49};
  struct hostile {
    const char* name;
    std::string bytes;
  };
  for (auto& h : {hostile{"1.jpg", radiance},  // a Radiance file is no JPEG
                  hostile{"1.hdr", radiance},  // and ends inside its first scanline
                  hostile{"2.jpg", std::string{"\xff\xd8\xff\xc4\x01\xa2\x00\x07\xff", 9}}}) {
    auto loaded = image4b{};
    rewrite_file(dir / h.name, h.bytes);
    EXPECT_EQ(load_result(dir / h.name, loaded), dir / h.name + ": file not found");
  }
}

TEST_F(image_files, radiance_reader) {
  // Coded scanlines (width 8 and more) and flat ones round-trip.
  for (auto width : {3, 8, 40}) {
    auto image = make_floats(width, 2);
    auto loaded = image4f{};
    ASSERT_EQ(save_result(dir / "rt.hdr", image), "ok");
    ASSERT_EQ(load_result(dir / "rt.hdr", loaded), "ok");
    ASSERT_EQ(loaded.width, width);
    for (size_t i = 0; i < image.pixels.size(); i++)
      EXPECT_NEAR(loaded.pixels[i].z, image.pixels[i].z, image.pixels[i].z / 64) << i;
  }
  // Runs and literals by hand: 8 pixels, R as a run, G, B, E as literals.
  auto header = std::string{"#?RGBE\n# made by hand\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 8\n"};
  auto line = std::string{"\x02\x02\x00\x08\x88\x40", 6} + "\x08" + "ABCDEFGH" + "\x08" +
              std::string(8, '\x10') + "\x82\x81\x06" + std::string(6, '\x81');
  auto loaded = image4f{};
  write_file(dir / "hand.hdr", header + line);
  ASSERT_EQ(load_result(dir / "hand.hdr", loaded), "ok");
  EXPECT_EQ(loaded.pixels[2], (vec4f{0x40 / 128.0f, 'C' / 128.0f, 16 / 128.0f, 1}));
  // Damage anywhere is an error: counts past the line, an empty literal, a
  // wrong line width, another layout, no format line, and every prefix.
  auto bad = std::vector<std::string>{
      header + std::string{"\x02\x02\x00\x08\x89\x40", 6},
      header + std::string{"\x02\x02\x00\x08\x00", 5},
      header + std::string{"\x02\x02\x00\x09", 4} + line.substr(4),
      "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n+Y 1 +X 8\n" + line,
      "#?RGBE\n\n-Y 1 +X 8\n" + line,
      "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 0 +X 8\n" + line,
  };
  for (size_t n = 0; n < header.size() + line.size(); n++) bad.push_back((header + line).substr(0, n));
  for (auto& bytes : bad) {
    rewrite_file(dir / "bad.hdr", bytes);
    EXPECT_EQ(load_result(dir / "bad.hdr", loaded), dir / "bad.hdr: file not found") << bytes;
  }
}

TEST_F(image_files, every_prefix_of_every_format_fails_cleanly) {
  for (auto& [ext, bytes] : saved_formats(dir)) {
    for (size_t n = 0; n < bytes.size(); n += ext == ".exr" ? 1 : 3) {
      auto loaded = image4f{};
      auto error = std::string{};
      // Most prefixes fail; some decoders fill a missing end with black.
      if (parse_image("cut" + ext, bytes.substr(0, n), loaded, error)) {
        EXPECT_EQ(loaded.pixels.size(), 36u) << ext << " " << n;
      } else {
        EXPECT_TRUE(error == "cut" + ext + ": file not found" ||
                    error == "cut" + ext + ": read error" || error == "cut" + ext + ": parse error")
            << ext << " " << n << " " << error;
      }
    }
  }
}

// The city generator reads its façades with these loaders: a bad one stops
// the run with the file's name and the reason.
TEST(image_in_blockgen, bad_facade_images_stop_the_run_with_their_name) {
  auto radiance = std::string{"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 8\n\x02\x02\x00\x08", 49};
  auto huge = patch_after(read_file(image_data + "grey.jpg"), "\xff\xc0", 5,
                          std::string{"\x75\x30\x75\x30", 4});
  for (auto& [bytes, reason] : {std::pair{radiance, std::string{": file not found"}},
                                std::pair{huge, std::string{": image too large (30000 x 30000 pixels)"}}}) {
    auto input = scratch_dir("facades");
    copy_assets(input.str());
    std::filesystem::copy(std::filesystem::path(SAMPLES_DIR) / "town", input.path,
                          std::filesystem::copy_options::recursive);
    auto facade = input / "buildings_texture/1.jpg";
    rewrite_file(facade, bytes);
    auto run = run_program(BLOCKGEN_PATH, {"-o", input / "out/city.json", input.str()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(facade + reason), std::string::npos) << run.out << run.err;
  }
}

// Façade images saved as PNG under the .jpg names blockgen looks for (as
// browsers and editors often leave them) build the same city: the PNGs hold
// the pixels the JPEGs decode to, so every texture file comes out the same.
TEST(image_in_blockgen, png_facades_under_jpg_names_build_the_same_city) {
  namespace fs = std::filesystem;
  auto make_input = [](scratch_dir& input) {
    copy_assets(input.str());
    fs::copy(fs::path(SAMPLES_DIR) / "town", input.path, fs::copy_options::recursive);
  };
  auto jpeg = scratch_dir("jpeg-facades"), png = scratch_dir("png-facades");
  make_input(jpeg);
  make_input(png);
  auto renamed = 0;
  for (auto& entry : fs::directory_iterator(png.path / "buildings_texture")) {
    auto path = entry.path().string();
    auto pixels = image4b{};
    auto error = std::string{};
    ASSERT_TRUE(load_image(path, pixels, error)) << error;
    ASSERT_TRUE(save_image(path + ".png", pixels, error)) << error;
    fs::rename(path + ".png", path);
    ASSERT_EQ(read_file(path).substr(1, 3), "PNG") << path;
    renamed++;
  }
  ASSERT_GT(renamed, 10);
  auto textures = std::map<std::string, std::string>{};
  auto png_textures = size_t{0};
  for (auto* input : {&jpeg, &png}) {
    auto run = run_program(BLOCKGEN_PATH, {"-o", *input / "out/city.json", input->str()});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (auto& entry : fs::directory_iterator(input->path / "out/textures")) {
      auto name = entry.path().filename().string();
      auto bytes = read_file(entry.path().string());
      if (input == &jpeg) textures[name] = bytes;
      else EXPECT_TRUE(textures.count(name) && textures[name] == bytes) << name;
      png_textures += input == &png;
    }
  }
  EXPECT_GT(textures.size(), 10u);
  EXPECT_EQ(png_textures, textures.size());
}

// EXR files written by another program in every compression and layout the
// reader takes, checked against that program's own reading of them.
TEST_F(image_files, exr_from_an_independent_writer) {
  if (std::system("command -v oiiotool >/dev/null 2>&1") != 0) GTEST_SKIP() << "no oiiotool";
  auto pattern = std::string{"fill:topleft=0,0.25,1,1:topright=2,0,0,0.5:"
                             "bottomleft=0,1,0,1:bottomright=0.5,0.5,4,0"};
  struct variant {
    std::string name;
    std::vector<std::string> options;
    bool        loads;
  };
  auto reference = image4f{};
  for (auto& v : {variant{"none", {"-d", "float", "--compression", "none"}, true},
                  variant{"rle", {"-d", "half", "--compression", "rle"}, true},
                  variant{"zips", {"-d", "half", "--compression", "zips"}, true},
                  variant{"zip", {"-d", "half", "--compression", "zip"}, true},
                  variant{"tiled", {"-d", "half", "--compression", "zip", "--tile", "16", "8"}, true},
                  variant{"tiled_raw", {"-d", "float", "--compression", "none", "--tile", "8", "16"}, true},
                  variant{"piz", {"-d", "half", "--compression", "piz"}, false}}) {
    auto path = dir / (v.name + ".exr");
    auto args = std::vector<std::string>{"--pattern", pattern, "37x19", "4"};
    args.insert(args.end(), v.options.begin(), v.options.end());
    args.insert(args.end(), {"-o", path});
    ASSERT_EQ(run_program("oiiotool", args).status, 0) << v.name;
    auto loaded = image4f{};
    if (!v.loads) {
      EXPECT_EQ(load_result(path, loaded), path + ": file not found");
      continue;
    }
    ASSERT_EQ(load_result(path, loaded), "ok") << v.name;
    ASSERT_EQ(loaded.width, 37);
    ASSERT_EQ(loaded.height, 19);
    if (reference.pixels.empty()) {
      reference = loaded;
      auto dump = run_program("oiiotool", {"--dumpdata", path}).out;
      EXPECT_NE(dump.find("Pixel (1, 0): 0.055555556 0.243055552 0.972222209 0.986111104"),
                std::string::npos) << dump.substr(0, 300);
      EXPECT_EQ(loaded.pixels[1], (vec4f{0.055555556f, 0.243055552f, 0.972222209f, 0.986111104f}));
      continue;
    }
    for (size_t i = 0; i < loaded.pixels.size(); i++) {
      auto &a = loaded.pixels[i], &e = reference.pixels[i];
      EXPECT_NEAR(a.x, e.x, 0.002f * std::max(1.0f, e.x)) << v.name << " " << i;
      EXPECT_NEAR(a.z, e.z, 0.002f * std::max(1.0f, e.z)) << v.name << " " << i;
      EXPECT_NEAR(a.w, e.w, 0.002f) << v.name << " " << i;
    }
  }
}

TEST_F(image_files, compressed_exr_round_trip) {
  // The saver compresses images of 16 pixels a side and more.
  auto image = make_floats(40, 20);
  auto loaded = image4f{};
  ASSERT_EQ(save_result(dir / "zip.exr", image), "ok");
  ASSERT_EQ(load_result(dir / "zip.exr", loaded), "ok");
  ASSERT_EQ(loaded.pixels.size(), image.pixels.size());
  for (size_t i = 0; i < image.pixels.size(); i += 7) {
    EXPECT_NEAR(loaded.pixels[i].z, image.pixels[i].z, image.pixels[i].z / 1024) << i;
    EXPECT_NEAR(loaded.pixels[i].w, image.pixels[i].w, image.pixels[i].w / 1024) << i;
  }
}

// Each scan of a progressive JPEG walks the whole image, so the number of
// scans bounds the time a file may take: a file of more scans than any
// encoder writes (100) is refused.
TEST_F(image_files, jpeg_scan_count_is_bounded) {
  auto bytes = read_file(image_data + "progressive.jpg");
  // The file's seventh scan, a one-byte refinement of all three DC bands,
  // repeated before the end marker.
  auto scan = size_t{0};
  for (int n = 0; n < 7; n++) scan = bytes.find("\xff\xda", scan + 1);
  auto scan_end = bytes.find("\xff\xc4", scan);
  ASSERT_NE(scan_end, std::string::npos);
  auto refinement = bytes.substr(scan, scan_end - scan);
  for (auto [repeats, expected] : {std::pair{5, "ok"}, std::pair{89, "ok"}, std::pair{91, ""},
                                   std::pair{5000, ""}}) {
    auto file = bytes.substr(0, bytes.size() - 2);
    for (int i = 0; i < repeats; i++) file += refinement;
    rewrite_file(dir / "scans.jpg", file + "\xff\xd9");
    auto loaded = image4b{};
    auto result = load_result(dir / "scans.jpg", loaded);
    EXPECT_EQ(result, *expected ? expected : dir / "scans.jpg: file not found") << repeats;
  }
}
