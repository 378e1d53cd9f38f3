#include "scene/export_scene.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "scene/flat_layers.h"
#include "scene/surface_normals.h"
#include "support/files.h"

bool is_export_format(const std::string& filename) {
  for (auto ext : {".gltf", ".glb", ".obj", ".pbrt"})
    if (has_extension(filename, ext)) return true;
  return false;
}

void prepare_export_scene(scene_data& scene) {
  orient_city_surfaces(scene);
  lift_flat_layers(scene);
}

std::string scene_extras_json(const scene_data& scene) {
  auto extras = nlohmann::json::object();
  auto& geo = scene.georeference;
  if (geo.known) {
    auto& g = extras["georeference"];
    g["crs"] = "EPSG:4326";
    // The corners of the normalised square, scene (x, z) to degrees.
    auto corners = nlohmann::json::array();
    const double xs[4] = {-1, 1, 1, -1}, zs[4] = {-1, -1, 1, 1};
    for (int k = 0; k < 4; k++) {
      corners.push_back({{"x", xs[k] * geo.half_size}, {"z", zs[k] * geo.half_size},
                         {"longitude", xs[k] < 0 ? geo.west : geo.east},
                         {"latitude", zs[k] < 0 ? geo.south : geo.north}});
    }
    g["corners"] = corners;
    g["west"] = geo.west, g["south"] = geo.south, g["east"] = geo.east, g["north"] = geo.north;
    if (geo.metres_per_unit_x > 0) g["metresPerUnitX"] = geo.metres_per_unit_x;
    if (geo.metres_per_unit_z > 0) g["metresPerUnitZ"] = geo.metres_per_unit_z;
  }
  for (auto& environment : scene.environments) {
    auto texture = environment->emission_tex;
    if (!texture || texture->hdr.pixels.empty()) continue;
    auto& image = texture->hdr;
    if (image.width <= 0 || image.height < 2 ||
        image.pixels.size() != (size_t)image.width * (size_t)image.height)
      continue;
    // Radiance weighted by the solid angle of each row of the upper half.
    double sum[3] = {0, 0, 0}, weight = 0;
    const double pi = 3.14159265358979;
    for (int i = 0; i < image.height / 2; i++) {
      auto w = std::sin((i + 0.5) / image.height * pi);
      for (int j = 0; j < image.width; j++) {
        auto& p = image.pixels[(size_t)i * (size_t)image.width + (size_t)j];
        if (!std::isfinite(p.x + p.y + p.z)) continue;
        sum[0] += w * p.x, sum[1] += w * p.y, sum[2] += w * p.z, weight += w;
      }
    }
    if (!(weight > 0)) continue;
    auto& e = environment->emission;
    extras["ambientColor"] = {(float)(sum[0] / weight * e.x), (float)(sum[1] / weight * e.y),
                              (float)(sum[2] / weight * e.z)};
    break;
  }
  if (extras.empty()) return "";
  return extras.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
