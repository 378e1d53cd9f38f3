// The view program as a user runs it, on a virtual display (xvfb-run with
// Mesa's software renderer): screenshots of the sample town from the five
// formats agree, a real window opens and closes, damaged files end the
// program with one line before any window, stacked flat layers show
// without z-fighting, and the window's first frame with geometry is on the
// screen, for a big city before the rest of it is made.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>

#include "scene/image.h"
#include "test_util.h"

namespace {

// The screen of a virtual display as its server keeps it in a file (an X
// window dump of 32-bit pixels, blue first); an empty image when it is not one.
image4b read_screen(const std::string& path) {
  auto data = read_file(path);
  auto field = [&](size_t k) {
    auto b = (const unsigned char*)data.data() + 4 * k;
    return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | (uint32_t)b[3];
  };
  if (data.size() < 100) return {};
  auto header = field(0), width = field(4), height = field(5), bits = field(11), line = field(12);
  auto start = (size_t)header + (size_t)field(19) * 12;
  if (bits != 32 || line < 4 * width || data.size() < start + (size_t)line * height) return {};
  auto image = image4b{(int)width, (int)height, std::vector<vec4b>((size_t)width * height)};
  for (size_t y = 0; y < height; y++)
    for (size_t x = 0; x < width; x++) {
      auto p = (const unsigned char*)data.data() + start + y * line + 4 * x;
      image.pixels[y * width + x] = {p[2], p[1], p[0], 255};
    }
  return image;
}

// The options that start a virtual display for xvfb-run. Each test process
// looks for a free server number from a start of its own (xvfb-run's -a
// tries the next one when a server holds it), so that tests running side by
// side seldom try the same number at once.
std::vector<std::string> display_options() {
  return {"-n", std::to_string(200 + 10 * (::getpid() % 500)), "-a"};
}

// Runs the program's window in `folder` on a scene until a line shows on
// its standard output, then ends it by a termination signal; the program
// must end with 0. The virtual display keeps its screen in a file: a second
// after the `shot` line (the first frame's) it is copied to
// `folder`/screen.xwd. Returns the program's standard output.
std::string run_window_until(const std::string& folder, const std::string& scene,
                             const std::string& line, const std::string& out,
                             const std::string& options = "", const std::string& shot = "first frame") {
  std::filesystem::create_directories(folder + "/screen");
  auto script = "cd " + shell_quote(folder) + " || exit 1; " + shell_quote(VIEW_PATH) +
                " --scene " + shell_quote(scene) + " " + options + " > " + out + " & pid=$!; "
                "for i in $(seq 1 1200); do grep -q '" + shot + "' " + out + " && break; "
                "kill -0 $pid 2>/dev/null || break; sleep 0.05; done; "
                "sleep 1; cp screen/Xvfb_screen0 screen.xwd; "
                "for i in $(seq 1 1200); do grep -q '" + line + "' " + out + " && break; "
                "kill -0 $pid 2>/dev/null || break; sleep 0.05; done; "
                "kill -TERM $pid; "
                "for i in $(seq 1 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done; "
                "if kill -0 $pid 2>/dev/null; then kill -KILL $pid; echo still-running; fi; "
                "wait $pid; echo \"status=$?\"";
  auto args = display_options();
  args.insert(args.end(), {"-s", "-screen 0 1280x720x24 -fbdir " + folder + "/screen", "sh", "-c", script});
  auto result = run_program("xvfb-run", args);
  EXPECT_EQ(result.out.find("still-running"), std::string::npos) << line;
  EXPECT_NE(result.out.find("status=0"), std::string::npos) << line << "\n" << result.out << result.err;
  return read_file(folder + "/" + out);
}

// Two screenshots agree when their mean absolute difference per channel is
// below these many levels of 255. The OBJ's material library carries the
// town's metallic water as a dark diffuse colour (diffuse = colour times
// one minus metallic), so its water, and the shadows cast on it, differ
// from the other formats.
constexpr double same_scene_levels = 1.0;
constexpr double obj_levels        = 4.0;
// A pixel differs from another when a channel differs by more than this.
constexpr int distinct_levels = 12;

program_run run_view(const std::vector<std::string>& args, bool display = true) {
  if (!display) return run_program(VIEW_PATH, args);
  auto full = display_options();
  full.push_back(VIEW_PATH);
  full.insert(full.end(), args.begin(), args.end());
  return run_program("xvfb-run", full);
}

image4b load_png(const std::string& path) {
  auto image = image4b{};
  auto error = std::string{};
  EXPECT_TRUE(load_image(path, image, error)) << error;
  return image;
}

double mean_difference(const image4b& a, const image4b& b) {
  if (a.width != b.width || a.height != b.height) return 255;
  auto sum = 0.0;
  for (size_t i = 0; i < a.pixels.size(); i++) {
    sum += std::abs(a.pixels[i].x - b.pixels[i].x) + std::abs(a.pixels[i].y - b.pixels[i].y) +
           std::abs(a.pixels[i].z - b.pixels[i].z);
  }
  return sum / (3.0 * (double)a.pixels.size());
}

bool distinct(const vec4b& a, const vec4b& b) {
  return std::abs(a.x - b.x) > distinct_levels || std::abs(a.y - b.y) > distinct_levels ||
         std::abs(a.z - b.z) > distinct_levels;
}

// The share of pixels for which `test` holds.
template <typename Test>
double share(const image4b& image, Test&& test) {
  auto count = 0.0;
  for (size_t i = 0; i < image.pixels.size(); i++) count += test(i, image.pixels[i]) ? 1 : 0;
  return count / (double)image.pixels.size();
}

// The sample town as blockgen writes it and as convert writes it in the
// four other formats, made once for all tests.
class ViewProgram : public ::testing::Test {
 protected:
  static inline scratch_dir* dir = nullptr;
  static inline std::map<std::string, std::string> town = {};

