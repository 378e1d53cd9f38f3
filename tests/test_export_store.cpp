// The export writers that take a compact store: what they write from an
// unprepared store equals what the in-memory writers write for the prepared
// scene, and a shape that fails mid-way leaves nothing that looks complete.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <thread>

#include "scene/export_scene.h"
#include "scene/gltf_scene.h"
#include "scene/json_scene.h"
#include "scene/scene_io.h"
#include "scene/store_reader.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// Every file under a folder, by its path inside it, with its bytes.
std::map<std::string, std::string> files_under(const std::string& folder) {
  auto files = std::map<std::string, std::string>{};
  for (auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), folder).generic_string()] = read_file(entry.path().string());
  return files;
}

// A city of its own: blocks of buildings of a few heights side by side,
// roads that cross over a park and a pond (flat layers that overlap), and
// trees.
void write_synthetic_city(const std::string& folder) {
  auto text = std::string{"{\"type\":\"FeatureCollection\",\"features\":["};
  auto first = true;
  auto add = [&](const std::string& properties, const std::string& type,
                 const std::string& coordinates) {
    text += first ? "" : ",";
    first = false;
    text += "{\"type\":\"Feature\",\"properties\":{" + properties + "},\"geometry\":{\"type\":\"" +
            type + "\",\"coordinates\":" + coordinates + "}}";
  };
  auto square = [](double x, double y, double size) {
    auto c = [](double a, double b) { return "[" + std::to_string(a) + "," + std::to_string(b) + "]"; };
    return "[[" + c(x, y) + "," + c(x + size, y) + "," + c(x + size, y + size) + "," +
           c(x, y + size) + "," + c(x, y) + "]]";
  };
  for (int i = 0; i < 6; i++) {
    for (int j = 0; j < 6; j++) {
      auto levels = std::to_string(1 + (i * 7 + j * 3) % 9);
      add("\"building\":\"yes\",\"building:levels\":\"" + levels + "\"" +
              ((i + j) % 3 == 0 ? ",\"roof:shape\":\"pyramidal\"" : ""),
          "Polygon", square(126.90 + i * 0.001, 35.10 + j * 0.001, 0.0008));
    }
  }
  add("\"leisure\":\"park\"", "Polygon", square(126.897, 35.097, 0.004));
  add("\"natural\":\"water\"", "Polygon", square(126.898, 35.098, 0.001));
  add("\"highway\":\"primary\"", "LineString", "[[126.896,35.1005],[126.908,35.1005]]");
  add("\"highway\":\"residential\"", "LineString", "[[126.9005,35.096],[126.9005,35.108]]");
  add("\"highway\":\"footway\"", "LineString", "[[126.896,35.096],[126.908,35.108]]");
  for (int k = 0; k < 12; k++)
    add("\"natural\":\"tree\"", "Point",
        "[" + std::to_string(126.8975 + k * 0.0003) + "," + std::to_string(35.0975 + k * 0.0002) + "]");
  text += "]}";
  fs::create_directories(folder);
  write_file(folder + "/city.geojson", text);
  copy_assets(folder);
}

// Saves the store in each format, and the scene `make_whole` makes
// prepared in memory: the files must be the same.
void expect_store_writes_what_memory_writes(const scratch_dir& dir, const scene_data& scene,
                                            const json_scene_store& store,
                                            const std::vector<const char*>& extensions,
                                            const std::function<void(scene_data&)>& make_whole) {
  auto error = std::string{};
  for (auto ext : extensions) {
    SCOPED_TRACE(ext);
    auto streamed = dir / (std::string("streamed") + (ext + 1));
    auto whole = dir / (std::string("whole") + (ext + 1));
    fs::create_directories(streamed), fs::create_directories(whole);
    ASSERT_TRUE(save_scene(streamed + "/city" + ext, scene, store, error)) << error;
    auto again = scene_data{};
    make_whole(again);
    prepare_export_scene(again);
    ASSERT_TRUE(save_scene(whole + "/city" + ext, again, error)) << error;
    EXPECT_TRUE(files_under(streamed) == files_under(whole));
  }
}

}  // namespace

