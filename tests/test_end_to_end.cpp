// blockgen from end to end: a town and real OpenStreetMap extracts go in, and
// the whole output folder is checked: every reference resolves, every file
// parses, nothing stray is left beside them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "generator/city.h"
#include "generator/geojson.h"
#include "json_scene_oracle.h"
#include "scene/image.h"
#include "scene/ply.h"
#include "scene/scene.h"
#include "scene/shape_io.h"
#include "support/console.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// The construction counters blockgen prints: "Time", value, "Triangles", ...
std::map<std::string, double> read_counters(const std::string& out) {
  auto counters = std::map<std::string, double>{};
  for (auto label : {"Time", "Triangles", "Quads", "Elements"}) {
    auto at = out.find(std::string("\n") + label + "\n");
    if (at == std::string::npos) continue;
    counters[label] = std::stod(out.substr(at + std::string(label).size() + 2));
  }
  return counters;
}

// Runs blockgen on a folder of GeoJSON files (with the assets beside them)
// and writes the scene to work/city.json.
struct city_run {
  scratch_dir input{"e2e-input"}, work{"e2e-work"};
  program_run run;
  nlohmann::json scene;

  explicit city_run(const std::vector<std::string>& geojson_files) {
    copy_assets(input.str());
    for (auto& file : geojson_files) fs::copy(file, input.path / fs::path(file).filename());
    run = run_program(BLOCKGEN_PATH, {"-o", "city.json", input.str()}, work.str());
    if (run.status == 0) scene = nlohmann::json::parse(read_file(work / "city.json"));
  }
};

