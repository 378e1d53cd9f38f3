// Reading speed and peak memory of the GeoJSON reader, the way blockgen reads
// a folder: read_geojson for every file, then make_names_unique and
// normalize_features once.
//
//   bench_geojson                 every size, each in a child process
//   bench_geojson N FILES [load]  one size; "load" re-normalises after every
//                                 file (load_geojson) for comparison
//   bench_geojson write N FILES FOLDER
//                                 only writes the input, for whole-program runs
//   bench_geojson spread N FILES FOLDER
//                                 the same on a map that grows with N, so that
//                                 every size has the density of 10^5 features
//                                 (the map of `write` at 10^5): a bigger city,
//                                 not a denser one
//
// Peak memory is the child's peak resident size, so each size is measured
// on its own.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "generator/geojson.h"
#include "support/files.h"

// A small deterministic generator, so every run reads the same map.
struct bench_random {
  unsigned long long state = 0x9e3779b97f4a7c15ull;
  double next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (double)(state >> 11) / (double)(1ull << 53);
  }
};

static std::string number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%.7f", value);
  return buffer;
}

static std::string position(double lon, double lat) {
  return "[" + number(lon) + "," + number(lat) + "]";
}

// A realistic mix: half buildings with tags, a third roads, the rest trees,
// on a map of `spread` times 0.05 by 0.03 degrees.
static std::string make_feature(int id, bench_random& random, double spread) {
  auto lon = 13.0 + random.next() * 0.05 * spread, lat = 55.58 + random.next() * 0.03 * spread;
  auto kind = id % 20;
  auto text = std::string{"{\"type\":\"Feature\",\"properties\":{\"@id\":"};
  if (kind < 10) {
    auto size = 0.0001 + random.next() * 0.0002;
    text += "\"way/" + std::to_string(id) + "\",\"building\":\"yes\",\"building:levels\":\"" +
            std::to_string(1 + id % 7) + "\",\"roof:shape\":\"" + (id % 3 ? "flat" : "gabled") +
            "\",\"addr:street\":\"Bergsgatan\",\"addr:housenumber\":\"" + std::to_string(id % 90) +
            "\"},\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[[" + position(lon, lat) + "," +
            position(lon + size, lat) + "," + position(lon + size, lat + size) + "," +
            position(lon, lat + size) + "," + position(lon, lat) + "]]}}";
  } else if (kind < 17) {
    text += "\"way/" + std::to_string(id) + "\",\"highway\":\"" +
            (id % 2 ? "residential" : "footway") + "\",\"name\":\"Kristianstadsgatan\"}," +
            "\"geometry\":{\"type\":\"LineString\",\"coordinates\":[";
    for (auto j = 0; j < 4; j++) {
      if (j) text += ",";
      text += position(lon + j * 0.0003, lat + random.next() * 0.0003);
    }
    text += "]}}";
  } else {
    text += "\"node/" + std::to_string(id) + "\",\"natural\":\"tree\",\"genus\":\"Quercus\"}," +
            "\"geometry\":{\"type\":\"Point\",\"coordinates\":" + position(lon, lat) + "}}";
  }
  return text;
}

static bool write_input(const std::string& folder, int count, int files,
                        std::vector<std::string>& paths, double spread = 1) {
  auto random = bench_random{};
  auto error  = std::string{};
  for (auto f = 0; f < files; f++) {
    auto first = (long long)count * f / files, last = (long long)count * (f + 1) / files;
    auto text  = std::string{"{\"type\":\"FeatureCollection\",\"features\":[\n"};
    for (auto id = first; id < last; id++) {
      if (id > first) text += ",\n";
      text += make_feature((int)id, random, spread);
    }
    text += "\n]}\n";
    auto path = path_join(folder, "part" + std::to_string(f) + ".geojson");
    if (!save_text(path, text, error)) {
      std::printf("%s\n", error.c_str());
      return false;
    }
    paths.push_back(path);
  }
  return true;
}

