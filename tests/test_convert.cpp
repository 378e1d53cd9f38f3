// The convert program as the launcher runs it: command line, streams, exit
// status, the files it writes and what independent readers make of them.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "scene/scene.h"
#include "scene/scene_io.h"
#include "scene/shape.h"
#include "scene/shape_io.h"
#include "support/files.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// Every file under a folder, by its path relative to the folder.
std::map<std::string, std::string> files_under(const fs::path& folder) {
  auto files = std::map<std::string, std::string>{};
  if (!fs::exists(folder)) return files;
  for (auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), folder).generic_string()] = read_file(entry.path().string());
  return files;
}

// The sample town built once by blockgen into a JSON scene, for every test.
struct town {
  scratch_dir input{"convert-town-input"}, scene{"convert-town"};
  std::string json = scene / "city.json";
  town() {
    copy_assets(input.str());
    for (auto& entry : fs::directory_iterator(SAMPLES_DIR "/town"))
      if (entry.path().extension() == ".geojson")
        fs::copy(entry.path(), input.path / entry.path().filename());
    auto run = run_program(BLOCKGEN_PATH, {"-o", json, input.str()});
    EXPECT_EQ(run.status, 0) << run.out;
  }
};

const town& sample_town() {
  static const town instance;
  return instance;
}

program_run convert(const std::string& input, const std::string& output) {
  return run_program(CONVERT_PATH, {"--scene", input, "--output", output});
}

}  // namespace