std::set<std::string> files_in(const fs::path& folder) {
  auto names = std::set<std::string>{};
  for (auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

const std::set<std::string> known_textures = {
    "sky.hdr",          "texture1.hdr",       "texture2.hdr",      "texture3.hdr",
    "texture4.hdr",     "texture5.hdr",       "texture6.hdr",      "texture7.hdr",
    "texture8.hdr",     "texture8_11.hdr",    "texture10_41.hdr",  "texture40_71.hdr",
    "texture70_101.hdr", "texturemore_101.hdr", "texture_colosseo.hdr"};

const std::set<std::string> tree_models = {"standard.ply", "palm.ply", "pine.ply",
                                           "cypress.ply", "oak.ply"};

// Every instance's shape and material resolve, every referenced file exists
// and parses with indices in range, and nothing else is in the folder.
void check_output_folder(const city_run& city) {
  auto& scene = city.scene;
  auto work = city.work.path;
  EXPECT_EQ(files_in(work), (std::set<std::string>{"city.json", "shapes", "textures"}));

  auto referenced_shapes = std::set<std::string>{};
  auto referenced_textures = std::set<std::string>{};
  for (auto& [name, instance] : scene["instances"].items()) {
    ASSERT_TRUE(instance.is_object()) << name;
    auto shape = instance.value("shape", "");
    auto material = instance.value("material", "");
    ASSERT_FALSE(shape.empty()) << name;
    EXPECT_TRUE(scene["materials"].contains(material)) << name << " -> " << material;
    referenced_shapes.insert(shape + ".ply");
  }
  for (auto& [name, material] : scene["materials"].items()) {
    if (!material.is_object()) continue;
    for (auto& [key, value] : material.items()) {
      if (key.size() > 4 && key.substr(key.size() - 4) == "_tex")
        referenced_textures.insert(value.get<std::string>() + ".hdr");
    }
  }
  for (auto& [name, environment] : scene["environments"].items())
    referenced_textures.insert(environment.value("emission_tex", "") + ".hdr");

  for (auto& file : referenced_shapes) {
    auto shape = scene_shape{};
    auto error = std::string{};
    ASSERT_TRUE(load_shape((work / "shapes" / file).string(), shape, error)) << error;
    auto vertices = (int)shape.positions.size();
    auto in_range = [vertices](int i) { return i >= 0 && i < vertices; };
    for (auto& t : shape.triangles)
      ASSERT_TRUE(in_range(t.x) && in_range(t.y) && in_range(t.z)) << file;
    for (auto& q : shape.quads)
      ASSERT_TRUE(in_range(q.x) && in_range(q.y) && in_range(q.z) && in_range(q.w)) << file;
  }
  // Shapes no instance uses are tree models no tree needed, and the empty
  // shapes every tree leaves behind.
  for (auto& file : files_in(work / "shapes")) {
    if (referenced_shapes.count(file) || tree_models.count(file)) continue;
    EXPECT_EQ(file.substr(0, 6), "point_") << file;
    auto model = ply_model{};
    auto error = std::string{};
    ASSERT_TRUE(load_ply((work / "shapes" / file).string(), model, error)) << error;
    EXPECT_TRUE(model.elements.empty()) << file;
  }
  for (auto& file : referenced_textures) {
    auto image = image4f{};
    auto error = std::string{};
    EXPECT_TRUE(load_image((work / "textures" / file).string(), image, error)) << error;
    EXPECT_GT(image.width, 0) << file;
  }
  for (auto& file : files_in(work / "textures")) EXPECT_TRUE(known_textures.count(file)) << file;
}

std::vector<std::string> geojson_files(const fs::path& folder) {
  auto files = std::vector<std::string>{};
  for (auto& entry : fs::directory_iterator(folder))
    if (entry.path().extension() == ".geojson") files.push_back(entry.path().string());
  return files;
}

}  // namespace

TEST(end_to_end, sample_town) {
  auto city = city_run(geojson_files(SAMPLES_DIR "/town"));
  ASSERT_EQ(city.run.status, 0) << city.run.out;
  EXPECT_EQ(city.run.err, "");
  auto counters = read_counters(city.run.out);
  EXPECT_GT(counters["Elements"], 50);
  EXPECT_GT(counters["Triangles"], counters["Elements"]);
  EXPECT_GT(counters["Quads"], 0);
  check_output_folder(city);

  // Every kind of the town shows up: walls, roofs, trees of each species.
  auto& instances = city.scene["instances"];
  auto walls = 0, roofs = 0;
  auto tree_shapes = std::set<std::string>{};
  for (auto& [name, instance] : instances.items()) {
    if (name.size() > 2 && name.substr(name.size() - 2) == "_1") walls++;
    if (name.size() > 5 && name.substr(name.size() - 5) == "_roof") roofs++;
    if (name.substr(0, 6) == "point_") tree_shapes.insert(instance.value("shape", ""));
  }
  EXPECT_GT(walls, 20);
  EXPECT_GT(roofs, 0);
  EXPECT_EQ(tree_shapes, (std::set<std::string>{"standard", "palm", "pine", "cypress", "oak"}));
}

// The extracts under ../shared/osm, when they are there: each folder builds
// and saves, and the counters are plausible.
TEST(end_to_end, real_extracts) {
  auto root = fs::path(SHARED_DIR) / "osm";
  if (!fs::is_directory(root)) GTEST_SKIP() << root << " is absent";
  for (auto& folder : fs::directory_iterator(root)) {
    if (!folder.is_directory()) continue;
    SCOPED_TRACE(folder.path().filename().string());
    auto city = city_run(geojson_files(folder.path()));
    ASSERT_EQ(city.run.status, 0) << city.run.out;
    EXPECT_EQ(city.run.err, "");
    auto counters = read_counters(city.run.out);
    EXPECT_GT(counters["Elements"], 100);
    EXPECT_GT(counters["Triangles"], counters["Elements"]);
    check_output_folder(city);
    std::cout << folder.path().filename().string() << ": Time " << counters["Time"]
              << " Triangles " << counters["Triangles"] << " Quads " << counters["Quads"]
              << " Elements " << counters["Elements"] << "\n";
  }
}

// ---------------------------------------------------------------------------
// blockgen against the plain way of doing the same: the files read in turn,
// the whole city built as scene records, the document dumped at once and
// every shape saved in turn.

namespace {

// The save lines blockgen printed: message, current and total of each.
std::vector<progress_call> save_lines(const std::string& out) {
  auto lines = std::vector<progress_call>{};
  size_t start = 0;
  while (start < out.size()) {
    auto end = out.find_first_of("\r\n", start);
    if (end == std::string::npos) end = out.size();
    auto line = out.substr(start, end - start);
    start = end + 1;
    auto counts = line.find("] ");
    if (line.empty() || line[0] != '[' || counts == std::string::npos) continue;
    int current = 0, total = 0;
    if (std::sscanf(line.c_str() + counts + 2, "%d/%d", &current, &total) != 2) continue;
    auto time = line.find(':', counts);
    auto message = line.substr(time + 8);
    message.erase(message.find_last_not_of(' ') + 1);
    if (message.rfind("save", 0) == 0) lines.emplace_back(message, current, total);
  }
  return lines;
}

// Returns how many shapes write a file that another shape writes too.
size_t expect_same_as_plain(const std::string& input) {
  auto fast = scratch_dir{"e2e-fast"}, plain = scratch_dir{"e2e-plain"};
  auto run = run_program(BLOCKGEN_PATH, {"-o", fast / "city.json", input});
  EXPECT_EQ(run.status, 0) << run.out;

  auto features = city_features{};
  auto error = std::string{};
  auto entries = std::vector<std::string>{};
  EXPECT_TRUE(list_directory(input, entries, error)) << error;
  for (auto& entry : entries) {
    if (is_geojson_file(entry)) {
      EXPECT_TRUE(read_geojson(entry, features, error, 50)) << error;
    }
  }
  make_names_unique(features);
  normalize_features(features, 50);
  auto scene = scene_data{};
  EXPECT_TRUE(build_city_scene(scene, features, input, error)) << error;
  fs::create_directories(plain.path / "shapes");
  fs::create_directories(plain.path / "textures");
  auto calls = std::vector<progress_call>{};
  EXPECT_TRUE(oracle::save(plain / "city.json", scene, error, calls)) << error;

  expect_same_files(fast.path, plain.path);
  // The same lines, in the same order: those of the plain save's progress
  // that a long task prints.
  auto printed = std::vector<progress_call>{};
  for (auto& [message, current, total] : calls)
    if (progress_line_due(message, current, total)) printed.emplace_back(message, current, total);
  EXPECT_EQ(save_lines(run.out), printed);
  EXPECT_GT(printed.size(), 3u);
  auto names = std::set<std::string>{};
  for (auto& shape : scene.shapes) names.insert(shape->name);
  return scene.shapes.size() - names.size();
}

// A synthetic city: buildings of every height with flat, pointed and no
// roofs, courtyards, roads and footways, trees, and ids that repeat.
void write_synthetic_city(const std::string& folder, int count) {
  auto random = 12345u;
  auto next = [&] { return (random = random * 1103515245u + 12345u) / 65536 % 1000 / 1000.0; };
  auto point = [](double x, double y) {
    return "[" + std::to_string(13 + x) + "," + std::to_string(55.6 + y) + "]";
  };
  for (int file = 0; file < 3; file++) {
    auto text = std::string{R"({"type":"FeatureCollection","features":[)"};
    for (int i = file; i < count; i += 3) {
      auto x = next() * 0.02, y = next() * 0.02, d = 0.0001 + next() * 0.0002;
      auto id = std::to_string(i % 997);  // every id comes back a few times
      if (i > file) text += ",";
      if (i % 10 < 5) {
        auto ring = [&](double s) {
          return "[" + point(x, y) + "," + point(x + s, y) + "," + point(x + s, y + s) + "," +
                 point(x, y + s) + "," + point(x, y) + "]";
        };
        auto hole = i % 10 == 4 ? "," + ring(d / 3) : std::string{};
        text += R"({"type":"Feature","properties":{"@id":"way/)" + id +
                R"(","building":"yes","building:levels":")" + std::to_string(1 + i % 12) +
                R"(","roof:shape":")" + (i % 3 == 0 ? "pyramidal" : i % 3 == 1 ? "flat" : "") +
                R"("},"geometry":{"type":"Polygon","coordinates":[)" + ring(d) + hole + "]}}";
      } else if (i % 10 < 8) {
        text += R"({"type":"Feature","properties":{"@id":"way/1)" + id + R"(","highway":")" +
                (i % 2 ? "residential" : "footway") +
                R"("},"geometry":{"type":"LineString","coordinates":[)" + point(x, y) + "," +
                point(x + d, y) + "," + point(x + d, y + 2 * d) + "]}}";
      } else {
        text += R"({"type":"Feature","properties":{"@id":"node/)" + id +
                R"(","natural":"tree"},"geometry":{"type":"Point","coordinates":)" +
                point(x, y) + "}}";
      }
    }
    write_file(folder + "/part" + std::to_string(file) + ".geojson", text + "]}");
  }
}

}  // namespace