// blockgen writes glTF, GLB and OBJ from the store; with --info it builds the
// whole scene and writes it with the in-memory writer. Both must agree byte
// for byte, lifted layers and oriented walls included.
TEST(export_store, streamed_files_equal_the_in_memory_ones) {
  auto dir = scratch_dir("store");
  auto town = dir / "town";
  fs::create_directories(town);
  for (auto& entry : fs::directory_iterator(std::string(SAMPLES_DIR) + "/town"))
    if (entry.path().extension() == ".geojson") fs::copy(entry.path(), town);
  copy_assets(town);
  write_synthetic_city(dir / "synthetic");
  for (auto input : {"town", "synthetic"}) {
    for (auto ext : {"glb", "gltf", "obj"}) {
      SCOPED_TRACE(std::string(input) + " " + ext);
      auto streamed = dir / (std::string("streamed-") + input + ext);
      auto whole = dir / (std::string("whole-") + input + ext);
      auto a = run_program(BLOCKGEN_PATH, {"-o", streamed + "/city." + ext, dir / input});
      auto b = run_program(BLOCKGEN_PATH, {"--info", "true", "-o", whole + "/city." + ext, dir / input});
      ASSERT_EQ(a.status, 0) << a.out;
      ASSERT_EQ(b.status, 0) << b.out;
      auto left = files_under(streamed), right = files_under(whole);
      ASSERT_FALSE(left.empty());
      ASSERT_EQ(left.size(), right.size());
      for (auto& [name, bytes] : left) {
        ASSERT_TRUE(right.count(name)) << name;
        EXPECT_TRUE(bytes == right[name]) << name << " differs";
        EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
      }
    }
  }
}

// The store path prepares the shapes it takes: a store of the unprepared
// scene gives the file the in-memory writer gives for the prepared one.
TEST(export_store, an_unprepared_store_is_prepared_as_it_is_written) {
  auto dir = scratch_dir("prepare");
  auto scene = scene_data{};
  auto camera = add_camera(scene, "camera");
  camera->ortho = true;  // its far plane comes from the prepared bounds
  // Two overlapping flat squares at one height (lifted apart), and walls.
  for (auto name : {"a", "b"}) {
    auto instance = add_complete_instance(scene, name);
    auto offset = std::string(name) == "a" ? 0.0f : 0.5f;
    instance->shape->positions = {{offset, 0, 0}, {offset + 1, 0, 0}, {offset + 1, 0, 1}, {offset, 0, 1}};
    instance->shape->quads = {{0, 1, 2, 3}};
  }
  auto walls = add_complete_instance(scene, "walls");
  walls->shape->positions = {{0, 2, 0}, {1, 2, 0}, {1, 2, 1}, {0, 2, 1}};
  for (int k = 0; k < 4; k++) {
    auto prev = (k + 3) % 4;
    walls->shape->positions.push_back({walls->shape->positions[(size_t)k].x, 0, walls->shape->positions[(size_t)k].z});
    walls->shape->positions.push_back({walls->shape->positions[(size_t)prev].x, 0, walls->shape->positions[(size_t)prev].z});
    walls->shape->quads.push_back({prev, k, 4 + 2 * k, 4 + 2 * k + 1});
  }
  auto store = json_scene_store{};
  add_scene_records(store, scene, {});
  // The same records, prepared in memory.
  expect_store_writes_what_memory_writes(dir, scene, store, {".glb", ".gltf", ".obj"}, [&](scene_data& again) {
    for (auto& c : scene.cameras) *add_camera(again, c->name) = *c;
    for (auto& i : scene.instances) {
      auto instance = add_complete_instance(again, i->name);
      *instance->shape = *i->shape;
    }
  });
}

