// Helpers of bench/scale.sh, which times whole blockgen runs against the
// floor of what any run on the same input must do.
//
//   bench_scale parse FILE...          a no-op parse of each file with the
//                                      JSON library's event interface: the
//                                      least any reader of the input must do
//   bench_scale tile FROM N TO         copies the map in the folder FROM as an
//                                      N x N grid of tiles into the folder TO
//
// A tile is every ".geojson" file of FROM with each position moved by
// (column, row) times the map's extent plus a small gap, and each "@id"
// given a number of its own (way/123 in tile t becomes way/t00000000000123
// for t > 0), so the tiles read as one big city of distinct features rather
// than copies of one. Each file of FROM becomes N x N files in TO named
// "tNN-" + its name. Prints the number of features written.

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "support/files.h"

using json = nlohmann::json;

namespace {

// Accepts every event and keeps nothing.
struct ignore_all : nlohmann::json_sax<json> {
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

int parse_files(int count, const char** paths) {
  for (int i = 0; i < count; i++) {
    auto text = std::string{}, error = std::string{};
    if (!load_text(paths[i], text, error)) return std::printf("%s\n", error.c_str()), 1;
    auto handler = ignore_all{};
    if (!json::sax_parse(text, &handler)) return std::printf("%s: parse error\n", paths[i]), 1;
  }
  return 0;
}

struct extent {
  double min_x = std::numeric_limits<double>::max(), min_y = min_x;
  double max_x = -std::numeric_limits<double>::max(), max_y = max_x;
};

// Every position of a geometry is an array whose first two members are
// numbers; coordinates nest arrays of them to any depth.
template <typename Visit>
void for_each_position(json& coordinates, Visit&& visit) {
  if (!coordinates.is_array()) return;
  if (coordinates.size() >= 2 && coordinates[0].is_number() && coordinates[1].is_number()) {
    visit(coordinates);
    return;
  }
  for (auto& member : coordinates) for_each_position(member, visit);
}

template <typename Visit>
void for_each_geometry(json& document, Visit&& visit) {
  if (!document.contains("features") || !document["features"].is_array()) return;
  for (auto& feature : document["features"]) {
    if (feature.contains("geometry") && feature["geometry"].is_object() &&
        feature["geometry"].contains("coordinates"))
      visit(feature, feature["geometry"]["coordinates"]);
  }
}

std::string tile_id(const std::string& id, int tile) {
  auto slash = id.find('/');
  if (tile == 0 || slash == std::string::npos) return id;
  auto number = id.substr(slash + 1);
  auto digits = std::string(14 - std::min<size_t>(14, number.size()), '0');
  return id.substr(0, slash + 1) + std::to_string(tile) + digits + number;
}

int tile_folder(const std::string& from, int n, const std::string& to) {
  auto error = std::string{};
  auto entries = std::vector<std::string>{};
  if (!list_directory(from, entries, error)) return std::printf("%s\n", error.c_str()), 1;
  auto documents = std::vector<std::pair<std::string, json>>{};
  auto box = extent{};
  for (auto& entry : entries) {
    if (path_extension(entry) != ".geojson") continue;
    auto text = std::string{};
    if (!load_text(entry, text, error)) return std::printf("%s\n", error.c_str()), 1;
    auto document = json::parse(text, nullptr, false);
    if (document.is_discarded()) return std::printf("%s: parse error\n", entry.c_str()), 1;
    for_each_geometry(document, [&](json&, json& coordinates) {
      for_each_position(coordinates, [&](json& p) {
        box.min_x = std::min(box.min_x, p[0].get<double>());
        box.max_x = std::max(box.max_x, p[0].get<double>());
        box.min_y = std::min(box.min_y, p[1].get<double>());
        box.max_y = std::max(box.max_y, p[1].get<double>());
      });
    });
    auto name = entry.substr(entry.find_last_of('/') + 1);
    documents.emplace_back(name, std::move(document));
  }
  if (documents.empty()) return std::printf("%s: no .geojson file\n", from.c_str()), 1;
  if (!make_directory(to, error)) return std::printf("%s\n", error.c_str()), 1;

  auto step_x = (box.max_x - box.min_x) * 1.02, step_y = (box.max_y - box.min_y) * 1.02;
  auto features = size_t{0};
  for (auto row = 0; row < n; row++) {
    for (auto column = 0; column < n; column++) {
      auto tile = row * n + column;
      char prefix[16];
      std::snprintf(prefix, sizeof(prefix), "t%02d-", tile);
      for (auto& [name, original] : documents) {
        auto document = original;
        for_each_geometry(document, [&](json& feature, json& coordinates) {
          for_each_position(coordinates, [&](json& p) {
            p[0] = p[0].get<double>() + column * step_x;
            p[1] = p[1].get<double>() + row * step_y;
          });
          auto& properties = feature["properties"];
          if (properties.is_object() && properties.contains("@id") &&
              properties["@id"].is_string())
            properties["@id"] = tile_id(properties["@id"].get<std::string>(), tile);
          features += 1;
        });
        if (!save_text(path_join(to, prefix + name), document.dump(), error))
          return std::printf("%s\n", error.c_str()), 1;
      }
    }
  }
  std::printf("%zu\n", features);
  return 0;
}

}  // namespace

int main(int argc, const char** argv) {
  auto command = argc > 1 ? std::string{argv[1]} : std::string{};
  if (command == "parse") return parse_files(argc - 2, argv + 2);
  if (command == "tile" && argc == 5) return tile_folder(argv[2], std::atoi(argv[3]), argv[4]);
  std::printf("usage: bench_scale parse FILE... | bench_scale tile FROM N TO\n");
  return 1;
}