TEST(convert_command_line, help_prints_the_usage_alone) {
  auto run =
      run_program(CONVERT_PATH, {"--help", "true", "--scene", "a.json", "--output", "b.obj"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("usage: convert [options]Convert scene\n", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("  --output,-o <string>          output scene [required]\n"),
            std::string::npos);
  EXPECT_EQ(run.err, "");
}

TEST(convert_command_line, errors_are_one_line_on_standard_error) {
  struct bad_line {
    std::vector<std::string> args;
    std::string              error;
  };
  const bad_line lines[] = {
      {{}, "error: missing value for --scene,-s"},
      {{"--scene", "a.json"}, "error: missing value for --output,-o"},
      {{"--scene", "a.json", "--output"}, "error: missing value for --output"},
      {{"-s", "a.json", "-o", "b.obj", "--fast"}, "error: unknown option --fast"},
      {{"-s", "a.json", "-o", "b.obj", "extra"}, "error: mismatched value for extra"},
      {{"--help", "maybe", "-s", "a.json", "-o", "b.obj"}, "error: bad value for --help/--no-help"},
  };
  for (auto& line : lines) {
    auto run = run_program(CONVERT_PATH, line.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, line.error + "\n");
    // The usage follows on standard output, as blockgen prints it.
    EXPECT_EQ(run.out.rfind("\nusage: convert [options]", 0), 0u) << run.out;
  }
}

TEST(convert_failures, unknown_formats_unreadable_input_and_unwritable_output) {
  auto& city = sample_town();
  auto out = scratch_dir{"convert-failures"};
  write_file(out / "broken.json", "{\"instances\": ");
  write_file(out / "blocker", "a file where a folder would go");
  struct failure {
    std::string input, output, error;
  };
  const failure failures[] = {
      {city.json, out / "city.fbx",
       out / "city.fbx: unknown format (.obj, .pbrt, .gltf, .glb, .json, .stl or .ply)"},
      {city.json, out / "city.Obj",
       out / "city.Obj: unknown format (.obj, .pbrt, .gltf, .glb, .json, .stl or .ply)"},
      {out / "missing.json", out / "city.obj", out / "missing.json: file not found"},
      {out / "broken.json", out / "city.obj", out / "broken.json: parse error in json"},
      {out / "city.geojson", out / "city.obj", out / "city.geojson: unknown format"},
      {city.json, out / "blocker/city.glb", out / "blocker/city.glb: file not found"},
      {city.json, out / "blocker/city.obj", out / "blocker/city.obj: file not found"},
  };
  for (auto& f : failures) {
    auto run = convert(f.input, f.output);
    EXPECT_EQ(run.status, 1) << f.output;
    EXPECT_EQ(run.err, f.error + "\n");
    EXPECT_EQ(run.out.find(f.error), std::string::npos);  // errors stay off standard output
  }
  // Nothing was written but the two files made here.
  EXPECT_EQ(files_under(out.path).size(), 2u);
}

TEST(convert_outputs, obj_and_pbrt_are_the_bytes_blockgen_writes) {
  auto& city = sample_town();
  auto out = scratch_dir{"convert-same"};
  for (auto name : {"obj/city.obj", "pbrt/city.pbrt"}) {
    SCOPED_TRACE(name);
    auto by_blockgen = run_program(
        BLOCKGEN_PATH, {"-o", out / ("blockgen/" + std::string(name)), city.input.str()});
    ASSERT_EQ(by_blockgen.status, 0) << by_blockgen.out;
    auto run = convert(city.json, out / ("convert/" + std::string(name)));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    auto folder = fs::path(name).parent_path().string();
    auto expected = files_under(out.path / "blockgen" / folder);
    auto written = files_under(out.path / "convert" / folder);
    ASSERT_GT(written.size(), 1u);
    for (auto& [file, bytes] : written) EXPECT_TRUE(expected[file] == bytes) << file << " differs";
    // blockgen's scene also holds the façades no building used; their
    // images are all that convert, reading what the scene uses, leaves out.
    for (auto& [file, bytes] : expected) {
      if (!written.count(file)) {
        EXPECT_EQ(file.rfind("textures/texture", 0), 0u) << file;
      }
    }
  }
}

TEST(convert_outputs, json_and_ply_outputs_read_back) {
  auto& city = sample_town();
  auto out = scratch_dir{"convert-json"};
  auto run = convert(city.json, out / "again/city.json");
  ASSERT_EQ(run.status, 0) << run.err;
  auto original = files_under(city.scene.path);
  for (auto& [file, bytes] : files_under(out.path / "again"))
    EXPECT_TRUE(original[file] == bytes) << file << " differs";
  EXPECT_TRUE(path_exists(out / "again/city.json"));

  run = convert(city.json, out / "first.ply");
  ASSERT_EQ(run.status, 0) << run.err;
  auto shape = scene_shape{};
  auto error = std::string{};
  EXPECT_TRUE(load_shape(out / "first.ply", shape, error)) << error;
  EXPECT_FALSE(shape.positions.empty());
}

TEST(convert_outputs, progress_goes_to_standard_output) {
  auto& city = sample_town();
  auto out = scratch_dir{"convert-progress"};
  auto run = convert(city.json, out / "city.glb");
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  // The shapes of a JSON scene are read as the writer takes them: loading
  // reads the document and the textures.
  for (auto message : {"load scene", "load done", "save scene", "save done"})
    EXPECT_NE(run.out.find(message), std::string::npos) << message;
  // Lines are rewritten in place; the last of each of the two tasks,
  // reading and writing, ends its line.
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2);
  EXPECT_EQ(run.out.back(), '\n');
}

TEST(convert_outputs, assimp_reads_the_gltf_glb_and_obj_files) {
  if (!path_exists("/usr/bin/assimp")) GTEST_SKIP() << "assimp is not installed";
  auto& city = sample_town();
  auto out = scratch_dir{"convert-assimp"};
  for (auto name : {"city.gltf", "city.glb", "city.obj"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(convert(city.json, out / name).status, 0);
    auto run = run_program("assimp", {"info", out / name});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    // The town's meshes, materials and its camera arrive.
    auto count = [&](const std::string& label) {
      auto at = run.out.find("\n" + label);
      return at == std::string::npos ? -1 : std::stoi(run.out.substr(at + label.size() + 1));
    };
    EXPECT_GT(count("Meshes:"), 100);
    EXPECT_GT(count("Materials:"), 10);
    EXPECT_GT(count("Faces:"), 1000);
    if (std::string(name) != "city.obj") {
      EXPECT_EQ(count("Cameras:"), 1);
      EXPECT_EQ(count("Lights:"), 1);
    }
  }
}

// Triangles of a scene's shapes as they are drawn, counted once per instance.
static size_t instanced_triangles(const scene_data& scene) {
  auto count = size_t{0};
  for (auto& instance : scene.instances)
    if (instance->shape)
      count += quads_to_triangles(instance->shape->triangles, instance->shape->quads).size();
  return count;
}

TEST(convert_round_trips, every_format_keeps_the_triangles_and_the_bounds) {
  auto& city = sample_town();
  auto out = scratch_dir{"convert-round-trips"};
  auto original = scene_data{};
  auto error = std::string{};
  ASSERT_TRUE(load_scene(city.json, original, error)) << error;
  auto triangles = instanced_triangles(original);
  auto bounds = compute_scene_bounds(original);
  ASSERT_GT(triangles, 1000u);
  auto exported = size_t{0};
  for (auto format : {"obj", "gltf", "glb", "pbrt", "stl"}) {
    SCOPED_TRACE(format);
    auto middle = out / (std::string(format) + "/city." + format);
    auto back = out / (std::string(format) + "-back/city.json");
    auto there = convert(city.json, middle);
    ASSERT_EQ(there.status, 0) << there.err;
    auto again = convert(middle, back);
    ASSERT_EQ(again.status, 0) << again.err;
    auto result = scene_data{};
    ASSERT_TRUE(load_scene(back, result, error)) << error;
    auto kept = instanced_triangles(result);
    if (std::string(format) == "stl") {  // STL keeps triangles alone, every one
      EXPECT_EQ(kept, triangles);
      continue;
    }
    // The exports leave out faces without area and the walls joining an
    // outline to its courtyard; through any of them the same faces come back.
    if (exported == 0) exported = kept;
    EXPECT_EQ(kept, exported);
    EXPECT_LE(kept, triangles);
    EXPECT_GT(kept, triangles * 95 / 100);
    auto box = compute_scene_bounds(result);
    for (auto [a, b] : {std::pair{bounds.min, box.min}, std::pair{bounds.max, box.max}}) {
      EXPECT_NEAR(a.x, b.x, 1e-3f);
      EXPECT_NEAR(a.y, b.y, 1e-3f);
      EXPECT_NEAR(a.z, b.z, 1e-3f);
    }
  }
  // What OBJ cannot hold is said once.
  auto run = convert(city.json, out / "said/city.obj");
  EXPECT_EQ(run.status, 0);
  auto said = out / "said/city.obj: no sky";
  EXPECT_NE(run.out.find(said), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find(said), run.out.rfind(said));
}

TEST(convert_from_store, json_stl_and_ply_are_the_bytes_of_the_whole_scene) {
  auto& city = sample_town();
  auto out = scratch_dir{"convert-store"};
  auto scene = scene_data{};
  auto error = std::string{};
  ASSERT_TRUE(load_scene(city.json, scene, error)) << error;
  for (auto name : {"json/city.json", "stl/city.stl", "ply/first.ply"}) {
    SCOPED_TRACE(name);
    auto whole = out / ("whole/" + std::string(name));
    auto folder = fs::path(whole).parent_path();
    fs::create_directories(folder / "shapes");
    fs::create_directories(folder / "textures");
    ASSERT_TRUE(save_scene(whole, scene, error)) << error;
    auto run = convert(city.json, out / ("convert/" + std::string(name)));
    ASSERT_EQ(run.status, 0) << run.err;
    auto expected = files_under(folder);
    auto written = files_under(out.path / "convert" / fs::path(name).parent_path());
    EXPECT_EQ(written.size(), expected.size());
    for (auto& [file, bytes] : written) EXPECT_TRUE(expected[file] == bytes) << file << " differs";
  }
  // What the format cannot hold is said as for the whole scene.
  auto run = convert(city.json, out / "said/first.ply");
  for (auto& part : unsaved_parts("first.ply", scene))
    EXPECT_NE(run.out.find(out / "said/first.ply: " + part + " (the format cannot hold it)"),
              std::string::npos)
        << part;
}

TEST(convert_from_store, a_shape_that_cannot_be_read_mid_way_leaves_no_output) {
  auto& city = sample_town();
  auto out = scratch_dir{"convert-store-failures"};
  // A copy of the town whose shape files fail in the middle of the scene.
  fs::copy(city.scene.path, out.path / "in", fs::copy_options::recursive);
  auto json = out / "in/city.json";
  auto shapes = std::vector<fs::path>{};
  for (auto& entry : fs::directory_iterator(out.path / "in/shapes")) shapes.push_back(entry.path());
  std::sort(shapes.begin(), shapes.end());
  ASSERT_GT(shapes.size(), 10u);
  auto broken = shapes[shapes.size() / 2], missing = shapes[shapes.size() / 2 + 1];
  write_file(broken.string(), "ply\nformat ascii 1.0\nelement vertex 1\n");
  fs::remove(missing);
  auto scene = scene_data{};
  auto reader_error = std::string{};
  ASSERT_FALSE(load_scene(json, scene, reader_error));
  // The export writers read each shape once, a few at a time ahead of the
  // writing: the failure is the first in their order, told the same way.
  for (auto name : {"city.json", "city.stl", "city.glb", "city.gltf", "city.obj", "city.pbrt"}) {
    SCOPED_TRACE(name);
    auto run = convert(json, out / ("out/" + std::string(name)));
    EXPECT_EQ(run.status, 1);
    // One line, the reader's own, naming the shape file.
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.err.find(broken.generic_string()) != std::string::npos ||
                run.err.find(missing.stem().generic_string()) != std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.rfind(json + ": error in ", 0), 0u) << run.err;
    EXPECT_FALSE(path_exists(out / ("out/" + std::string(name))));
  }
  // Only the shapes before the broken one were written; no document, no
  // temporary left beside it.
  for (auto& [file, bytes] : files_under(out.path / "out"))
    EXPECT_EQ(file.rfind("shapes/", 0), 0u) << file;
  // A name that is no file name is refused before anything is read.
  write_file(json, R"({"instances": {"i": {"shape": "../../escape"}}})");
  auto run = convert(json, out / "named/city.json");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, json + ": error in instance \"i\": shape \"../../escape\" is not a valid "
                            "file name\n");
  EXPECT_TRUE(files_under(out.path / "named").empty());
}