// Names of several material records are laid over each other, and the
// store path keeps each merged look once: names that merge alike share it,
// and each instance still shows the look its own name merges to.
TEST(export_store, materials_of_several_records_merge_by_name) {
  auto dir = scratch_dir("merged");
  struct layer {
    const char* name;
    vec3f       over;  // the colour a later record of the name gives
    float       roughness;
  };
  auto layers = std::vector<layer>{{"a", {1, 0, 0}, 0.5f}, {"b", {1, 0, 0}, 0.5f},
                                   {"c", {0, 0, 1}, 0.5f}, {"d", {1, 0, 0}, 0.2f}};
  auto make_scene = [&](scene_data& scene) {
    for (size_t k = 0; k < layers.size(); k++) {
      auto instance = add_complete_instance(scene, layers[k].name);
      auto x = (float)(2 * k);
      instance->shape->positions = {{x, 0, 0}, {x + 1, 0, 0}, {x + 1, 1, 0}, {x, 1, 0}};
      instance->shape->quads = {{0, 1, 2, 3}};
      instance->material->color = {0.5f, 0.5f, 0.5f};
      instance->material->roughness = 0.9f;
    }
    for (auto& l : layers) {
      auto later = add_material(scene, l.name);
      later->color = l.over;
      later->roughness = l.roughness;
    }
  };
  auto scene = scene_data{};
  make_scene(scene);
  auto store = json_scene_store{};
  add_scene_records(store, scene, {});
  auto plan = store_export_plan{};
  auto error = std::string{};
  ASSERT_TRUE(plan_store_export(dir / "plan.glb", store, true, plan, error)) << error;
  EXPECT_EQ(plan.merged.size(), 3u);  // a and b merge alike
  ASSERT_EQ(plan.instances.size(), layers.size());
  for (size_t i = 0; i < plan.instances.size(); i++) {
    auto& l = layers[i];
    SCOPED_TRACE(l.name);
    auto m = keyed_material(store, plan, plan.instances[i]);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->color, l.over);
    EXPECT_EQ(m->roughness, l.roughness);
  }
  plan = {};
  expect_store_writes_what_memory_writes(dir, scene, store, {".glb", ".gltf", ".obj", ".pbrt"},
                                         make_scene);
}

// A store written once lets go of its packed geometry during the save, and
// the file is the one a store kept whole gives.
TEST(export_store, a_store_written_once_gives_the_same_file) {
  auto dir = scratch_dir("once");
  auto scene = scene_data{};
  for (int k = 0; k < 3; k++) {
    auto instance = add_complete_instance(scene, "b" + std::to_string(k));
    auto x = (float)(3 * k);
    instance->shape->positions = {{x, 0, 0}, {x + 2, 0, 0}, {x + 2, 0, 2}, {x, 0, 2},
                                  {x, 1, 0}, {x + 2, 1, 0}, {x + 2, 1, 2}, {x, 1, 2}};
    instance->shape->quads = {{0, 1, 2, 3}, {4, 5, 6, 7}, {0, 1, 5, 4}};
  }
  for (auto ext : {".glb", ".gltf", ".obj", ".pbrt"}) {
    SCOPED_TRACE(ext);
    auto kept = json_scene_store{}, once = json_scene_store{};
    add_scene_records(kept, scene, {});
    add_scene_records(once, scene, {});
    once.written_once = true;
    auto error = std::string{};
    auto a = dir / (std::string("kept") + (ext + 1)), b = dir / (std::string("once") + (ext + 1));
    fs::create_directories(a), fs::create_directories(b);
    ASSERT_TRUE(save_scene(a + "/city" + ext, scene, kept, error)) << error;
    ASSERT_TRUE(save_scene(b + "/city" + ext, scene, once, error)) << error;
    EXPECT_TRUE(files_under(a) == files_under(b));
    EXPECT_TRUE(once.word_blocks.empty());
    EXPECT_FALSE(kept.word_blocks.empty());
    // A shape asked for after the save is refused, never read as empty.
    auto scratch = scene_shape{};
    auto shape = store_shape_geometry(kept, 1, scratch, error);
    ASSERT_NE(shape, nullptr) << error;
    EXPECT_EQ(shape->positions.size(), 8u);
    error.clear();
    EXPECT_EQ(store_shape_geometry(once, 1, scratch, error), nullptr);
    EXPECT_NE(error.find("\"b1\""), std::string::npos) << error;
  }
}

