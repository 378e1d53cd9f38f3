#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "scene/sunsky.h"

static const float pi = 3.14159265f;
static const vec3f grey_albedo = {0.2f, 0.2f, 0.2f};

static const vec4f& pixel_at(const image4f& image, int row, int column) {
  return image.pixels[(size_t)row * image.width + column];
}

static float luminance(const vec4f& p) { return 0.2126f * p.x + 0.7152f * p.y + 0.0722f * p.z; }

static double sky_power(const image4f& image) {
  // Radiance times pixel solid angle over the upper half.
  auto sum = 0.0;
  for (int i = 0; i < image.height / 2; i++) {
    auto theta = (i + 0.5) / image.height * pi;
    auto solid_angle = (pi / image.height) * (2 * pi / image.width) * std::sin(theta);
    for (int j = 0; j < image.width; j++) sum += luminance(pixel_at(image, i, j)) * solid_angle;
  }
  return sum;
}

static void expect_rgb_near(const vec4f& actual, float r, float g, float b) {
  EXPECT_NEAR(actual.x, r, 2e-4f * std::abs(r) + 1e-6f);
  EXPECT_NEAR(actual.y, g, 2e-4f * std::abs(g) + 1e-6f);
  EXPECT_NEAR(actual.z, b, 2e-4f * std::abs(b) + 1e-6f);
}

TEST(sunsky, halves_have_their_alpha_and_the_ground_is_uniform) {
  auto sky = make_sunsky(64, 33, pi / 4, 3, false, 1, 1, grey_albedo);
  ASSERT_EQ(sky.width, 64);
  ASSERT_EQ(sky.height, 33);
  ASSERT_EQ(sky.pixels.size(), 64u * 33u);
  // With an odd height the ground takes the middle row (33 / 2 = 16 sky rows).
  auto ground = pixel_at(sky, 16, 0);
  EXPECT_EQ(ground.w, 1);
  EXPECT_GT(ground.x, 0);
  for (int i = 0; i < sky.height; i++) {
    for (int j = 0; j < sky.width; j++) {
      auto& p = pixel_at(sky, i, j);
      ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
      if (i < 16) {
        ASSERT_EQ(p.w, 0) << i << " " << j;
        ASSERT_GT(luminance(p), 0) << i << " " << j;
      } else {
        ASSERT_EQ(p, ground) << i << " " << j;
      }
    }
  }
}

TEST(sunsky, matches_reference_values_of_the_model) {
  // Values from an independent implementation of the Perez sky with the
  // same coefficients, zenith values and colour matrix.
  auto sky = make_sunsky(64, 32, pi / 4, 3, false, 1, 1, grey_albedo);
  expect_rgb_near(pixel_at(sky, 0, 0), 0.3514953f, 0.5627852f, 1.092519f);
  expect_rgb_near(pixel_at(sky, 7, 15), 1.611974f, 1.910358f, 2.682892f);
  expect_rgb_near(pixel_at(sky, 3, 40), 0.2507656f, 0.4528447f, 0.9050336f);
  expect_rgb_near(pixel_at(sky, 15, 48), 0.6196027f, 0.5868858f, 0.6693952f);
  expect_rgb_near(pixel_at(sky, 20, 9), 0.06352503f, 0.09009432f, 0.1525561f);

  auto low_sun = make_sunsky(64, 32, 1.2f, 5, false, 1, 1, {0.5f, 0.3f, 0.1f});
  expect_rgb_near(pixel_at(low_sun, 2, 20), 0.4246612f, 0.5691754f, 0.8520179f);
  expect_rgb_near(pixel_at(low_sun, 12, 3), 0.5488607f, 0.5724641f, 0.5888186f);
  expect_rgb_near(pixel_at(low_sun, 31, 63), 0.1658782f, 0.1135865f, 0.04695296f);
}

TEST(sunsky, sky_is_brighter_towards_the_sun) {
  // The sun stands at phi = pi/2 (column W/4); the opposite side is 3W/4.
  for (auto angle : {0.3f, pi / 4, 1.3f}) {
    auto sky = make_sunsky(128, 64, angle, 3, false, 1, 1, grey_albedo);
    auto row = (int)(angle / pi * 64);
    EXPECT_GT(luminance(pixel_at(sky, row, 32)), 2 * luminance(pixel_at(sky, row, 96)))
        << angle;
  }
}