  static void SetUpTestSuite() {
    dir = new scratch_dir("view-program");
    std::filesystem::create_directories(*dir / "in");
    for (auto& entry : std::filesystem::directory_iterator(std::string(SAMPLES_DIR) + "/town"))
      std::filesystem::copy(entry.path(), *dir / ("in/" + entry.path().filename().string()));
    copy_assets(*dir / "in");
    town["json"] = *dir / "json/city.json";
    auto run = run_program(BLOCKGEN_PATH, {"-o", town["json"], *dir / "in"});
    ASSERT_EQ(run.status, 0) << run.out;
    for (auto ext : {"obj", "gltf", "glb", "pbrt"}) {
      town[ext] = *dir / (std::string(ext) + "/city." + ext);
      run = run_program(CONVERT_PATH, {"--scene", town["json"], "--output", town[ext]});
      ASSERT_EQ(run.status, 0) << run.err;
    }
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }

  // A screenshot of a scene with extra options; fails the test when the
  // program does.
  static image4b screenshot(const std::string& scene, const std::string& name,
                            std::vector<std::string> options = {}) {
    auto path = *dir / (name + ".png");
    auto args = std::vector<std::string>{"--scene", scene, "--screenshot", path};
    args.insert(args.end(), options.begin(), options.end());
    auto run = run_view(args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("screenshot written to " + path), std::string::npos) << run.out;
    return load_png(path);
  }
};

}  // namespace

// Every format seen from the same view (one that frames the town) with the
// same light gives the same picture, and the town fills it.
TEST_F(ViewProgram, FiveFormatsOfTheTownAgree) {
  auto plain = std::vector<std::string>{"--frame", "true", "--sky", "false"};
  auto reference = screenshot(town["json"], "framed-json", plain);
  ASSERT_EQ(reference.width, 1280);
  ASSERT_EQ(reference.height, 720);
  for (auto ext : {"obj", "gltf", "glb", "pbrt"}) {
    auto image = screenshot(town[ext], std::string("framed-") + ext, plain);
    auto difference = mean_difference(reference, image);
    RecordProperty(std::string("mean_difference_") + ext, std::to_string(difference));
    EXPECT_LT(difference, std::string(ext) == "obj" ? obj_levels : same_scene_levels) << ext;
  }

  // The backdrop alone: a tiny triangle framed from the same direction.
  auto tiny = *dir / "tiny.stl";
  write_file(tiny, "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1e-3 0 0\n"
                   "vertex 0 1e-3 0\nendloop\nendfacet\nendsolid t\n");
  auto backdrop = screenshot(tiny, "backdrop", plain);
  auto scene_share = share(reference, [&](size_t i, const vec4b& p) { return distinct(p, backdrop.pixels[i]); });
  // The ground square is the most common colour of the scene; the town is
  // what differs from both.
  auto counts = std::map<uint32_t, int>{};
  for (size_t i = 0; i < reference.pixels.size(); i++)
    if (distinct(reference.pixels[i], backdrop.pixels[i])) {
      auto& p = reference.pixels[i];
      counts[(uint32_t)p.x << 16 | (uint32_t)p.y << 8 | p.z]++;
    }
  auto ground = std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
  auto ground_pixel = vec4b{(uint8_t)(ground >> 16), (uint8_t)(ground >> 8), (uint8_t)ground, 255};
  auto town_share = share(reference, [&](size_t i, const vec4b& p) {
    return distinct(p, backdrop.pixels[i]) && distinct(p, ground_pixel);
  });
  RecordProperty("scene_share", std::to_string(scene_share));
  RecordProperty("town_share", std::to_string(town_share));
  EXPECT_GT(scene_share, 0.5);
  EXPECT_GT(town_share, 0.05);
}