// A disk that fills up while the output is put together, stood in for by a
// file size limit just below the finished file's size: every file written
// before it (the spooled buffer parts, the shapes) fits, the largest does not.
// The run fails with one line naming the output, and leaves neither it nor a
// temporary behind.
TEST(convert_failures, a_disk_that_fills_up_while_the_output_is_assembled) {
  auto& city = sample_town();
  auto out = scratch_dir{"convert-full-disk"};
  struct output_case {
    const char* name;     // the output
    const char* largest;  // the file the limit is set below
  };
  for (auto c : {output_case{"city.glb", "city.glb"}, output_case{"city.gltf", "city.bin"},
                 output_case{"city.obj", "city.obj"}, output_case{"city.stl", "city.stl"}}) {
    SCOPED_TRACE(c.name);
    auto fits = out / ("fits/" + std::string(c.name));
    ASSERT_EQ(convert(city.json, fits).status, 0);
    auto largest = fs::file_size(out.path / "fits" / c.largest);
    ASSERT_GT(largest, 4096u);
    // The limit counts blocks of 1024 bytes: the last block does not fit.
    auto blocks = (largest - 1) / 1024;
    auto folder = out / ("full-" + std::string(c.name));
    fs::create_directories(folder);
    auto command = "ulimit -f " + std::to_string(blocks) + "; trap '' XFSZ; exec " +
                   shell_quote(CONVERT_PATH) + " --scene " + shell_quote(city.json) +
                   " --output " + shell_quote(folder + "/" + c.name);
    auto run = run_program("bash", {"-c", command});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find(folder + "/"), std::string::npos) << run.err;
    EXPECT_FALSE(path_exists(folder + "/" + c.name));
    for (auto& [file, bytes] : files_under(folder))
      EXPECT_EQ(fs::path(file).filename().string().rfind(".tmp-", 0), std::string::npos) << file;
  }
}

