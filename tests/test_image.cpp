#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
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

TEST_F(image_files, full_disk_is_a_write_error) {
  if (!std::filesystem::is_character_file("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // The name carries no image extension, so link one to the device.
  auto link = dir / "full.pfm";
  std::filesystem::create_symlink("/dev/full", link);
  EXPECT_EQ(save_result(link, make_floats(64, 64)), link + ": write error");
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));  // never removed
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