// The scene's own camera, carried by every format but OBJ, and the scene's
// sky and sun, carried by the JSON scene and the PBRT file.
TEST_F(ViewProgram, SceneCameraAndSkyAgreeAcrossFormats) {
  auto reference = screenshot(town["json"], "camera-json", {"--sky", "false"});
  for (auto ext : {"gltf", "glb", "pbrt"}) {
    auto image = screenshot(town[ext], std::string("camera-") + ext, {"--sky", "false"});
    auto difference = mean_difference(reference, image);
    RecordProperty(std::string("mean_difference_") + ext, std::to_string(difference));
    EXPECT_LT(difference, same_scene_levels) << ext;
  }
  auto sky = screenshot(town["json"], "sky-json");
  auto pbrt = screenshot(town["pbrt"], "sky-pbrt");
  RecordProperty("mean_difference_sky_pbrt", std::to_string(mean_difference(sky, pbrt)));
  EXPECT_LT(mean_difference(sky, pbrt), same_scene_levels);
  // The sky is shown, not the plain backdrop: the two pictures differ.
  EXPECT_GT(mean_difference(sky, reference), 4.0);
}

TEST_F(ViewProgram, StlRendersAtTheRequestedSize) {
  // A unit cube, twelve facets.
  auto cube = std::string{"solid cube\n"};
  int faces[6][4][3] = {{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}},
                        {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}}, {{0, 1, 0}, {1, 1, 0}, {1, 1, 1}, {0, 1, 1}},
                        {{0, 0, 0}, {0, 1, 0}, {0, 1, 1}, {0, 0, 1}}, {{1, 0, 0}, {1, 1, 0}, {1, 1, 1}, {1, 0, 1}}};
  for (auto& f : faces)
    for (auto tri : {std::array<int, 3>{0, 1, 2}, std::array<int, 3>{0, 2, 3}}) {
      cube += "facet normal 0 0 0\nouter loop\n";
      for (auto k : tri)
        cube += "vertex " + std::to_string(f[k][0]) + " " + std::to_string(f[k][1]) + " " +
                std::to_string(f[k][2]) + "\n";
      cube += "endloop\nendfacet\n";
    }
  cube += "endsolid cube\n";
  write_file(*dir / "cube.stl", cube);
  auto image = screenshot(*dir / "cube.stl", "cube", {"--width", "320", "--height", "200"});
  ASSERT_EQ(image.width, 320);
  ASSERT_EQ(image.height, 200);
  // The framed cube fills the middle; three faces show in three shades.
  auto center = image.pixels[100 * 320 + 160];
  auto corner = image.pixels[0];
  EXPECT_TRUE(distinct(center, corner));
  auto shades = std::set<uint32_t>{};
  for (auto& p : image.pixels)
    if (distinct(p, corner) && std::abs(p.x - p.y) < 3) shades.insert((uint32_t)p.x / 8);
  EXPECT_GE(shades.size(), 3u);
}