TEST(convert_from_store, a_scene_converted_onto_itself_stays_whole) {
  auto& city = sample_town();
  auto out = scratch_dir{"convert-onto-itself"};
  fs::copy(city.scene.path, out.path / "in", fs::copy_options::recursive);
  auto json = out / "in/city.json";
  auto before = files_under(out.path / "in");
  ASSERT_GT(before.size(), 10u);
  // The same file under another spelling of its path is the same file too.
  for (auto output : {json, out / "in/./city.json"}) {
    SCOPED_TRACE(output);
    auto run = convert(json, output);
    EXPECT_EQ(run.status, 0) << run.err;
    auto after = files_under(out.path / "in");
    EXPECT_EQ(after.size(), before.size());
    for (auto& [file, bytes] : before) EXPECT_TRUE(after[file] == bytes) << file << " differs";
  }
  // A .pbrt beside the scene would put its prepared meshes over the scene's
  // shapes: it is refused, and nothing changes.
  for (auto output : {out / "in/city.pbrt", out / "in/../in/other.pbrt"}) {
    SCOPED_TRACE(output);
    auto run = convert(json, output);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, output + ": would overwrite the shapes of " + json +
                           "; write it into another folder\n");
    auto after = files_under(out.path / "in");
    EXPECT_EQ(after.size(), before.size());
    for (auto& [file, bytes] : before) EXPECT_TRUE(after[file] == bytes) << file << " differs";
  }
  auto scene = scene_data{};
  auto error = std::string{};
  EXPECT_TRUE(load_scene(json, scene, error)) << error;
  EXPECT_FALSE(scene.shapes.empty());
}
