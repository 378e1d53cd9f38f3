// The OSM reader at city scale.
//
//   bench_osm write N FILE.osm.pbf   a synthetic extract of N features: a grid
//                                    of blocks, each a building (a closed way
//                                    of five nodes, some with levels), a road
//                                    (a way of four nodes) or a tree (a node),
//                                    70 : 20 : 10
//   bench_osm read FILE.osm.pbf      reads it as blockgen does (read_osm_file,
//                                    make_names_unique, normalize_features)
//                                    and prints the time, the records and the
//                                    peak resident size of the process
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include <osmium/builder/attr.hpp>
#include <osmium/io/pbf_output.hpp>
#include <osmium/io/writer.hpp>
#include <osmium/memory/buffer.hpp>

#include "generator/geojson.h"
#include "generator/osm_file.h"

using namespace osmium::builder::attr;

static int write_extract(long count, const std::string& path) {
  auto writer = osmium::io::Writer{osmium::io::File{path, "pbf"}, osmium::io::overwrite::allow};
  auto side   = (long)std::sqrt((double)count) + 1;
  auto node_id = 1L;
  auto buffer  = osmium::memory::Buffer{1 << 20, osmium::memory::Buffer::auto_grow::yes};
  auto flush   = [&] {
    if (buffer.committed() > (1 << 19)) {
      writer(std::move(buffer));
      buffer = osmium::memory::Buffer{1 << 20, osmium::memory::Buffer::auto_grow::yes};
    }
  };
  auto location = [&](long i, double dx, double dy) {
    return osmium::Location{13.0 + (double)(i % side) * 1e-4 + dx, 42.0 + (double)(i / side) * 1e-4 + dy};
  };
  // Nodes first, in id order; the ways after them refer to them.
  for (long i = 0; i < count; i++) {
    auto kind = i % 10;
    if (kind < 7) {
      for (auto [dx, dy] : {std::pair{0.0, 0.0}, {5e-5, 0.0}, {5e-5, 5e-5}, {0.0, 5e-5}})
        osmium::builder::add_node(buffer, _id(node_id++), _location(location(i, dx, dy)));
    } else if (kind < 9) {
      for (int k = 0; k < 4; k++)
        osmium::builder::add_node(buffer, _id(node_id++), _location(location(i, k * 2e-5, 8e-5)));
    } else {
      osmium::builder::add_node(buffer, _id(node_id++), _location(location(i, 2e-5, 2e-5)),
                                _tag("natural", "tree"));
    }
    flush();
  }
  node_id = 1;
  for (long i = 0; i < count; i++) {
    auto kind = i % 10;
    if (kind < 7) {
      auto first = node_id;
      node_id += 4;
      auto levels = std::to_string(i % 12);
      osmium::builder::add_way(buffer, _id(i + 1), _nodes({first, first + 1, first + 2, first + 3, first}),
                               _tag("building", "yes"), _tag("building:levels", levels));
    } else if (kind < 9) {
      auto first = node_id;
      node_id += 4;
      osmium::builder::add_way(buffer, _id(i + 1), _nodes({first, first + 1, first + 2, first + 3}),
                               _tag("highway", kind == 7 ? "residential" : "footway"));
    } else {
      node_id++;
    }
    flush();
  }
  writer(std::move(buffer));
  writer.close();
  return 0;
}

static int read_extract(const std::string& path) {
  auto start    = std::chrono::steady_clock::now();
  auto features = city_features{};
  auto error    = std::string{};
  if (!read_osm_file(path, features, error, 50)) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  auto read = std::chrono::steady_clock::now();
  make_names_unique(features);
  normalize_features(features, 50);
  auto end   = std::chrono::steady_clock::now();
  auto usage = rusage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
  std::printf("%s: %zu records, read %.2f s, names and mapping %.2f s, peak resident %.0f MB\n",
              path.c_str(), features.features.size(), seconds(start, read), seconds(read, end),
              (double)usage.ru_maxrss / 1024);
  return 0;
}

int main(int argc, const char** argv) {
  auto mode = argc > 1 ? std::string{argv[1]} : std::string{};
  if (mode == "write" && argc == 4) return write_extract(std::stol(argv[2]), argv[3]);
  if (mode == "read" && argc == 3) return read_extract(argv[2]);
  std::printf("usage: bench_osm write N FILE.osm.pbf | bench_osm read FILE.osm.pbf\n");
  return 2;
}