static double peak_megabytes() {
#ifndef _WIN32
  auto usage = rusage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
#else
  return 0;
#endif
}

// User and system time of this process, so a busy machine does not hide
// the reader's own cost.
static double cpu_seconds() {
#ifndef _WIN32
  auto usage = rusage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
#else
  return 0;
#endif
}

static int run_size(int count, int files, bool per_file) {
  namespace fs = std::filesystem;
#ifndef _WIN32
  auto tag = std::to_string(getpid());
#else
  auto tag = std::string{"0"};
#endif
  auto folder = (fs::temp_directory_path() / ("blockgen-bench-geojson-" + tag)).generic_string();
  auto error  = std::string{};
  if (!make_directory(folder, error)) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  auto paths = std::vector<std::string>{};
  auto ok    = write_input(folder, count, files, paths);
  auto bytes = 0.0;
  for (auto& path : paths) bytes += (double)fs::file_size(fs::u8path(path));
  auto input_peak = peak_megabytes();

  auto start    = std::chrono::steady_clock::now();
  auto cpu_start = cpu_seconds();
  auto features = city_features{};
  for (auto& path : paths) {
    if (!ok) break;
    ok = per_file ? load_geojson(path, features, error, 50) : read_geojson(path, features, error, 50);
  }
  auto names_start = cpu_seconds();
  if (ok && !per_file) make_names_unique(features);
  auto names_cpu = cpu_seconds() - names_start;
  if (ok && !per_file) normalize_features(features, 50);
  auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  auto cpu = cpu_seconds() - cpu_start;

  std::error_code ec;
  fs::remove_all(fs::u8path(folder), ec);
  if (!ok) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  std::printf("%9d %6d %9zu %8.1f %8.3f %8.3f %12.0f %8.3f %9.1f %9.1f %s\n", count, files,
              features.features.size(), bytes / 1e6, seconds, cpu, count / cpu, names_cpu,
              input_peak, peak_megabytes(),
              per_file ? "load_geojson per file" : "read, names, one normalisation");
  std::fflush(stdout);
  return 0;
}

int main(int argc, const char** argv) {
  if (argc == 5 && (std::string{argv[1]} == "write" || std::string{argv[1]} == "spread")) {
    auto paths = std::vector<std::string>{};
    auto error = std::string{};
    auto count = std::atoi(argv[2]);
    auto spread = std::string{argv[1]} == "spread" ? std::sqrt(count / 1e5) : 1.0;
    if (!make_directory(argv[4], error)) return std::printf("%s\n", error.c_str()), 1;
    return write_input(argv[4], count, std::atoi(argv[3]), paths, spread) ? 0 : 1;
  }
  if (argc >= 3) {
    auto per_file = argc >= 4 && std::string{argv[3]} == "load";
    return run_size(std::atoi(argv[1]), std::atoi(argv[2]), per_file);
  }
  std::printf("%9s %6s %9s %8s %8s %8s %12s %8s %9s %9s\n", "features", "files", "records",
              "MB in", "wall s", "cpu s", "features/s", "names s", "peak0 MB", "peak MB");
  std::fflush(stdout);
  auto self = std::string{argv[0]};
  struct bench_case {
    int         count, files;
    std::string mode;
  };
  auto cases = std::vector<bench_case>{{10000, 10, ""},    {100000, 10, ""},
                                       {1000000, 10, ""},  {100000, 100, ""},
                                       {100000, 100, "load"}};
  for (auto& c : cases) {
    auto command = "\"" + self + "\" " + std::to_string(c.count) + " " +
                   std::to_string(c.files) + (c.mode.empty() ? "" : " " + c.mode);
    if (std::system(command.c_str()) != 0) return 1;
  }
  std::printf("features/s: per cpu second; names: cpu seconds of make_names_unique, part of\n"
              "cpu; peak0: peak resident size after writing the input, before reading; peak:\n"
              "after reading, naming and normalising\n");
  return 0;
}
