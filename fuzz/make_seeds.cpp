// Writes the seed corpora: corpus/NAME/ for each fuzz target, small files
// of every kind the readers meet, from the savers and from the tests' data.
//
//   fuzz_make_seeds FUZZ_FOLDER/corpus

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "scene/image.h"
#include "scene/ply.h"
#include "scene/scene.h"
#include "scene/shape_io.h"
#include "support/files.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

static void check(bool ok, const std::string& error) {
  if (!ok) std::fprintf(stderr, "fuzz_make_seeds: %s\n", error.c_str()), std::exit(1);
}

static void copy_into(const fs::path& from, const fs::path& folder) {
  fs::copy_file(from, folder / from.filename(), fs::copy_options::overwrite_existing);
}

static void image_seeds(const fs::path& corpus) {
  auto error = std::string{};
  for (auto format : {"png", "jpg", "tga", "bmp", "hdr", "pfm", "exr"}) {
    auto folder = corpus / format;
    fs::create_directories(folder);
    // Sizes that reach the flat and the run-length coded paths.
    for (auto [width, height] : {std::pair{1, 1}, {9, 4}, {17, 3}}) {
      auto floats = image4f{width, height, {}};
      for (int i = 0; i < width * height; i++)
        floats.pixels.push_back({0.1f * i, 1.0f - 0.05f * i, 2.5f, i % 2 ? 1.0f : 0.5f});
      auto name = std::to_string(width) + "x" + std::to_string(height) + "." + format;
      check(save_image((folder / name).string(), floats, error), error);
    }
  }
  for (auto& entry : fs::directory_iterator(SOURCE_DIR "/tests/data/image")) {
    auto ext = entry.path().extension().string();
    if (ext == ".png" || ext == ".jpg") copy_into(entry.path(), corpus / ext.substr(1));
  }
}

static void shape_seeds(const fs::path& corpus) {
  auto error = std::string{};
  fs::create_directories(corpus / "ply");
  fs::create_directories(corpus / "obj");
  auto positions = std::vector<vec3f>{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}};
  auto normals = std::vector<vec3f>(5, vec3f{0, 0, 1});
  auto texcoords = std::vector<vec2f>{{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0.5f, 0.5f}};
  auto colors = std::vector<vec4f>(5, vec4f{1, 0.5f, 0, 1});
  auto radius = std::vector<float>(5, 0.1f);
  auto shapes = std::vector<std::pair<std::string, scene_shape>>{};
  auto shape = scene_shape{};
  shape.positions = positions, shape.normals = normals, shape.texcoords = texcoords;
  shape.triangles = {{0, 1, 2}, {0, 2, 3}};
  shapes.push_back({"triangles", shape});
  shape.triangles = {}, shape.quads = {{0, 1, 2, 3}, {0, 2, 4, 4}};
  shape.colors = colors, shape.radius = radius;
  shapes.push_back({"quads", shape});
  shape = scene_shape{}, shape.positions = positions, shape.lines = {{0, 1}, {1, 2}, {2, 3}};
  shapes.push_back({"lines", shape});
  shape.lines = {}, shape.points = {0, 2, 4};
  shapes.push_back({"points", shape});
  shape = scene_shape{}, shape.positions = positions, shape.normals = normals;
  shape.texcoords = texcoords, shape.quadspos = {{0, 1, 2, 3}, {1, 2, 4, 4}};
  shape.quadsnorm = {{0, 0, 0, 0}, {1, 1, 1, 1}}, shape.quadstexcoord = {{3, 2, 1, 0}, {4, 3, 2, 2}};
  shapes.push_back({"facevarying", shape});
  for (auto& [name, item] : shapes) {
    check(save_shape((corpus / "ply" / (name + ".ply")).string(), item, error), error);
    check(save_shape((corpus / "obj" / (name + ".obj")).string(), item, error), error);
  }
  // The same models in the other two PLY encodings.
  for (auto [format, suffix] : {std::pair{ply_format::ascii, "_ascii"},
                                {ply_format::binary_big_endian, "_be"}}) {
    for (auto name : {"quads", "lines"}) {
      auto model = ply_model{};
      check(load_ply((corpus / "ply" / (std::string{name} + ".ply")).string(), model, error), error);
      model.format = format;
      model.comments.push_back("seed");
      check(save_ply((corpus / "ply" / (name + std::string{suffix} + ".ply")).string(), model, error),
            error);
    }
  }
  copy_into(ASSETS_DIR "/tree_models/cypress.ply", corpus / "ply");
}

static json feature(const std::string& type, const json& coordinates, const json& properties) {
  return {{"type", "Feature"},
          {"geometry", {{"type", type}, {"coordinates", coordinates}}},
          {"properties", properties}};
}

static void geojson_seeds(const fs::path& corpus) {
  auto folder = corpus / "geojson";
  fs::create_directories(folder);
  for (auto& entry : fs::directory_iterator(SOURCE_DIR "/samples/town")) copy_into(entry.path(), folder);
  auto square = json::parse("[[10.0, 43.0], [10.001, 43.0], [10.001, 43.001], [10.0, 43.001], [10.0, 43.0]]");
  auto hole = json::parse("[[10.0002, 43.0002], [10.0004, 43.0002], [10.0004, 43.0004], [10.0002, 43.0002]]");
  auto star = json::array();
  for (int i = 0; i <= 16; i++) {
    auto r = i % 2 ? 0.0004 : 0.001, a = 6.283185307179586 * (i % 16) / 16;
    star.push_back({10.002 + r * std::cos(a), 43.002 + r * std::sin(a)});
  }
  auto line = json::parse("[[10.0, 43.0], [10.002, 43.001], [10.003, 43.0]]");
  auto features = std::vector<json>{
      feature("Polygon", {square, hole},
              {{"@id", "way/1"}, {"building", "yes"}, {"building:levels", "5"},
               {"roof:shape", "pyramid"}, {"roof:height", "3"}}),
      feature("Polygon", {star}, {{"@id", "way/2"}, {"building", "tower"}, {"height", "30"}}),
      feature("MultiPolygon", {{square}, {star, hole}},
              {{"@id", "relation/3"}, {"landuse", "forest"}}),
      feature("Polygon", {square},
              {{"@id", "relation/1834818"}, {"building", "yes"}, {"historic", "yes"},
               {"building:colour", "brown"}}),
      feature("LineString", line, {{"@id", "way/4"}, {"highway", "primary"}}),
      feature("MultiLineString", {line, line}, {{"@id", "way/5"}, {"waterway", "river"}}),
      feature("Point", {10.0005, 43.0005},
              {{"@id", "node/6"}, {"natural", "tree"}, {"genus", "Pinus"}}),
      feature("Polygon", {square}, {{"@id", "way/7"}, {"leisure", "park"}}),
  };
  auto all = json{{"type", "FeatureCollection"}, {"features", features}};
  std::ofstream(folder / "kinds.geojson") << all.dump(1);
  for (size_t i = 0; i < features.size(); i++) {
    auto one = json{{"type", "FeatureCollection"}, {"features", {features[i]}}};
    std::ofstream(folder / ("feature" + std::to_string(i) + ".geojson")) << one.dump();
  }
}

int main(int argc, const char** argv) {
  if (argc != 2) return std::fprintf(stderr, "usage: fuzz_make_seeds CORPUS_FOLDER\n"), 1;
  auto corpus = fs::path{argv[1]};
  image_seeds(corpus);
  shape_seeds(corpus);
  geojson_seeds(corpus);
  return 0;
}
