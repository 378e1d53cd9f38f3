#include "view/scene_loader.h"

#include <chrono>
#include <new>

#include "scene/gltf_reader.h"
#include "scene/scene_io.h"
#include "support/files.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

bool load_draw_list(const std::string& filename, const draw_options& options, scene_load& load,
                    const progress_callback& progress) {
  load = scene_load{};
  auto start = std::chrono::steady_clock::now();
  // A binary glTF file is read lean; one that refers to other files goes
  // the general way.
  auto lean = has_extension(filename, ".glb") && read_glb_scene(filename, load.scene, load.error, progress);
  if (!lean && !load.error.empty()) return false;
  if (!lean && !read_scene(filename, load.scene, load.error, progress)) return false;
  load.load_seconds = seconds_since(start);

  start = std::chrono::steady_clock::now();
  auto list_options = options;
  list_options.release_shapes = true;  // each shape's arrays go once the list holds them
  try {
    load.list = make_draw_list(load.scene, list_options, progress);
  } catch (const std::bad_alloc&) {
    load.error = filename + ": out of memory";
    return false;
  }
  // The list holds every vertex now; only the images stay with the scene.
  load.scene.scene.instances.clear();
  load.scene.scene.instances.shrink_to_fit();
  load.scene.scene.shapes.clear();
  load.scene.scene.shapes.shrink_to_fit();
  load.prepare_seconds = seconds_since(start);
  return true;
}

background_load::~background_load() {
  if (worker.joinable()) worker.join();
}

float background_load::share() const {
  auto t = total.load();
  return t > 0 ? std::min(1.0f, (float)done.load() / (float)t) : 0.0f;
}

std::string background_load::current_stage() {
  auto lock = std::lock_guard<std::mutex>(stage_lock);
  return stage;
}

void start_background_load(background_load& work, const std::string& filename,
                           const draw_options& options, const progress_callback& progress) {
  work.finished = false;
  work.worker = std::thread([&work, filename, options, progress] {
    auto report = [&work, progress](const std::string& stage, int done, int total) {
      {
        auto lock = std::lock_guard<std::mutex>(work.stage_lock);
        work.stage = stage;
      }
      work.total = total;
      work.done = done;
      if (progress) progress(stage, done, total);
    };
    work.ok = load_draw_list(filename, options, work.load, report);
    work.finished = true;
  });
}