// A shape that cannot be written stops the save at that shape: one error
// naming it, no file at the output's name and no part left beside it.
TEST(export_store, a_shape_that_fails_midway_leaves_no_output) {
  auto dir = scratch_dir("fail");
  auto scene = scene_data{};
  for (auto name : {"first", "broken", "last"}) {
    auto instance = add_complete_instance(scene, name);
    instance->shape->positions = {{0, 1, 0}, {1, 1, 0}, {0, 2, 1}};
    instance->shape->triangles = {{0, 1, 2}};
  }
  scene.shapes[1]->triangles = {{0, 1, 7}};
  auto store = json_scene_store{};
  add_scene_records(store, scene, {});
  for (auto ext : {".glb", ".gltf", ".obj"}) {
    SCOPED_TRACE(ext);
    auto folder = dir / (std::string("out") + (ext + 1));
    fs::create_directories(folder);
    auto filename = folder + "/city" + ext;
    auto error = std::string{};
    EXPECT_FALSE(save_scene(filename, scene, store, error));
    EXPECT_EQ(error, filename + ": error in shape \"broken\": index out of range");
    EXPECT_TRUE(files_under(folder).empty());
  }
}

// A disk that fills up part-way (here: the file size limit) fails the
// export with an error that names the file, and leaves nothing behind,
// whether the limit is met near the start of the file (the camera and the
// materials, the document) or near its end (the last of the buffer's parts
// put together, the last instances).
TEST(export_store, an_output_that_cannot_be_written_leaves_nothing) {
  auto dir = scratch_dir("full");
  auto scene = scene_data{};
  for (int i = 0; i < 300; i++) {
    auto instance = add_complete_instance(scene, "n" + std::to_string(i));
    instance->shape->positions = {{(float)i, 1, 0}, {(float)i + 1, 1, 0}, {(float)i, 2, 1}};
    instance->shape->triangles = {{0, 1, 2}};
    instance->material->color = {i / 300.0f, 0.5f, 0.25f};
  }
  auto store = json_scene_store{};
  add_scene_records(store, scene, {});
  for (auto ext : {".glb", ".gltf", ".obj", ".pbrt"}) {
    auto error = std::string{};
    auto whole = dir / ("whole" + std::string(ext + 1));
    fs::create_directories(whole);
    ASSERT_TRUE(save_scene(whole + "/city" + ext, scene, store, error)) << error;
    auto size = (rlim_t)fs::file_size(whole + "/city" + ext);
    for (auto limit : {(rlim_t)2048, size - 64}) {
      SCOPED_TRACE(std::string(ext) + " limited to " + std::to_string(limit) + " of " +
                   std::to_string(size) + " bytes");
      ASSERT_GT(limit, 1000u);
      auto folder = dir / ("out" + std::string(ext + 1) + std::to_string(limit));
      fs::create_directories(folder);
      auto filename = folder + "/city" + ext;
      auto saved = [&] {
        auto full = file_size_limit{limit};
        return save_scene(filename, scene, store, error);
      }();
      EXPECT_FALSE(saved);
      EXPECT_EQ(error.rfind(filename, 0), 0u) << error;
      EXPECT_NE(error.find("write error"), std::string::npos) << error;
      auto left = std::string{};
      for (auto& [name, bytes] : files_under(folder)) left += " " + name;
      EXPECT_EQ(left, "");
    }
  }
}

