// Whole-program runs of the built blockgen on scratch folders.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "test_util.h"

static const std::string usage =
    "usage: urbangen [options] <arguments>Process scene\n"
    "\n"
    "options:\n"
    "  --help/--no-help <boolean>    Print usage. [false]\n"
    "  --info,-i <boolean>           print scene info [false]\n"
    "  --copyright,-c <string>       copyright string []\n"
    "  --validate/--no-validate <boolean>Validate scene [false]\n"
    "  --output,-o <string>          output scene [out.json]\n"
    "\n"
    "arguments:\n"
    "  dirname <string>              input directory [required]\n"
    "\n";

static program_run blockgen(const std::vector<std::string>& args, const std::string& workdir = ".") {
  return run_program(BLOCKGEN_PATH, args, workdir);
}

// The text after the last carriage return or line feed before the final
// line feed: the message that ended the run.
static std::string last_message(const std::string& out) {
  auto end = out.size() && out.back() == '\n' ? out.size() - 1 : out.size();
  auto start = out.find_last_of("\r\n", end ? end - 1 : 0);
  start = start == std::string::npos || start >= end ? 0 : start + 1;
  return out.substr(start, end - start);
}

TEST(blockgen, no_arguments_is_a_command_line_error) {
  auto run = blockgen({});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "error: missing value for dirname\n\n" + usage + "\n");
  EXPECT_EQ(run.err, "");
}