TEST(end_to_end, blockgen_writes_what_the_plain_way_writes) {
  auto inputs = std::vector<std::string>{SAMPLES_DIR "/town"};
  auto root = fs::path(SHARED_DIR) / "osm";
  if (fs::is_directory(root))
    for (auto& folder : fs::directory_iterator(root))
      if (folder.is_directory()) inputs.push_back(folder.path().string());
  auto synthetic = scratch_dir{"e2e-synthetic"};
  write_synthetic_city(synthetic.str(), 6000);
  inputs.push_back(synthetic.str());
  for (auto& folder : inputs) {
    SCOPED_TRACE(folder);
    auto input = scratch_dir{"e2e-input"};
    copy_assets(input.str());
    for (auto& file : geojson_files(folder)) fs::copy(file, input.path / fs::path(file).filename());
    auto shared = expect_same_as_plain(input.str());
    // Pointed roofs and repeated ids: many shapes share a file.
    if (folder == synthetic.str()) {
      EXPECT_GT(shared, 500u);
    }
  }
}

// A machine at its limit of threads (a process limit, a container's) still
// gets its scenes, the same bytes as with threads: each step that hands
// work to a second thread does it on its own then. The programs run as an
// unprivileged user allowed a single thread of their own.
TEST(end_to_end, programs_write_the_same_without_a_second_thread) {
  if (::geteuid() != 0 || std::system("command -v setpriv prlimit >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs root and setpriv to run the programs as another user";
  auto limited = [](const std::string& program, std::vector<std::string> args) {
    // The leak checker needs a thread of its own at the end.
    args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "env",
                               "ASAN_OPTIONS=detect_leaks=0", "prlimit", "--nproc=1", program});
    return run_program("setpriv", args);
  };
  // The limit holds: not even a shell's child can be had under it.
  ASSERT_NE(limited("sh", {"-c", "true & wait"}).status, 0);
  if (limited("sh", {"-c", "test -x " + shell_quote(BLOCKGEN_PATH)}).status != 0)
    GTEST_SKIP() << "the user nobody cannot run " << BLOCKGEN_PATH;

  auto input = scratch_dir{"e2e-threads-input"};
  copy_assets(input.str());
  // More shapes than the shape reader reads on one thread.
  write_synthetic_city(input.str(), 1500);
  auto outputs = scratch_dir{"e2e-threads"};
  fs::permissions(outputs.path, fs::perms::all);
  struct step {
    std::string program;
    std::vector<std::string> args;  // FOLDER stands for the output folder
  };
  auto steps = std::vector<step>{
      {BLOCKGEN_PATH, {"-o", "FOLDER/city/city.json", input.str()}},
      {BLOCKGEN_PATH, {"-o", "FOLDER/glb/city.glb", input.str()}},
      {CONVERT_PATH, {"-s", outputs / "plain/city/city.json", "-o", "FOLDER/copy/city.json"}},
      {CONVERT_PATH, {"-s", outputs / "plain/city/city.json", "-o", "FOLDER/single/city.glb"}},
      {CONVERT_PATH, {"-s", outputs / "plain/glb/city.glb", "-o", "FOLDER/unpacked/city.json"}},
  };
  for (auto& s : steps) {
    auto in = [&s](const std::string& folder) {
      auto given = s.args;
      for (auto& arg : given)
        if (arg.rfind("FOLDER/", 0) == 0) arg = folder + arg.substr(6);
      return given;
    };
    auto plain = run_program(s.program, in(outputs / "plain"));
    ASSERT_EQ(plain.status, 0) << plain.out << plain.err;
    auto alone = limited(s.program, in(outputs / "alone"));
    EXPECT_EQ(alone.status, 0) << s.program << " " << s.args[1] << ": " << alone.out << alone.err;
  }
  EXPECT_GT(files_in(outputs.path / "plain/city/shapes").size(), 256u);
  expect_same_files(outputs.path / "alone", outputs.path / "plain");

  // OpenStreetMap files are decoded on threads of the reader's own: the
  // error names the file and why, not a parse error.
  auto osm = scratch_dir{"e2e-threads-osm"};
  copy_assets(osm.str());
  write_file(osm / "map.osm", R"(<?xml version="1.0"?><osm version="0.6">)"
                              R"(<node id="1" lat="55.6" lon="13.0"><tag k="natural" v="tree"/></node></osm>)");
  auto plain = run_program(BLOCKGEN_PATH, {"-o", outputs / "osm-plain/city.json", osm.str()});
  EXPECT_EQ(plain.status, 0) << plain.out << plain.err;
  auto alone = limited(BLOCKGEN_PATH, {"-o", outputs / "osm-alone/city.json", osm.str()});
  EXPECT_EQ(alone.status, 1);
  EXPECT_NE((alone.out + alone.err).find(osm / "map.osm: no thread can be started to read it"), std::string::npos)
      << alone.out << alone.err;
  EXPECT_FALSE(fs::exists(outputs.path / "osm-alone/city.json"));
}
