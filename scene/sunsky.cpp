#include "scene/sunsky.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

const double pi = 3.14159265358979323846;

// Perez coefficients A ... E of one channel.
struct perez_coefficients {
  double a = 0, b = 0, c = 0, d = 0, e = 0;
};

// The Perez distribution relative to the zenith, split into its view-angle
// factor (one per row) and its sun-angle factor (one per pixel).
struct perez_channel {
  perez_coefficients coefficients = {};
  double             zenith       = 0;
  double             scale        = 0;  // zenith / the Perez value at the zenith
};

perez_channel make_channel(const perez_coefficients& k, double zenith, double sun_angle) {
  auto channel = perez_channel{k, zenith, 0};
  auto cos_sun = std::cos(sun_angle);
  channel.scale = zenith / ((1 + k.a * std::exp(k.b)) *
                            (1 + k.c * std::exp(k.d * sun_angle) + k.e * cos_sun * cos_sun));
  return channel;
}

double view_factor(const perez_channel& channel, double cos_theta) {
  auto& k = channel.coefficients;
  return 1 + k.a * std::exp(k.b / cos_theta);
}

double sun_factor(const perez_channel& channel, double gamma, double cos_gamma) {
  auto& k = channel.coefficients;
  return 1 + k.c * std::exp(k.d * gamma) + k.e * cos_gamma * cos_gamma;
}

// The sun's luminance above the atmosphere in cd/m2, in the sky's units.
const double sun_luminance = 1.96e9 / 10000;
// The sun's angular radius seen from the earth, in radians (about 0.27 degrees).
const double sun_angular_radius = 0.2667 * pi / 180;

// Transmittance of direct sunlight through the atmosphere for one wavelength
// in micrometres: Rayleigh scattering plus haze from the turbidity, over the
// relative air mass of the sun's path.
double sun_transmittance(double wavelength, double sun_angle, double turbidity) {
  auto elevation = 90 - std::abs(sun_angle) * 180 / pi;
  auto air_mass = 1 / (std::cos(sun_angle) + 0.50572 * std::pow(elevation + 6.07995, -1.6364));
  auto rayleigh = 0.008735 * std::pow(wavelength, -4.08);
  auto haze_beta = std::max(0.04608 * turbidity - 0.04586, 0.0);
  auto haze = haze_beta * std::pow(wavelength, -1.3);
  return std::exp(-air_mass * (rayleigh + haze));
}

// The sky's three Perez channels (chromaticity x, y and luminance) for a
// sun angle from the zenith and a turbidity.
struct preetham_sky {
  perez_channel x = {}, y = {}, lum = {};
};

preetham_sky make_preetham_sky(double ts, double t) {
  const double t2 = t * t, ts2 = ts * ts, ts3 = ts2 * ts;

  auto k_x = perez_coefficients{-0.01925 * t - 0.25922, -0.06651 * t + 0.00081,
                                -0.00041 * t + 0.21247, -0.06409 * t - 0.89887,
                                -0.00325 * t + 0.04517};
  auto k_y = perez_coefficients{-0.01669 * t - 0.26078, -0.09495 * t + 0.00921,
                                -0.00792 * t + 0.21023, -0.04405 * t - 1.65369,
                                -0.01092 * t + 0.05291};
  auto k_lum = perez_coefficients{0.17872 * t - 1.46303, -0.35540 * t + 0.42749,
                                  -0.02266 * t + 5.32505, 0.12064 * t - 2.57705,
                                  -0.06696 * t + 0.37027};

  auto zenith_x = t2 * (0.00165 * ts3 - 0.00374 * ts2 + 0.00208 * ts) +
                  t * (-0.02902 * ts3 + 0.06377 * ts2 - 0.03202 * ts + 0.00394) +
                  (0.11693 * ts3 - 0.21196 * ts2 + 0.06052 * ts + 0.25885);
  auto zenith_y = t2 * (0.00275 * ts3 - 0.00610 * ts2 + 0.00316 * ts) +
                  t * (-0.04214 * ts3 + 0.08970 * ts2 - 0.04153 * ts + 0.00515) +
                  (0.15346 * ts3 - 0.26756 * ts2 + 0.06669 * ts + 0.26688);
  auto zenith_lum = 1000 * (4.0453 * t - 4.9710) * std::tan((4.0 / 9 - t / 120) * (pi - 2 * ts)) -
                    0.2155 * t + 2.4192;

  return {make_channel(k_x, zenith_x, ts), make_channel(k_y, zenith_y, ts),
          make_channel(k_lum, zenith_lum, ts)};
}

