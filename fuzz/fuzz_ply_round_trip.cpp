// PLY bytes decoded, encoded again and decoded a second time: the second
// shape must hold the very arrays of the first. Texture coordinates are
// read and written unflipped, so that no arithmetic touches them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scene/scene.h"
#include "scene/shape_io.h"

namespace {

template <typename T>
bool same(const std::vector<T>& a, const std::vector<T>& b) {
  // Bytes, not values: NaN coordinates must come back as they went.
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// The faces as triangles: a quad whose last two corners are one is a
// triangle, which the writer may store either way.
std::vector<vec3i> faces(const scene_shape& shape) {
  auto result = shape.triangles;
  for (auto& q : shape.quads) {
    result.push_back({q.x, q.y, q.z});
    if (q.z != q.w) result.push_back({q.x, q.z, q.w});
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto first = scene_shape{}, second = scene_shape{};
  auto error = std::string{};
  if (!parse_shape("fuzz.ply", {(const char*)data, size}, first, error, false, false)) return 0;
  auto bytes = std::string{};
  auto text  = false;
  if (!encode_shape("fuzz.ply", first, bytes, text, error, false)) return 0;
  if (!parse_shape("fuzz.ply", bytes, second, error, false, false)) {
    std::fprintf(stderr, "encoded shape unreadable: %s\n", error.c_str());
    std::abort();
  }
  auto check = [](bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "%s changed through encoding\n", what);
    std::abort();
  };
  check(same(first.positions, second.positions), "positions");
  check(same(first.normals, second.normals), "normals");
  check(same(first.texcoords, second.texcoords), "texcoords");
  check(same(first.colors, second.colors), "colors");
  check(same(first.radius, second.radius), "radius");
  check(same(faces(first), faces(second)), "faces");
  check(same(first.lines, second.lines), "lines");
  check(same(first.points, second.points), "points");
  return 0;
}