TEST(blockgen, help_prints_the_usage_and_reads_nothing) {
  auto dir = scratch_dir("help");
  write_file(dir / "broken.geojson", "not json");
  auto run = blockgen({"--help", "true", dir.str()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, usage + "\n");
  EXPECT_EQ(run.err, "");

  run = blockgen({"--help", "true"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "error: missing value for dirname\n\n" + usage + "\n");

  run = blockgen({"--help"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "error: missing value for --help\n\n" + usage + "\n");
}

TEST(blockgen, bad_boolean_value) {
  auto run = blockgen({"--info", "yes", "d"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "error: bad value for --info,-i");
}

TEST(blockgen, missing_input_directory_is_named) {
  auto dir = scratch_dir("missing");
  auto run = blockgen({dir / "nowhere"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(last_message(run.out), dir / "nowhere" + ": cannot list directory");
  EXPECT_EQ(run.out.substr(0, 1), "\r");  // the load progress line came first
  EXPECT_EQ(run.err, "");
}

TEST(blockgen, bad_json_stops_the_run) {
  auto dir = scratch_dir("badjson");
  write_file(dir / "a.geojson", "{ \"features\": [");
  auto run = blockgen({dir.str()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(last_message(run.out), dir / "a.geojson" + ": parse error in json");
  EXPECT_EQ(run.err, "");
}

// An input folder with the assets and nothing else.
struct input_folder : scratch_dir {
  input_folder() : scratch_dir("input") { copy_assets(str()); }
};

// A FIFO would keep the run waiting for a writer forever (the test's time
// limit ends it): it is skipped with a warning line. A folder of that name
// fails to open like a missing file and ends the run.
TEST(blockgen, fifos_are_skipped_and_folders_end_the_run) {
  auto dir = input_folder{};
  auto work = scratch_dir("work");
  ASSERT_EQ(mkfifo((dir / "fifo.geojson").c_str(), 0600), 0);
  write_file(dir / "town.geojson", read_file(SAMPLES_DIR "/town/ways.geojson"));
  auto run = blockgen({dir.str()}, work.str());
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find(dir / "fifo.geojson" + ": not a regular file, skipped\n"),
            std::string::npos) << run.out;
  EXPECT_NE(read_file(work / "out.json").find("line_way_"), std::string::npos);

  std::filesystem::create_directory(dir.path / "x.geojson");
  auto again = scratch_dir("again");
  run = blockgen({dir.str()}, again.str());
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_EQ(last_message(run.out), dir / "x.geojson" + ": file not found");
  EXPECT_FALSE(std::filesystem::exists(again.path / "out.json"));
}

// A 300-digit id made shape file names too long for the file system.
TEST(blockgen, features_with_very_long_ids_are_built_and_saved) {
  auto dir = input_folder{};
  auto work = scratch_dir("work");
  auto id = "way/" + std::string(300, '7');
  write_file(dir / "long.geojson",
             "{\"type\": \"FeatureCollection\", \"features\": [{\"type\": \"Feature\", "
             "\"properties\": {\"@id\": \"" + id + "\", \"building\": \"yes\", \"roof:shape\": \"gabled\"}, "
             "\"geometry\": {\"type\": \"Polygon\", \"coordinates\": [[[0,0],[1,0],[1,1],[0,0]]]}}]}");
  auto run = blockgen({dir.str()}, work.str());
  ASSERT_EQ(run.status, 0) << run.out;
  auto saved = std::vector<std::string>{};
  for (auto& entry : std::filesystem::directory_iterator(work.path / "shapes")) {
    auto name = entry.path().filename().string();
    if (name.rfind("building_way_777", 0) == 0) saved.push_back(name);
  }
  // the cap, the walls, the roof base (the cap's name) and the roof
  EXPECT_EQ(saved.size(), 3u);
  auto scene = read_file(work / "out.json");
  for (auto& name : saved) {
    EXPECT_LE(name.size(), 255u);
    EXPECT_NE(scene.find(name.substr(0, name.size() - 4)), std::string::npos) << name;
  }
}

TEST(blockgen, only_exact_geojson_extensions_are_read) {
  auto dir = input_folder{};
  auto work = scratch_dir("work");
  for (auto name : {"a.GEOJSON", "b.geojson.bak", "c.GeoJson", "d.json"})
    write_file(dir / name, "not json");
  // The run gets past reading; it ends at the unknown output format.
  auto run = blockgen({"-o", "scene.txt", dir.str()}, work.str());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(last_message(run.out), "scene.txt: unknown format");
  EXPECT_NE(run.out.find("load geojsons"), std::string::npos);
  EXPECT_NE(run.out.find("convert scene"), std::string::npos);
}

TEST(blockgen, missing_assets_stop_the_run) {
  auto dir = scratch_dir("noassets");
  auto run = blockgen({dir.str()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(last_message(run.out), dir / "tree_models/standard.ply" + ": file not found");
  EXPECT_EQ(run.err, "");
}

TEST(blockgen, empty_input_still_saves_the_fixed_scene) {
  auto dir = input_folder{};
  auto work = scratch_dir("work");
  auto run = blockgen({"--output", "city/scene.json", dir.str()}, work.str());
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.find("Time"), std::string::npos);  // nothing was built
  auto scene = nlohmann::json::parse(read_file(work / "city/scene.json"));
  EXPECT_EQ(scene["instances"].size(), 1u);  // the floor
  EXPECT_TRUE(scene["cameras"].contains("camera1"));
  EXPECT_TRUE(std::filesystem::exists(work.path / "city/shapes/floor.ply"));
  EXPECT_TRUE(std::filesystem::exists(work.path / "city/shapes/oak.ply"));
  EXPECT_TRUE(std::filesystem::exists(work.path / "city/textures/sky.hdr"));
  EXPECT_TRUE(std::filesystem::exists(work.path / "city/textures/texture5.hdr"));
  // the save progress ends its line
  EXPECT_NE(run.out.find("save done"), std::string::npos);
  EXPECT_EQ(run.out.back(), '\n');
}

TEST(blockgen, info_prints_the_statistics_before_saving) {
  auto dir = input_folder{};
  auto work = scratch_dir("work");
  auto run = blockgen({"-i", "true", dir.str()}, work.str());
  ASSERT_EQ(run.status, 0) << run.out;
  auto stats = run.out.find("\nscene stats ------------\ncameras:                  1\n");
  ASSERT_NE(stats, std::string::npos) << run.out;
  EXPECT_LT(stats, run.out.find("save scene"));
  EXPECT_NE(run.out.find("\nsize:         "), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(work.path / "out.json"));  // the default output
}

TEST(blockgen, unused_options_change_nothing) {
  auto dir = input_folder{};
  write_file(dir / "town.geojson", read_file(SAMPLES_DIR "/town/ways.geojson"));
  auto plain = scratch_dir("plain"), options = scratch_dir("options");
  ASSERT_EQ(blockgen({dir.str()}, plain.str()).status, 0);
  ASSERT_EQ(blockgen({"-c", "(c) somebody", "--no-validate", "true", "--validate", "1", dir.str()},
                     options.str()).status, 0);
  EXPECT_EQ(read_file(plain / "out.json"), read_file(options / "out.json"));
}

TEST(blockgen, output_format_follows_the_extension) {
  auto dir = input_folder{};
  write_file(dir / "town.geojson", read_file(SAMPLES_DIR "/town/ways.geojson"));
  auto work = scratch_dir("work");
  EXPECT_EQ(blockgen({"-o", "scene.obj", dir.str()}, work.str()).status, 0);
  EXPECT_TRUE(std::filesystem::exists(work.path / "scene.obj"));
  EXPECT_TRUE(std::filesystem::exists(work.path / "scene.mtl"));
  EXPECT_EQ(blockgen({"-o", "scene.pbrt", dir.str()}, work.str()).status, 0);
  EXPECT_NE(read_file(work / "scene.pbrt").find("WorldBegin"), std::string::npos);
  EXPECT_EQ(blockgen({"-o", "first.ply", dir.str()}, work.str()).status, 0);
  EXPECT_EQ(read_file(work / "first.ply").substr(0, 4), "ply\n");
  auto run = blockgen({"-o", "sub/scene.txt", dir.str()}, work.str());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(last_message(run.out), "sub/scene.txt: unknown format");
  // the folders are made before the format is looked at
  EXPECT_TRUE(std::filesystem::is_directory(work.path / "sub/shapes"));
  EXPECT_TRUE(std::filesystem::is_directory(work.path / "sub/textures"));
}

TEST(blockgen, output_folder_that_cannot_be_made) {
  auto dir = input_folder{};
  auto work = scratch_dir("out");
  write_file(work / "file", "x");
  auto run = blockgen({"-o", "file/sub/scene.json", dir.str()}, work.str());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(last_message(run.out), "file/sub: cannot create directory");
}

// A shape file that cannot be written in the middle of the save: the run
// ends with the message naming it, and no scene file is left, neither the
// new one nor an earlier one whose shapes were being replaced.
TEST(blockgen, a_shape_that_cannot_be_written_ends_the_run_without_a_scene_file) {
  namespace fs = std::filesystem;
  auto dir = input_folder{};
  for (auto& entry : fs::directory_iterator(SAMPLES_DIR "/town"))
    if (entry.path().extension() == ".geojson") fs::copy(entry.path(), dir.path / entry.path().filename());
  auto work = scratch_dir("work");
  ASSERT_EQ(blockgen({"-o", "city.json", dir.str()}, work.str()).status, 0);
  auto scene = nlohmann::json::parse(read_file(work / "city.json"));
  auto middle = scene["instances"].begin();
  std::advance(middle, scene["instances"].size() / 2);
  auto shape = "shapes/" + middle.value()["shape"].get<std::string>() + ".ply";
  fs::remove(work.path / shape);
  fs::create_directory(work.path / shape);

  auto run = blockgen({"-o", "city.json", dir.str()}, work.str());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(last_message(run.out), "city.json: error in " + shape + ": file not found");
  EXPECT_EQ(run.out.find("save done"), std::string::npos);
  EXPECT_FALSE(fs::exists(work.path / "city.json"));
  for (auto folder : {work.path, work.path / "shapes"})
    for (auto& entry : fs::directory_iterator(folder))
      EXPECT_NE(entry.path().filename().string().rfind(".tmp", 0), 0u) << entry.path();
}
