#include "scene/scene_stats.h"

#include <cstdio>

// Values are right-aligned in 13 columns; longer values are kept whole.
static std::string pad_value(const std::string& text) {
  return text.size() >= 13 ? text : std::string(13 - text.size(), ' ') + text;
}

static std::string format_count(long long count) { return pad_value(std::to_string(count)); }

static std::string format_vector(const vec3f& v) {
  // "%f" of the largest float takes 46 characters; three of them fit.
  char buffer[256];
  std::snprintf(buffer, sizeof(buffer), "%f %f %f", (double)v.x, (double)v.y, (double)v.z);
  return pad_value(buffer);
}

std::vector<std::string> format_scene_stats(const scene_data& scene) {
  long long points = 0, lines = 0, triangles = 0, quads = 0, fvquads = 0;
  for (auto& shape : scene.shapes) {
    points += (long long)shape->points.size();
    lines += (long long)shape->lines.size();
    triangles += (long long)shape->triangles.size();
    quads += (long long)shape->quads.size();
    fvquads += (long long)shape->quadspos.size();
  }
  long long texels4b = 0, texels4f = 0;
  for (auto& texture : scene.textures) {
    texels4b += (long long)texture->ldr.width * texture->ldr.height;
    texels4f += (long long)texture->hdr.width * texture->hdr.height;
  }
  auto bounds = compute_scene_bounds(scene);

  auto lines_out = std::vector<std::string>{};
  lines_out.push_back("cameras:      " + format_count((long long)scene.cameras.size()));
  lines_out.push_back("shapes:       " + format_count((long long)scene.shapes.size()));
  lines_out.push_back("environments: " + format_count((long long)scene.environments.size()));
  lines_out.push_back("textures:     " + format_count((long long)scene.textures.size()));
  lines_out.push_back("points:       " + format_count(points));
  lines_out.push_back("lines:        " + format_count(lines));
  lines_out.push_back("triangles:    " + format_count(triangles));
  lines_out.push_back("quads:        " + format_count(quads));
  lines_out.push_back("fvquads:     " + format_count(fvquads));
  lines_out.push_back("texels4b:     " + format_count(texels4b));
  lines_out.push_back("texels4f:     " + format_count(texels4f));
  lines_out.push_back("center:       " + format_vector(bbox_center(bounds)));
  lines_out.push_back("size:         " + format_vector(bbox_size(bounds)));
  return lines_out;
}
