// PLY bytes through the reader and every shape getter.
#include "scene/ply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto model = ply_model{};
  auto error = std::string{};
  if (!parse_ply("fuzz.ply", {(const char*)data, size}, model, error)) return 0;
  std::vector<vec3f> positions, normals;
  std::vector<vec2f> texcoords;
  std::vector<vec4f> colors;
  std::vector<float> radius;
  std::vector<vec3i> triangles;
  std::vector<vec4i> quads;
  std::vector<vec2i> lines;
  std::vector<int>   points;
  get_positions(model, positions), get_normals(model, normals);
  get_texcoords(model, texcoords, true), get_colors(model, colors), get_radius(model, radius);
  get_triangles(model, triangles), get_quads(model, quads), has_quads(model);
  get_lines(model, lines), get_points(model, points);
  return 0;
}