// The read-ahead gives the taker every shape in the order asked for, as the
// reading threads prepared it, and stops at the first shape of that order
// that cannot be read, whichever thread came to it first.
TEST(store_reader, shapes_come_in_the_order_asked_and_stop_at_the_first_failure) {
  auto dir = scratch_dir("store-reader");
  auto scene = scene_data{};
  const int count = 700;  // enough for the threaded path
  for (int i = 0; i < count; i++) {
    auto instance = add_complete_instance(scene, "s" + std::to_string(i));
    instance->shape->positions = {{(float)i, 0, 0}, {(float)i + 1, 0, 0}, {(float)i, 0, 1}};
    instance->shape->triangles = {{0, 1, 2}};
  }
  auto json = dir / "city.json";
  auto error = std::string{};
  fs::create_directories(dir.path / "shapes");
  ASSERT_TRUE(save_scene(json, scene, error)) << error;
  auto order = std::vector<uint32_t>{};
  for (int i = 0; i < count; i++) order.push_back((uint32_t)((i * 389) % count));  // a permutation

  struct reader_case {
    const char*      name;
    std::vector<int> broken;   // shapes whose files are damaged, by name number
    bool             slow;     // the taker lags, so the readers fill the ring and wait
    int              stop_at;  // the place where the taker says stop, or -1
    int              no_memory = -1;  // the shape whose preparing runs out of memory
  };
  const reader_case cases[] = {
      {"every shape readable", {}, false, -1},
      {"a taker slower than the readers", {}, true, -1},
      {"a taker that stops", {}, true, 450},
      {"memory running out on a reading thread", {}, false, -1, 300},
      // Damaged files stay damaged for the cases after.
      {"two damaged shapes", {600, 400}, false, -1},
      {"a slow taker and damaged shapes", {600, 400, 650}, true, -1},
      // Shape 545 is the sixth of the order: the reading stops before the
      // readers are far ahead.
      {"a damaged shape among the first", {600, 400, 650, 545}, false, -1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (auto b : c.broken)
      write_file(dir / ("shapes/s" + std::to_string(b) + ".ply"), "ply\nformat ascii 1.0\n");
    for (int run = 0; run < 4; run++) {
      auto loaded = scene_data{};
      auto store = json_scene_store{};
      ASSERT_TRUE(load_json_scene_store(json, loaded, store, error)) << error;
      ASSERT_EQ(store.shapes.size(), (size_t)count);
      auto number_of = [&](size_t index) {
        return std::stoi(std::string{store_name(store, store.shapes[index].name).substr(1)});
      };
      // The taker gets every shape before the first damaged one of the order.
      auto expected = c.stop_at >= 0 ? c.stop_at + 1 : count;
      for (int k = count - 1; k >= 0; k--) {
        auto number = number_of(order[(size_t)k]);
        if (number == c.no_memory) expected = k;
        for (auto b : c.broken)
          if (number == b) expected = k;
      }
      auto taken = 0;
      auto prepare = [&](size_t index, const scene_shape*& shape, scene_shape& scratch) {
        if (number_of(index) == c.no_memory) throw std::bad_alloc{};
        scratch.positions = shape->positions;
        scratch.positions[0].y = 5;  // marks the shape as prepared
        shape = &scratch;
      };
      auto take = [&](size_t k, size_t index, const scene_shape& shape) {
        EXPECT_EQ(k, (size_t)taken);
        EXPECT_EQ(index, order[k]);
        // Shape files are named after their shapes; the geometry is the one
        // written for that name, prepared.
        EXPECT_EQ(shape.positions.at(0).x, (float)number_of(index));
        EXPECT_EQ(shape.positions.at(0).y, 5.0f);
        taken++;
        if (c.slow && k % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        return (int)k != c.stop_at;
      };
      auto read_error = std::string{};
      if (c.no_memory >= 0) {
        // Thrown again where the shapes are taken.
        EXPECT_THROW(read_store_shapes(store, order, prepare, take, read_error), std::bad_alloc);
        EXPECT_EQ(taken, expected);
        continue;
      }
      auto ok = read_store_shapes(store, order, prepare, take, read_error);
      EXPECT_EQ(ok, c.broken.empty() && c.stop_at < 0);
      EXPECT_EQ(taken, expected);
      if (c.stop_at >= 0) {
        EXPECT_EQ(read_error, "");
      }
      if (!c.broken.empty()) {
        ASSERT_LT(expected, count);
        auto first = "/s" + std::to_string(number_of(order[(size_t)expected])) + ".ply";
        EXPECT_NE(read_error.find(first), std::string::npos) << read_error;
        EXPECT_EQ(store_read_failure(store), read_error);
      }
    }
  }
}