TEST(sunsky, ground_follows_the_albedo) {
  auto grey = make_sunsky(32, 16, pi / 4, 3, false, 1, 1, grey_albedo);
  auto double_grey = make_sunsky(32, 16, pi / 4, 3, false, 1, 1, {0.4f, 0.4f, 0.4f});
  auto red = make_sunsky(32, 16, pi / 4, 3, false, 1, 1, {0.2f, 0, 0});
  auto black = make_sunsky(32, 16, pi / 4, 3, false, 1, 1, {0, 0, 0});
  auto g = pixel_at(grey, 15, 0), dg = pixel_at(double_grey, 15, 0);
  EXPECT_FLOAT_EQ(dg.x, 2 * g.x);
  EXPECT_FLOAT_EQ(dg.z, 2 * g.z);
  EXPECT_EQ(pixel_at(red, 15, 0), (vec4f{g.x, 0, 0, 1}));
  for (int i = 8; i < 16; i++) {
    for (int j = 0; j < 32; j++) ASSERT_EQ(pixel_at(black, i, j), (vec4f{0, 0, 0, 1}));
  }
  // The sky itself does not depend on the ground.
  EXPECT_EQ(pixel_at(black, 3, 5), pixel_at(grey, 3, 5));
}

TEST(sunsky, sun_settings_do_nothing_without_a_sun) {
  auto plain = make_sunsky(32, 16, pi / 4, 3, false, 1, 1, grey_albedo);
  auto other = make_sunsky(32, 16, pi / 4, 3, false, 50, 8, grey_albedo);
  EXPECT_TRUE(plain.pixels == other.pixels);
}

TEST(sunsky, sun_disc_adds_the_same_power_at_every_resolution) {
  auto power_added = [](int width, int height, float intensity, float radius) {
    auto without = make_sunsky(width, height, pi / 4, 3, false, 1, 1, {0, 0, 0});
    auto with = make_sunsky(width, height, pi / 4, 3, true, intensity, radius, {0, 0, 0});
    return sky_power(with) - sky_power(without);
  };
  auto small = power_added(64, 32, 1, 1);
  auto large = power_added(1024, 512, 1, 1);
  EXPECT_GT(small, sky_power(make_sunsky(64, 32, pi / 4, 3, false, 1, 1, {0, 0, 0})));
  EXPECT_NEAR(large, small, 0.02 * small);
  EXPECT_NEAR(power_added(256, 128, 2, 1), 2 * power_added(256, 128, 1, 1), 0.01 * small);
  // Four times the disc area with the same radiance: four times the power.
  EXPECT_NEAR(power_added(256, 128, 1, 2), 4 * power_added(256, 128, 1, 1), 0.03 * small);
}

TEST(sunsky, sun_disc_sits_at_the_sun_and_lights_the_ground) {
  auto without = make_sunsky(256, 128, pi / 4, 3, false, 1, 1, grey_albedo);
  auto with = make_sunsky(256, 128, pi / 4, 3, true, 1, 1, grey_albedo);
  // The sun direction lies on the corner of rows 31/32 and columns 63/64.
  auto gain = 0.0f;
  for (int i = 31; i <= 32; i++) {
    for (int j = 63; j <= 64; j++) {
      gain = std::max(gain, luminance(pixel_at(with, i, j)) / luminance(pixel_at(without, i, j)));
    }
  }
  EXPECT_GT(gain, 100);
  EXPECT_EQ(pixel_at(with, 20, 63), pixel_at(without, 20, 63));
  EXPECT_EQ(pixel_at(with, 31, 192), pixel_at(without, 31, 192));
  EXPECT_GT(pixel_at(with, 100, 0).x, 2 * pixel_at(without, 100, 0).x);
  // Low sun: its light crosses more air and turns redder.
  auto low = make_sunsky(64, 32, 1.45f, 3, true, 1, 1, {0, 0, 0});
  auto low_plain = make_sunsky(64, 32, 1.45f, 3, false, 1, 1, {0, 0, 0});
  auto sun = pixel_at(low, 14, 16), sky = pixel_at(low_plain, 14, 16);
  EXPECT_GT(sun.x - sky.x, sun.z - sky.z);
  // A sun below the horizon leaves the sky as it is.
  auto night = make_sunsky(64, 32, 1.8f, 3, true, 1, 1, grey_albedo);
  auto night_plain = make_sunsky(64, 32, 1.8f, 3, false, 1, 1, grey_albedo);
  EXPECT_TRUE(night.pixels == night_plain.pixels);
}

TEST(sunsky, degenerate_sizes_give_empty_or_ground_only_images) {
  EXPECT_TRUE(make_sunsky(0, 16, pi / 4, 3, false, 1, 1, grey_albedo).pixels.empty());
  EXPECT_TRUE(make_sunsky(16, -2, pi / 4, 3, false, 1, 1, grey_albedo).pixels.empty());
  auto one_row = make_sunsky(4, 1, pi / 4, 3, false, 1, 1, grey_albedo);
  ASSERT_EQ(one_row.pixels.size(), 4u);
  EXPECT_EQ(one_row.pixels[0], (vec4f{0, 0, 0, 1}));
}
