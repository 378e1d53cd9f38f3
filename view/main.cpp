// view: shows a scene file (JSON scene, OBJ, STL, glTF, GLB or PBRT) in a
// window of its own, or renders it once to an image (--screenshot) or
// many times to measure the frame time (--benchmark).

#include <QApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QSurfaceFormat>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "scene/image.h"
#include "scene/scene_io.h"
#include "support/cli.h"
#include "support/console.h"
#include "support/files.h"
#include "support/platform.h"
#include "view/draw_list.h"
#include "view/scene_loader.h"
#include "view/scene_renderer.h"
#include "view/scene_view.h"
#include "scene/scene_load.h"

#ifdef _WIN32
#define PSAPI_VERSION 2
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#ifndef _WIN32
#include <QSocketNotifier>
#include <csignal>
#include <unistd.h>
#endif

namespace {

// Errors go to standard error as one line, and the program ends with 1.
[[noreturn]] void fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(1);
}

bool parse_size(const std::string& text, int& value) {
  if (text.empty() || text.size() > 5) return false;
  value = 0;
  for (auto c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value > 0 && value <= 16384;
}

// The most memory the process has held so far, in bytes (0 where unknown).
size_t peak_memory() {
#ifdef _WIN32
  auto counters = PROCESS_MEMORY_COUNTERS{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
    return counters.PeakWorkingSetSize;
  return 0;
#else
  auto usage = rusage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return (size_t)usage.ru_maxrss * 1024;
#endif
}

// Processor time of all the process's threads so far (the software
// renderer's included), in seconds; 0 where unknown. Unlike the wall
// time it hardly moves when other programs share the processor.
double processor_seconds() {
#ifdef _WIN32
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
  auto value = [](const FILETIME& t) {
    return (double)(((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime) * 1e-7;
  };
  return value(kernel) + value(user);
#else
  auto usage = rusage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  auto value = [](const timeval& t) { return (double)t.tv_sec + (double)t.tv_usec * 1e-6; };
  return value(usage.ru_utime) + value(usage.ru_stime);
#endif
}

std::string format_megabytes(size_t bytes) { return std::to_string((bytes + (1 << 19)) >> 20) + " MB"; }

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string format_seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", seconds);
  return text;
}

QSurfaceFormat surface_format(int samples) {
  auto format = QSurfaceFormat{};
  format.setRenderableType(QSurfaceFormat::OpenGL);
  format.setVersion(3, 3);
  format.setProfile(QSurfaceFormat::CoreProfile);
  format.setDepthBufferSize(24);
  format.setSamples(samples);
  return format;
}

#ifndef _WIN32
// A termination signal closes the window like its close button: the signal
// handler only writes a byte that the event loop reads.
int signal_pipe[2] = {-1, -1};
void on_signal(int) {
  char byte = 1;
  auto written = ::write(signal_pipe[1], &byte, 1);
  (void)written;
}
void quit_on_signals(QApplication& app) {
  if (::pipe(signal_pipe) != 0) return;
  auto notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QApplication::quit(); });
  std::signal(SIGTERM, on_signal);
  std::signal(SIGINT, on_signal);
  std::signal(SIGHUP, on_signal);
}
#endif

// Renders off screen: one frame to an image, or many for their mean time.
// Software renderers take several times longer per frame with
// multisampling: the window and the benchmark go without it there.
bool is_software_renderer(QOpenGLContext& context) {
  auto name = QString((const char*)context.functions()->glGetString(GL_RENDERER)).toLower();
  for (auto software : {"llvmpipe", "softpipe", "software", "swiftshader"})
    if (name.contains(software)) return true;
  return false;
}

// What to do when there is no screen: the off-screen platform gets its
// OpenGL through the X display too.
std::string display_hint() {
#if defined(__linux__)
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
    return ": needs an X display or Wayland: run it under xvfb-run on a machine without a screen";
#endif
  return "";
}

// A context on an off-screen surface; ends the program when OpenGL 3.3 core
// cannot be had.
void make_context(QOffscreenSurface& surface, QOpenGLContext& context) {
  auto format = surface_format(0);
  surface.setFormat(format);
  surface.create();
  context.setFormat(format);
  if (!context.create() || !context.makeCurrent(&surface))
    fail("view: cannot create an OpenGL context" + display_hint());
  auto version = context.format().version();
  if (version < qMakePair(3, 3) || context.format().profile() != QSurfaceFormat::CoreProfile)
    fail("view: OpenGL 3.3 core is not available");
}

std::unique_ptr<QOpenGLFramebufferObject> make_framebuffer(int width, int height, int samples) {
  auto format = QOpenGLFramebufferObjectFormat{};
  format.setAttachment(QOpenGLFramebufferObject::Depth);
  format.setSamples(samples);
  auto fbo = std::make_unique<QOpenGLFramebufferObject>(width, height, format);
  if (!fbo->isValid())
    fail("view: cannot create a " + std::to_string(width) + " x " + std::to_string(height) +
         " framebuffer");
  return fbo;
}

// Renders off screen: many frames for their mean time, and one frame to an
// image (always with 4 samples a pixel).
int render_off_screen(draw_list& list, const view_camera& camera, const vec3f& sun,
                      bool separate_layers, bool shadows, float detail, int width, int height,
                      const std::string& screenshot, int frames) {
  QOffscreenSurface surface;
  QOpenGLContext context;
  make_context(surface, context);
  auto gl = context.functions();
  auto samples = is_software_renderer(context) ? 0 : 4;

  print_progress("upload scene", 0, 1);
  auto start = std::chrono::steady_clock::now();
  SceneRenderer renderer;
  renderer.setDefaultSun(sun);
  renderer.setLayerSeparation(separate_layers);
  renderer.setShadows(shadows);
  renderer.setDetailPixels(detail);
  auto error = QString{};
  // A batch at a time, each freed once the graphics buffers hold it, so
  // that the list and its copy are never held whole at once.
  if (!renderer.initialize(list, error, false)) fail("view: " + error.toStdString());
  while (renderer.uploadNext(list, camera_frame(camera).o)) {
  }
  gl->glFinish();
  // The graphics buffers hold the geometry now.
  release_geometry(list);
  print_progress("upload scene", 1, 1);
  auto upload_time = seconds_since(start);

  if (frames > 0) {
    auto fbo = make_framebuffer(width, height, samples);
    fbo->bind();
    auto calls = renderer.render(camera, width, height);  // warms the shader caches
    gl->glFinish();
    start = std::chrono::steady_clock::now();
    auto processor_start = processor_seconds();
    for (int i = 0; i < frames; i++) {
      calls = renderer.render(camera, width, height);
      gl->glFinish();
    }
    auto mean = seconds_since(start) / frames;
    auto processor_mean = (processor_seconds() - processor_start) / frames;
    print_line("benchmark: " + std::to_string(frames) + " frames of " + std::to_string(width) +
               " x " + std::to_string(height) + " (" + std::to_string(samples) +
               " samples a pixel), mean frame time " + format_seconds(mean * 1000) + " ms, " +
               format_seconds(1 / mean) + " fps, " + std::to_string(calls) +
               " draw calls per frame, " + std::to_string(renderer.drawnTriangles()) +
               " triangles drawn per frame (" + std::to_string(renderer.shadowTriangles()) +
               " in the shadow map) of " + std::to_string(renderer.triangles()) +
               ", upload " + format_seconds(upload_time) + " s, peak memory " +
               format_megabytes(peak_memory()) + ", processor time " +
               format_seconds(processor_mean * 1000) + " ms a frame");
    fbo->release();
  }
  if (!screenshot.empty()) {
    auto fbo = make_framebuffer(width, height, 4);
    fbo->bind();
    renderer.render(camera, width, height);
    auto frame = fbo->toImage().convertToFormat(QImage::Format_RGBA8888);
    fbo->release();
    auto image = image4b{width, height, std::vector<vec4b>((size_t)width * height)};
    for (int y = 0; y < height; y++) {
      auto row = frame.constScanLine(y);
      for (int x = 0; x < width; x++)
        image.pixels[(size_t)y * width + x] = {row[4 * x], row[4 * x + 1], row[4 * x + 2], 255};
    }
    auto save_error = std::string{};
    if (!save_image(screenshot, image, save_error)) fail(save_error);
    print_line("screenshot written to " + screenshot);
  }
  renderer.release();
  context.doneCurrent();
  return 0;
}

// The scene's figures, and the warnings of its reader and its list.
void report_scene(const std::string& scene_file, const scene_load& load, const draw_list& list) {
  for (auto& line : load.scene.warnings) std::fprintf(stderr, "%s\n", line.c_str());
  for (auto& line : list.warnings) std::fprintf(stderr, "%s: %s\n", scene_file.c_str(), line.c_str());
  auto runs = size_t{0}, coarse = size_t{0}, coarsest = size_t{0};
  for (auto& batch : list.batches)
    for (auto& range : batch.ranges) {
      runs++;
      coarse += range.level_count > 1 ? 1 : 0;
      coarsest += range.levels[range.level_count - 1].count / 3;
    }
  print_line("scene: " + std::to_string(list.instance_count) + " instances, " +
             std::to_string(list.triangles) + " triangles (" + std::to_string(coarsest) +
             " at the coarsest detail), " + std::to_string(list.looks.size()) + " looks, " +
             std::to_string(runs) + " runs (" + std::to_string(coarse) +
             " with coarser levels), " + std::to_string(draw_calls(list)) + " draw calls; loaded in " +
             format_seconds(load.load_seconds) + " s, prepared in " +
             format_seconds(load.prepare_seconds) + " s");
}

// The window's list comes in three parts: the tiles nearest the first view
// that hold this share of the triangles, then those up to the second share,
// then the rest.
constexpr double first_part_share  = 0.0625;
constexpr double second_part_share = 0.25;

// The first view: the scene's camera, or one that frames the scene.
view_camera first_view(const draw_list& list, bool frame_scene, float aspect) {
  return list.has_camera && !frame_scene ? camera_from_frame(list.camera, list.camera_yfov, list.bounds)
                                         : framing_camera(list.focus, 0.7f, aspect);
}

}  // namespace