// Damaged files end the program with exit status 1 and one line naming the
// file on standard error, before any window: the runs have no display, and
// the message is the file's, not the missing display's.
TEST_F(ViewProgram, DamagedFilesEndTheProgramBeforeAnyWindow) {
  auto bad_dir = *dir / "bad";
  auto bad = [&](const std::string& name) { return bad_dir + "/" + name; };
  std::filesystem::create_directories(bad_dir);
  // A copy of the JSON town without one of its shapes.
  std::filesystem::copy(*dir / "json", bad("town"), std::filesystem::copy_options::recursive);
  auto shapes = std::vector<std::string>{};
  for (auto& entry : std::filesystem::directory_iterator(bad("town/shapes")))
    shapes.push_back(entry.path().filename().string());
  std::sort(shapes.begin(), shapes.end());
  std::filesystem::remove(bad("town/shapes/" + shapes.back()));
  auto json = read_file(town["json"]);
  write_file(bad("cut.json"), json.substr(0, json.size() / 2));
  auto glb = read_file(town["glb"]);
  write_file(bad("cut.glb"), glb.substr(0, glb.size() / 3));
  write_file(bad("nobin.gltf"), read_file(town["gltf"]));
  auto stl = std::string(80, ' ') + std::string("\x05\x00\x00\x00", 4) + std::string(50, '\0');
  write_file(bad("counts.stl"), stl);
  write_file(bad("index.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 5\n");
  write_file(bad("nomtl.obj"), "mtllib gone.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  write_file(bad("index.pbrt"), "WorldBegin\nShape \"trianglemesh\" \"point P\" [ 0 0 0 1 0 0 0 1 0 ] \"integer indices\" [ 0 1 7 ]\n");
  write_file(bad("noply.pbrt"), "WorldBegin\nShape \"plymesh\" \"string filename\" \"shapes/gone.ply\"\n");
  write_file(bad("scene.ply"), "ply\n");

  struct bad_case {
    std::string file, message;
  } cases[] = {
      {bad("town/city.json"), "error in " + bad("town/shapes/" + shapes.back()) + ": file not found"},
      {bad("cut.json"), "parse error in json"},
      {bad("cut.glb"), "parse error"},
      {bad("nobin.gltf"), "city.bin: file not found"},
      {bad("counts.stl"), "the header counts 5 triangles, the file holds 1"},
      {bad("index.obj"), "parse error (line 4: face index 5 out of range, the file has 3 vertices)"},
      {bad("nomtl.obj"), "gone.mtl: file not found"},
      {bad("index.pbrt"), "line 2 (index 2 addresses no point)"},
      {bad("noply.pbrt"), "gone.ply: file not found"},
      {bad("missing.stl"), "file not found"},
      {bad("scene.ply"), "unknown format"},
  };
  for (auto& c : cases) {
    auto run = run_view({"--scene", c.file, "--screenshot", bad("never.png")}, false);
    EXPECT_EQ(run.status, 1) << c.file;
    EXPECT_EQ(run.err.rfind(c.file + ": ", 0), 0u) << c.file << ": " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.file << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(std::filesystem::exists(bad("never.png")));
  }
  // Bad options are the command line's errors.
  for (auto& args : std::vector<std::vector<std::string>>{
           {"--scene", town["json"], "--width", "0"}, {"--scene", town["json"], "--height", "x"},
           {"--scene", town["json"], "--benchmark", "-3"}, {}}) {
    auto run = run_view(args, false);
    EXPECT_EQ(run.status, 1);
  }
}

// A real window: started, found by its title, closed from outside by the
// keyboard or by a termination signal; the program ends with 0 both times.
// The window is looked for once the scene is complete (while loading, its
// title also tells the progress), each look a new search: on a loaded
// machine one search left waiting saw no window for a minute.
TEST_F(ViewProgram, WindowOpensAndClosesCleanly) {
  // A key sent while the program is still busy drawing a frame can be lost
  // on a loaded machine: it is sent again until the program ends.
  auto key_close = std::string(
      "for i in $(seq 1 20); do xdotool key --window \"$id\" ctrl+w; sleep 0.5; "
      "kill -0 $pid 2>/dev/null || break; done");
  for (auto close : {key_close, std::string("kill -TERM $pid")}) {
    auto script = "cd " + shell_quote(dir->str()) + " || exit 1; " + shell_quote(VIEW_PATH) +
                  " --scene json/city.json > window-out.txt & pid=$!; "
                  "for i in $(seq 1 1200); do grep -q 'scene complete' window-out.txt && break; "
                  "kill -0 $pid 2>/dev/null || break; sleep 0.1; done; "
                  "for i in $(seq 1 60); do "
                  "id=$(timeout 10 xdotool search --all --pid $pid --name '^city[.]json$' 2>/dev/null | head -n 1); "
                  "[ -n \"$id\" ] && break; sleep 0.5; done; "
                  "echo \"window=$id\"; "
                  "[ -n \"$id\" ] || for w in $(timeout 10 xdotool search --pid $pid 2>/dev/null); do "
                  "echo \"title of $w: $(timeout 10 xdotool getwindowname $w)\"; done; " + close + "; "
                  "for i in $(seq 1 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done; "
                  "if kill -0 $pid 2>/dev/null; then kill -KILL $pid; echo still-running; fi; "
                  "wait $pid; echo \"status=$?\"; cat window-out.txt";
    auto args = display_options();
    args.insert(args.end(), {"sh", "-c", script});
    auto run = run_program("xvfb-run", args);
    EXPECT_NE(run.out.find("window="), std::string::npos);
    EXPECT_EQ(run.out.find("window=\n"), std::string::npos) << "no window titled city.json\n" << run.out;
    EXPECT_EQ(run.out.find("still-running"), std::string::npos) << close;
    EXPECT_NE(run.out.find("status=0"), std::string::npos) << close << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find("scene: 219 instances"), std::string::npos) << run.out;
  }
}