// Draws the sky into the upper half of the image (rows theta < pi / 2), in
// linear sRGB, and lists the pixels whose centre lies within
// `sun_radius_angle` of the sun (none when that angle is 0).
void draw_sky(image4f& image, const preetham_sky& sky, double ts, double sun_radius_angle,
              std::vector<size_t>& sun_pixels) {
  auto width = image.width, height = image.height;
  auto cos_sun = std::cos(ts), sin_sun = std::sin(ts);
  auto sky_rows = height / 2;

  // sin(phi) depends on the column only.
  auto sin_phi = std::vector<double>((size_t)width);
  for (auto j = 0; j < width; j++) sin_phi[j] = std::sin((j + 0.5) / width * 2 * pi);

  for (auto i = 0; i < sky_rows; i++) {
    auto theta = std::clamp((i + 0.5) / height * pi, 0.0, pi / 2);
    auto cos_theta = std::cos(theta), sin_theta = std::sin(theta);
    auto view_x = view_factor(sky.x, cos_theta) * sky.x.scale;
    auto view_y = view_factor(sky.y, cos_theta) * sky.y.scale;
    auto view_lum = view_factor(sky.lum, cos_theta) * sky.lum.scale;
    auto row = image.pixels.data() + (size_t)i * width;
    for (auto j = 0; j < width; j++) {
      auto cos_gamma = std::clamp(cos_sun * cos_theta + sin_sun * sin_phi[j] * sin_theta, -1.0, 1.0);
      auto gamma = std::acos(cos_gamma);
      auto x = view_x * sun_factor(sky.x, gamma, cos_gamma);
      auto y = view_y * sun_factor(sky.y, gamma, cos_gamma);
      auto lum = view_lum * sun_factor(sky.lum, gamma, cos_gamma);
      auto cx = 0.0, cy = 0.0, cz = 0.0;
      if (y != 0) {
        cx = x * lum / y;
        cy = lum;
        cz = (1 - x - y) * lum / y;
      }
      row[j] = vec4f{(float)((3.2406 * cx - 1.5372 * cy - 0.4986 * cz) / 10000),
                     (float)((-0.9689 * cx + 1.8758 * cy + 0.0415 * cz) / 10000),
                     (float)((0.0557 * cx - 0.2040 * cy + 1.0570 * cz) / 10000), 0};
      if (gamma < sun_radius_angle) sun_pixels.push_back((size_t)i * width + j);
    }
  }
}

// Adds the sun's disc to the sky pixels it covers.
void add_sun_disc(image4f& image, std::vector<size_t>& sun_pixels, double ts, double t,
                  double sun_intensity, double sun_radius_angle) {
  auto width = image.width, height = image.height;
  // A disc smaller than a pixel covers no pixel centre: it lands on the
  // pixel that holds the sun's direction.
  if (sun_pixels.empty()) {
    // The sun stands at phi = pi/2, or at 3 pi/2 for a negative angle.
    auto i = std::min((int)(std::abs(ts) / pi * height), height - 1);
    auto j = std::min(ts >= 0 ? width / 4 : width * 3 / 4, width - 1);
    if (i < height / 2) sun_pixels.push_back((size_t)i * width + j);
  }
  // The sun's power, radiance times the disc's solid angle, is shared by
  // the pixels it lands on, so the image carries the same sunlight at any
  // resolution.
  auto pixel_angle = 0.0;
  for (auto index : sun_pixels) {
    auto theta = ((double)(index / width) + 0.5) / height * pi;
    pixel_angle += (pi / height) * (2 * pi / width) * std::sin(theta);
  }
  if (pixel_angle <= 0) return;
  auto disc_angle = 2 * pi * (1 - std::cos(std::min(sun_radius_angle, pi)));
  auto radiance = sun_luminance * sun_intensity * disc_angle / pixel_angle;
  // Red, green and blue wavelengths; white sunlight has luminance 1.
  auto red = radiance * sun_transmittance(0.65, ts, t);
  auto green = radiance * sun_transmittance(0.57, ts, t);
  auto blue = radiance * sun_transmittance(0.475, ts, t);
  for (auto index : sun_pixels) {
    auto& pixel = image.pixels[index];
    pixel.x += (float)red;
    pixel.y += (float)green;
    pixel.z += (float)blue;
  }
}