int main(int argc, char** argv) {
  auto program_start = std::chrono::steady_clock::now();
  utf8_command_line(argc, argv);
  auto scene_file = std::string{}, screenshot = std::string{};
  auto width_text = std::string{"1280"}, height_text = std::string{"720"};
  auto benchmark_text = std::string{"0"}, detail_text = std::string{"2"};
  auto frame_scene = false, use_sky = true, separate_layers = true, shadows = true;

  auto cli = new_command_line("view", "Show a scene file");
  declare_option(cli, "--scene,-s", scene_file,
                 "scene file: .json, .obj, .stl, .gltf, .glb or .pbrt", true);
  declare_option(cli, "--screenshot", screenshot, "render one frame to this image and exit");
  declare_option(cli, "--width", width_text, "image width in pixels");
  declare_option(cli, "--height", height_text, "image height in pixels");
  declare_option(cli, "--benchmark", benchmark_text,
                 "render this many frames, print the mean frame time and exit");
  declare_option(cli, "--frame", frame_scene, "start from a view of the whole scene");
  declare_option(cli, "--sky", use_sky, "light and backdrop from the scene's sky and sun");
  declare_option(cli, "--layers", separate_layers,
                 "keep stacked flat layers (ground, areas, roads) apart in depth");
  declare_option(cli, "--shadows", shadows, "the sun casts shadows");
  declare_option(cli, "--detail", detail_text,
                 "pixels a far tile's coarser mesh may stray from the full one (0: full detail)");
  parse_command_line(cli, argc, (const char**)argv);

  auto width = 0, height = 0, frames = 0;
  if (!parse_size(width_text, width)) fail("view: --width must be a number from 1 to 16384");
  if (!parse_size(height_text, height)) fail("view: --height must be a number from 1 to 16384");
  if (benchmark_text != "0" && !parse_size(benchmark_text, frames))
    fail("view: --benchmark must be a number from 0 to 16384");
  auto detail = 0;
  if (detail_text != "0" && !parse_size(detail_text, detail))
    fail("view: --detail must be a number of pixels from 0 to 16384");
  if (!is_readable_scene(scene_file)) fail(scene_file + ": unknown format");

  auto options = draw_options{};
  options.use_sky = use_sky;
  auto file_name = QFileInfo(QString::fromStdString(scene_file)).fileName();

#if defined(__linux__)
  // Without a display the toolkit would abort: say so instead.
  auto no_display =
      !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM");
#else
  auto no_display = false;
#endif

  if (!screenshot.empty() || frames > 0) {
    // Everything that can fail on the file happens before any rendering.
    auto load = scene_load{};
    if (!load_draw_list(scene_file, options, load, print_progress)) fail(load.error);
    report_scene(scene_file, load, load.list);
    if (no_display) fail("view: no display to show the scene on" + display_hint());
    auto camera = first_view(load.list, frame_scene, (float)width / (float)height);
    QGuiApplication app(argc, argv);
    return render_off_screen(load.list, camera, default_sun(camera_frame(camera)), separate_layers,
                             shadows, detail, width, height, screenshot, frames);
  }

  if (no_display) fail("view: no display to show the scene on" + display_hint());
  QApplication app(argc, argv);
  auto samples = 4;
  {
    QOffscreenSurface surface;
    QOpenGLContext context;
    make_context(surface, context);
    if (is_software_renderer(context)) samples = 0;
    context.doneCurrent();
  }
#ifndef _WIN32
  quit_on_signals(app);
#endif
  // The window opens at once and answers while the scene loads on a worker
  // thread; the title tells how far it is. The list comes in parts, the
  // tiles nearest the first view first: the window shows them while the
  // rest of a big city is made. A file that cannot be read ends the
  // program with its error.
  auto width_over_height = (float)width / (float)height;
  auto work = std::make_unique<background_load>();
  work->in_parts = true;
  work->staging.shares = {first_part_share, second_part_share};
  work->staging.first_eye = [frame_scene, width_over_height](const draw_list& header) {
    return camera_frame(first_view(header, frame_scene, width_over_height)).o;
  };
  // The worker's progress is printed here, on the thread that prints the rest.
  start_background_load(*work, scene_file, options);
  auto shown = draw_list{};  // the parts given to the view so far
  auto parts_given = 0, tiles_given = 0, scene_tiles = 0;
  auto share_given = 0.0;
  SceneView view;
  view.setFormat(surface_format(samples));
  view.setLayerSeparation(separate_layers);
  view.setShadows(shadows);
  view.setDetailPixels(detail);
  view.setWindowTitle(file_name);
  view.resize(width, height);
  QObject::connect(&view, &SceneView::failed, [](const QString& message) {
    fail("view: " + message.toStdString());
  });
  QObject::connect(&view, &SceneView::firstFrame, [&](qulonglong triangles) {
    print_line("first frame: " + std::to_string(triangles) + " triangles, from the " +
               std::to_string(tiles_given) + " tiles of " + std::to_string(scene_tiles) +
               " nearest the view (" + std::to_string((int)std::lround(100 * share_given)) +
               " % of the scene's triangles), " + format_seconds(seconds_since(program_start)) +
               " s after start");
    std::fflush(stdout);
  });
  QObject::connect(&view, &SceneView::completeFrame, [&](qulonglong triangles) {
    print_line("scene complete: " + std::to_string(triangles) + " triangles, " +
               std::to_string(scene_tiles) + " tiles in " + std::to_string(parts_given) + " parts, " +
               format_seconds(seconds_since(program_start)) + " s after start");
    std::fflush(stdout);
  });
  QTimer poll;
  auto printed = std::make_pair(std::string{}, -1);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    // Read before the parts are taken: once finished, every part is queued.
    auto finished = work->finished.load();
    auto stage = work->current_stage();
    auto done = work->done.load(), total = work->total.load();
    if (!stage.empty() && std::make_pair(stage, done) != printed) {
      print_progress(stage, done, total);
      printed = {stage, done};
    }
    auto part = draw_part{};
    while (work->take_part(part)) {
      tiles_given += part.tiles, scene_tiles = part.scene_tiles, share_given = part.share;
      if (parts_given++ == 0) {
        shown = std::move(part.list);
        auto camera = first_view(shown, frame_scene, width_over_height);
        view.showList(shown, camera, default_sun(camera_frame(camera)));
      } else {
        view.addList(part.list);
      }
      if (part.last) view.setComplete();
    }
    if (!finished) {
      view.setLoadStatus(QString("%1 %2 %").arg(QString::fromStdString(stage)).arg((int)(100 * work->share())));
      return;
    }
    poll.stop();
    if (work->worker.joinable()) work->worker.join();
    if (!work->ok) fail(work->load.error);
    report_scene(scene_file, work->load, shown);
    std::fflush(stdout);
    view.setLoadStatus({});
  });
  poll.start(100);
  view.show();
  auto status = app.exec();
  // Closed while the scene was still loading: the list stops being made
  // within moments; a file still being read is not waited for.
  if (!work->finished) {
    work->stop = true;
    for (int i = 0; i < 200 && !work->finished; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!work->finished) {
      std::fflush(stdout);
      std::_Exit(status);
    }
  }
  if (work->worker.joinable()) work->worker.join();
  return status;
}
