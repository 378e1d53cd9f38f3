#include "view/scene_loader.h"

#include <chrono>
#include <new>
#include <system_error>

#include "scene/gltf_reader.h"
#include "scene/scene_io.h"
#include "support/files.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads the file into load.scene.
bool read_scene_file(const std::string& filename, scene_load& load, const progress_callback& progress) {
  load = scene_load{};
  auto start = std::chrono::steady_clock::now();
  // A binary glTF file is read lean; one that refers to other files goes
  // the general way.
  auto lean = has_extension(filename, ".glb") && read_glb_scene(filename, load.scene, load.error, progress);
  if (!lean && !load.error.empty()) return false;
  if (!lean && !read_scene(filename, load.scene, load.error, progress)) return false;
  load.load_seconds = seconds_since(start);
  return true;
}

// Makes the list with `make`, each shape's arrays freed once the list
// holds them; then only the images stay with the scene.
template <typename Make>
bool make_list(const std::string& filename, const draw_options& options, scene_load& load, Make&& make) {
  auto start = std::chrono::steady_clock::now();
  auto list_options = options;
  list_options.release_shapes = true;
  try {
    if (!make(list_options)) {
      load.error = filename + ": stopped";
      return false;
    }
  } catch (const std::bad_alloc&) {
    load.error = filename + ": out of memory";
    return false;
  }
  load.scene.scene.instances.clear();
  load.scene.scene.instances.shrink_to_fit();
  load.scene.scene.shapes.clear();
  load.scene.scene.shapes.shrink_to_fit();
  load.prepare_seconds = seconds_since(start);
  return true;
}

}  // namespace

bool load_draw_list(const std::string& filename, const draw_options& options, scene_load& load,
                    const progress_callback& progress) {
  if (!read_scene_file(filename, load, progress)) return false;
  return make_list(filename, options, load, [&](const draw_options& list_options) {
    load.list = make_draw_list(load.scene, list_options, progress);
    return true;
  });
}

bool load_draw_list_parts(const std::string& filename, const draw_options& options,
                          const draw_staging& staging, scene_load& load,
                          const progress_callback& progress) {
  if (staging.stopped && staging.stopped()) {
    load = scene_load{};
    load.error = filename + ": stopped";
    return false;
  }
  if (!read_scene_file(filename, load, progress)) return false;
  return make_list(filename, options, load, [&](const draw_options& list_options) {
    return make_draw_list_parts(load.scene, list_options, staging, progress);
  });
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

bool background_load::take_part(draw_part& part) {
  auto lock = std::lock_guard<std::mutex>(parts_lock);
  if (parts.empty()) return false;
  part = std::move(parts.front());
  parts.pop_front();
  return true;
}

void start_background_load(background_load& work, const std::string& filename,
                           const draw_options& options, const progress_callback& progress) {
  work.finished = false;
  auto load = [&work, filename, options, progress] {
    auto report = [&work, progress](const std::string& stage, int done, int total) {
      {
        auto lock = std::lock_guard<std::mutex>(work.stage_lock);
        work.stage = stage;
      }
      work.total = total;
      work.done = done;
      if (progress) progress(stage, done, total);
    };
    if (work.in_parts) {
      auto staging = work.staging;
      staging.take = [&work](draw_part& part) {
        auto lock = std::lock_guard<std::mutex>(work.parts_lock);
        work.parts.push_back(std::move(part));
      };
      staging.stopped = [&work] { return work.stop.load(); };
      work.ok = load_draw_list_parts(filename, options, staging, work.load, report);
    } else {
      work.ok = load_draw_list(filename, options, work.load, report);
    }
    work.finished = true;
  };
  try {
    work.worker = std::thread(load);
  } catch (const std::system_error&) {
    load();  // no thread to be had: the scene loads before the window answers
  }
}