// The town in a real window, all of it in the first frame with geometry:
// that frame is on the screen without any input that would draw another
// (the plain sky shown while loading covers little of it).
TEST_F(ViewProgram, FirstFrameIsOnTheScreen) {
  auto folder = *dir / "town-window";
  auto out = run_window_until(folder, town["json"], "scene complete", "out.txt");
  EXPECT_NE(out.find("first frame: "), std::string::npos) << out;
  EXPECT_NE(out.find("scene complete: "), std::string::npos) << out;
  auto screen = read_screen(folder + "/screen.xwd");
  ASSERT_EQ(screen.width, 1280);
  auto plain_sky = vec4b{140, 168, 204, 255};
  auto changed = share(screen, [&](size_t, const vec4b& p) { return distinct(p, plain_sky); });
  RecordProperty("changed_share", std::to_string(changed));
  EXPECT_GT(changed, 0.5);
}

// A city of 10^5 features (3·10^4 in the sanitizer build, whose programs
// are as slow on it) in a real window: the first frame with geometry
// holds the tiles nearest the first view and is on screen before the rest
// of the city is made; the complete frame follows with every triangle.
// Closed as soon as the first frame shows, while the rest is still being
// made, the program ends at once with 0.
TEST_F(ViewProgram, FirstFrameShowsTheNearestTilesBeforeTheWholeCity) {
  auto city_dir = *dir / "big";
  std::filesystem::create_directories(city_dir);
  auto run = run_program(BENCH_GEOJSON_PATH, {"spread", WINDOW_CITY_FEATURES, "4", city_dir + "/in"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  copy_assets(city_dir + "/in");
  run = run_program(BLOCKGEN_PATH, {"-o", city_dir + "/out/city.glb", city_dir + "/in"});
  ASSERT_EQ(run.status, 0) << run.out;

  auto run_until = [&](const std::string& line, const std::string& out) {
    return run_window_until(city_dir, "out/city.glb", line, out);
  };
  // The figure after `key` in the first line of the output that holds it.
  auto figure = [](const std::string& out, const std::string& key) {
    auto at = out.find(key);
    return at == std::string::npos ? -1.0 : std::stod(out.substr(at + key.size()));
  };

  auto out = run_until("scene complete", "complete.txt");
  auto first = out.find("first frame: "), complete = out.find("scene complete: ");
  ASSERT_NE(first, std::string::npos) << out;
  ASSERT_NE(complete, std::string::npos) << out;
  EXPECT_LT(first, complete);
  auto first_line = out.substr(first, out.find('\n', first) - first);
  auto complete_line = out.substr(complete, out.find('\n', complete) - complete);
  RecordProperty("first_frame", first_line);
  RecordProperty("complete_frame", complete_line);
  auto first_triangles = figure(first_line, "first frame: ");
  auto all_triangles = figure(complete_line, "scene complete: ");
  EXPECT_GT(first_triangles, 0) << first_line;
  EXPECT_LT(first_triangles, 0.5 * all_triangles) << first_line << "\n" << complete_line;
  EXPECT_LT(figure(first_line, "% of the scene's triangles), "),
            figure(complete_line, " parts, ")) << first_line << "\n" << complete_line;
  EXPECT_LT(figure(first_line, "from the "), figure(complete_line, "triangles, ")) << first_line;
  // Every triangle of the scene is on screen at the end.
  EXPECT_EQ(all_triangles, figure(out, "instances, ")) << out;

  // The first frame is on the screen: the city's red roofs cover a good
  // share of it (the plain sky and the backdrop have none).
  auto screen = read_screen(city_dir + "/screen.xwd");
  ASSERT_EQ(screen.width, 1280);
  auto roofs = share(screen, [](size_t, const vec4b& p) { return p.x > p.y + 40 && p.x > p.z + 40; });
  RecordProperty("roof_share", std::to_string(roofs));
  EXPECT_GT(roofs, 0.05);

  out = run_until("first frame", "first.txt");
  EXPECT_NE(out.find("first frame: "), std::string::npos) << out;
}

// A PBRT scene of a grey ground 120 units wide seen from `eye` towards its
// centre, to which the caller adds its shapes.
static std::string ground_scene(const std::string& eye, int fov, int width, int height) {
  return "LookAt " + eye + "  0 0 0  0 1 0\n"
         "Camera \"perspective\" \"float fov\" [ " + std::to_string(fov) + " ]\n"
         "Film \"image\" \"integer xresolution\" [ " + std::to_string(width) +
         " ] \"integer yresolution\" [ " + std::to_string(height) + " ]\n"
         "WorldBegin\n"
         "Material \"matte\" \"rgb Kd\" [ 0.7 0.7 0.7 ]\n"
         "Shape \"trianglemesh\" \"point P\" [ -60 0 -60  60 0 -60  60 0 60  -60 0 60 ] "
         "\"integer indices\" [ 0 1 2 0 2 3 ]\n";
}

// Ground, park and road within half a millimetre, seen from eye height
// with a tall tower far away, so that the depth range must reach close:
// the park shows whole and the road without stripes; without keeping the
// layers apart both break up.
TEST_F(ViewProgram, StackedFlatLayersShowWithoutZFighting) {
  auto scene = *dir / "layers.pbrt";
  write_file(scene, ground_scene("0 2 -55", 30, 1280, 720) + R"(Material "matte" "rgb Kd" [ 0.1 0.6 0.1 ]
Shape "trianglemesh" "point P" [ -30 0.0001 -30  30 0.0001 -30  30 0.0001 30  -30 0.0001 30 ] "integer indices" [ 0 1 2 0 2 3 ]
Material "matte" "rgb Kd" [ 0.6 0.1 0.1 ]
Shape "trianglemesh" "point P" [ -1 0.0005 -40  1 0.0005 -40  1 0.0005 40  -1 0.0005 40 ] "integer indices" [ 0 1 2 0 2 3 ]
Material "matte" "rgb Kd" [ 0.3 0.3 0.8 ]
Shape "trianglemesh" "point P" [ 50 0 50  50.5 0 50  50.5 5 50 ] "integer indices" [ 0 1 2 ]
)");
  auto green = [](size_t, const vec4b& p) { return p.y > 150 && p.x < 120 && p.z < 120; };
  auto red = [](size_t, const vec4b& p) { return p.x > 150 && p.y < 120 && p.z < 120; };
  auto kept = screenshot(scene, "layers-kept", {"--sky", "false"});
  auto mixed = screenshot(scene, "layers-mixed", {"--sky", "false", "--layers", "false"});
  // The park's strip across the view and the road's triangle towards it.
  EXPECT_GT(share(kept, green), 0.08);
  EXPECT_GT(share(kept, red), 0.01);
  EXPECT_LT(share(mixed, green), share(kept, green) / 3);
  // In each row the road's red pixels form one run, without stripes.
  for (int y = 0; y < kept.height; y++) {
    auto runs = 0;
    for (int x = 1; x < kept.width; x++)
      if (red(0, kept.pixels[(size_t)y * kept.width + x]) &&
          !red(0, kept.pixels[(size_t)y * kept.width + x - 1]))
        runs++;
    EXPECT_LE(runs, 1) << "row " << y;
  }
}

TEST_F(ViewProgram, BenchmarkPrintsFrameTimeAndDrawCalls) {
  auto run = run_view({"--scene", town["json"], "--benchmark", "3", "--width", "320", "--height", "180"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto at = run.out.find("benchmark: 3 frames of 320 x 180");
  ASSERT_NE(at, std::string::npos) << run.out;
  auto line = run.out.substr(at, run.out.find('\n', at) - at);
  EXPECT_NE(line.find("mean frame time"), std::string::npos) << line;
  EXPECT_NE(line.find(" fps, "), std::string::npos) << line;
  EXPECT_NE(line.find(" triangles drawn per frame ("), std::string::npos) << line;
  // The processor time of all threads (the software renderer's too), a
  // figure that a busy machine hardly moves: a positive number of ms.
  auto processor = line.find("processor time ");
  ASSERT_NE(processor, std::string::npos) << line;
  EXPECT_GT(std::stod(line.substr(processor + 15)), 0.0) << line;
  // Draw calls stay near the number of looks (27 in the town) and layer
  // ranks, far below the number of instances (219).
  auto calls = std::stoi(line.substr(line.find(" fps, ") + 6));
  EXPECT_GT(calls, 1);
  EXPECT_LE(calls, 40) << line;
}

// The sun's shadows only darken: with them every pixel is as dark or darker
// than without, and the buildings' shadows on streets and squares darken a
// good share of the picture; --shadows false leaves the picture as it was.
TEST_F(ViewProgram, SunShadowsDarkenStreetsAndSquares) {
  auto lit = screenshot(town["json"], "shadows-off", {"--sky", "false", "--shadows", "false"});
  auto shaded = screenshot(town["json"], "shadows-on", {"--sky", "false"});
  ASSERT_EQ(lit.pixels.size(), shaded.pixels.size());
  auto brighter = share(shaded, [&](size_t i, const vec4b& p) {
    auto& q = lit.pixels[i];
    return p.x > q.x + 3 || p.y > q.y + 3 || p.z > q.z + 3;
  });
  auto darker = share(shaded, [&](size_t i, const vec4b& p) { return distinct(p, lit.pixels[i]); });
  RecordProperty("shadow_share", std::to_string(darker));
  EXPECT_LT(brighter, 0.001);
  EXPECT_GT(darker, 0.015);
  EXPECT_LT(darker, 0.6);
}

// A flat roof high above the ground casts its shadow: the shadow pass
// leaves out only the flat layers on the ground, which have nothing below
// them to darken.
TEST_F(ViewProgram, RaisedFlatRoofCastsItsShadow) {
  auto scene = *dir / "canopy.pbrt";
  write_file(scene, ground_scene("0 60 -70", 60, 640, 360) + R"(Material "matte" "rgb Kd" [ 0.6 0.1 0.1 ]
Shape "trianglemesh" "point P" [ -15 8 -15  15 8 -15  15 8 15  -15 8 15 ] "integer indices" [ 0 1 2 0 2 3 ]
)");
  // Big enough on screen to cast a shadow at all (small_on_screen).
  auto options = std::vector<std::string>{"--sky", "false", "--width", "640", "--height", "360"};
  auto lit = options, shaded = options;
  lit.insert(lit.end(), {"--shadows", "false"});
  auto without = screenshot(scene, "canopy-lit", lit), with = screenshot(scene, "canopy-shaded", shaded);
  ASSERT_EQ(without.pixels.size(), with.pixels.size());
  // The ground's grey pixels that the shadow darkens.
  auto darker = share(with, [&](size_t i, const vec4b& p) {
    auto& q = without.pixels[i];
    auto grey = std::abs(q.x - q.y) < 12 && std::abs(q.y - q.z) < 12;
    return grey && distinct(p, q);
  });
  // The sun is high: most of the shadow lies under the roof, a strip of
  // it beside (0.7 % of the picture).
  RecordProperty("shadow_share", std::to_string(darker));
  EXPECT_GT(darker, 0.002);
}

// Without shadows the town from its camera is the picture the viewer drew
// before it had them (and before far tiles had a picture of their own).
TEST_F(ViewProgram, ShadowsOffGiveThePictureOfBefore) {
  auto now = screenshot(town["json"], "plain-320", {"--sky", "false", "--shadows", "false", "--width", "320",
                                                     "--height", "180"});
  auto before = load_png(std::string(TEST_DATA_DIR) + "/view/town_camera_plain_320x180.png");
  ASSERT_EQ(before.width, 320);
  auto difference = mean_difference(now, before);
  RecordProperty("mean_difference", std::to_string(difference));
  EXPECT_LT(difference, same_scene_levels);
  auto shaded = screenshot(town["json"], "shaded-320", {"--sky", "false", "--width", "320", "--height", "180"});
  EXPECT_GT(mean_difference(shaded, before), 0.2) << "the shadows show";
}

namespace {

// The mean colour of each block of `size` x `size` pixels: the tone of a
// picture, without the detail a far city has below a pixel or two.
std::vector<vec3f> block_tones(const image4b& image, int size) {
  auto tones = std::vector<vec3f>{};
  for (int by = 0; by + size <= image.height; by += size)
    for (int bx = 0; bx + size <= image.width; bx += size) {
      auto sum = vec3f{};
      for (int y = by; y < by + size; y++)
        for (int x = bx; x < bx + size; x++) {
          auto& p = image.pixels[(size_t)y * (size_t)image.width + (size_t)x];
          sum = sum + vec3f{(float)p.x, (float)p.y, (float)p.z};
        }
      tones.push_back(sum * (1.0f / (float)(size * size)));
    }
  return tones;
}

size_t triangles_drawn(const std::string& out) {
  auto at = out.find(" triangles drawn per frame");
  if (at == std::string::npos) return SIZE_MAX;
  auto start = out.rfind(' ', at - 1);
  return std::stoul(out.substr(start + 1, at - start - 1));
}

}  // namespace

// A city small on screen is drawn from its picture seen from above: a
// couple of triangles a tile, in the tone of its full meshes (block by
// block within 8 levels of 255; 4 today), where its coarsest meshes were
// fragments that left the ground showing through.
TEST_F(ViewProgram, FarCityFromItsPictureHasTheToneOfItsMeshes) {
  auto input = *dir / "far-city";
  auto run = run_program(BENCH_GEOJSON_PATH, {"write", "20000", "4", input});
  ASSERT_EQ(run.status, 0) << run.err;
  copy_assets(input);
  auto scene = *dir / "far-city-out/city.glb";
  run = run_program(BLOCKGEN_PATH, {"-o", scene, input});
  ASSERT_EQ(run.status, 0) << run.err;
  auto small = std::vector<std::string>{"--frame", "true", "--width", "320", "--height", "180", "--benchmark", "1"};
  auto far_options = small, full_options = small;
  full_options.insert(full_options.end(), {"--detail", "0"});
  auto far_path = *dir / "far-city.png", full_path = *dir / "far-city-full.png";
  far_options.insert(far_options.end(), {"--scene", scene, "--screenshot", far_path});
  full_options.insert(full_options.end(), {"--scene", scene, "--screenshot", full_path});
  auto far_run = run_view(far_options), full_run = run_view(full_options);
  ASSERT_EQ(far_run.status, 0) << far_run.err;
  ASSERT_EQ(full_run.status, 0) << full_run.err;
  auto far_triangles = triangles_drawn(far_run.out), full_triangles = triangles_drawn(full_run.out);
  EXPECT_GT(full_triangles, (size_t)500000) << full_run.out;
  EXPECT_LE(far_triangles, (size_t)2 * 64 * 64) << far_run.out;

  auto far = block_tones(load_png(far_path), 8), full = block_tones(load_png(full_path), 8);
  ASSERT_EQ(far.size(), full.size());
  ASSERT_FALSE(far.empty());
  auto sum = 0.0;
  for (size_t k = 0; k < far.size(); k++) {
    auto d = far[k] - full[k];
    sum += (std::fabs(d.x) + std::fabs(d.y) + std::fabs(d.z)) / 3;
  }
  auto mean = sum / (double)far.size();
  RecordProperty("far_tone_levels", std::to_string(mean));
  EXPECT_LT(mean, 8.0);

  // In a window the far picture comes with the last part of the list: the
  // complete frame is the screenshot's.
  auto folder = *dir / "far-window";
  auto out = run_window_until(folder, scene, "scene complete", "out.txt",
                              "--frame true --width 320 --height 180", "scene complete");
  ASSERT_NE(out.find("scene complete: "), std::string::npos) << out;
  auto screen = read_screen(folder + "/screen.xwd");
  ASSERT_GE(screen.width, 320);
  auto window = image4b{320, 180, std::vector<vec4b>(320 * 180)};
  for (int y = 0; y < 180; y++)
    for (int x = 0; x < 320; x++) window.pixels[(size_t)y * 320 + x] = screen.pixels[(size_t)y * screen.width + x];
  auto shot = load_png(far_path);
  auto difference = mean_difference(window, shot);
  RecordProperty("window_difference", std::to_string(difference));
  EXPECT_LT(difference, same_scene_levels);
}