// The colour of a ground that reflects the light of the whole sky (and the
// sun) of the image's upper half evenly.
vec3f ground_color(const image4f& image, const vec3f& ground_albedo) {
  if (ground_albedo == vec3f{0, 0, 0}) return {0, 0, 0};
  auto width = image.width, height = image.height;
  auto sum_r = 0.0, sum_g = 0.0, sum_b = 0.0;
  for (auto i = 0; i < height / 2; i++) {
    auto theta = (i + 0.5) / height * pi;
    auto weight = std::cos(theta) * std::sin(theta) * 4 * pi / ((double)width * height);
    auto row = image.pixels.data() + (size_t)i * width;
    auto row_r = 0.0, row_g = 0.0, row_b = 0.0;
    for (auto j = 0; j < width; j++) {
      row_r += row[j].x;
      row_g += row[j].y;
      row_b += row[j].z;
    }
    sum_r += row_r * weight;
    sum_g += row_g * weight;
    sum_b += row_b * weight;
  }
  return {(float)(ground_albedo.x / pi * sum_r), (float)(ground_albedo.y / pi * sum_g),
          (float)(ground_albedo.z / pi * sum_b)};
}

}  // namespace

image4f make_sunsky(int width, int height, float sun_angle, float turbidity, bool has_sun,
                    float sun_intensity, float sun_radius, const vec3f& ground_albedo) {
  auto image = image4f{};
  if (width <= 0 || height <= 0) return image;
  image.width = width;
  image.height = height;
  image.pixels.assign((size_t)width * (size_t)height, vec4f{0, 0, 0, 0});

  const double ts = sun_angle, t = turbidity;
  // Sun disc candidates: pixels whose centre lies inside the disc.
  auto sun_radius_angle = sun_angular_radius * sun_radius;
  auto want_sun = has_sun && sun_radius_angle > 0 && sun_intensity > 0 && std::cos(ts) > 0;
  auto sun_pixels = std::vector<size_t>{};
  draw_sky(image, make_preetham_sky(ts, t), ts, want_sun ? sun_radius_angle : 0.0, sun_pixels);
  if (want_sun) add_sun_disc(image, sun_pixels, ts, t, sun_intensity, sun_radius_angle);

  auto ground = ground_color(image, ground_albedo);
  std::fill(image.pixels.begin() + (size_t)(height / 2) * width, image.pixels.end(),
            vec4f{ground.x, ground.y, ground.z, 1});
  return image;
}

bool environment_sun_direction(const scene_environment& environment, vec3f& direction) {
  auto texture = environment.emission_tex;
  if (!texture) return false;
  auto hdr = !texture->hdr.pixels.empty();
  auto width = hdr ? texture->hdr.width : texture->ldr.width;
  auto height = hdr ? texture->hdr.height : texture->ldr.height;
  auto count = hdr ? texture->hdr.pixels.size() : texture->ldr.pixels.size();
  if (count == 0 || width <= 0 || height <= 0 || count != (size_t)width * (size_t)height)
    return false;
  // The brightest pixel, by luminance.
  auto best = size_t{0};
  auto brightest = -1.0f;
  for (size_t i = 0; i < count; i++) {
    auto p = hdr ? texture->hdr.pixels[i] : srgb_to_linear(texture->ldr.pixels[i]);
    auto luminance = 0.2126f * p.x + 0.7152f * p.y + 0.0722f * p.z;
    if (std::isfinite(luminance) && luminance > brightest) brightest = luminance, best = i;
  }
  if (brightest < 0) return false;
  const auto pi = 3.14159265358979f;
  auto theta = ((float)(best / (size_t)width) + 0.5f) / (float)height * pi;
  auto phi = ((float)(best % (size_t)width) + 0.5f) / (float)width * 2 * pi;
  auto local =
      vec3f{std::cos(phi) * std::sin(theta), std::cos(theta), std::sin(phi) * std::sin(theta)};
  auto& f = environment.frame;
  direction = normalize(f.x * local.x + f.y * local.y + f.z * local.z);
  return is_finite(direction) && length(direction) > 0;
}
