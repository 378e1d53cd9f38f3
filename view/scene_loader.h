#pragma once
// A scene file made into a draw list: read (a binary glTF file lean, never
// held whole), the list made, and the scene's geometry freed once the list
// holds it; in the calling thread, or on a thread of its own so that a
// window answers while a big city loads.

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "view/draw_list.h"

struct scene_load {
  loaded_scene scene = {};  // its images, which the list's looks use
  draw_list    list  = {};
  std::string  error = "";  // one line naming the file, when it failed
  double       load_seconds = 0, prepare_seconds = 0;
};

// Reads the file and makes its list; false with `load.error` set on failure.
// Warnings of the reader and the list are in load.scene.warnings and
// load.list.warnings. Reports the reader's and the list's progress.
bool load_draw_list(const std::string& filename, const draw_options& options, scene_load& load,
                    const progress_callback& progress = {});

// load_draw_list made in parts (make_draw_list_parts): `staging.take` gets
// each part; false with `load.error` set on failure, or when stopped.
// `load.list` stays empty.
bool load_draw_list_parts(const std::string& filename, const draw_options& options,
                          const draw_staging& staging, scene_load& load,
                          const progress_callback& progress = {});

// load_draw_list on a worker thread. `finished` turns true once `load` and
// `ok` may be read; `stage`, `done` and `total` tell how far it is.
// With `in_parts` the list is made in parts instead, the tiles nearest the
// first view that `staging` finds first, and take_part hands them over as
// they come; `stop` asks the worker to stop making them.
struct background_load {
  scene_load        load     = {};
  bool              ok       = false;
  std::atomic<bool> finished = false;
  std::atomic<int>  done = 0, total = 1;
  std::mutex        stage_lock;
  std::string       stage = "";
  std::thread       worker;
  bool              in_parts = false;
  draw_staging      staging  = {};  // its first_eye and shares; take and stopped are the worker's
  std::atomic<bool> stop     = false;
  std::mutex              parts_lock;
  std::deque<draw_part>   parts;  // made, not taken yet

  background_load() = default;
  background_load(const background_load&) = delete;
  background_load& operator=(const background_load&) = delete;
  ~background_load();
  // The share done, 0 ... 1, and the stage it is in.
  float       share() const;
  std::string current_stage();
  // The next part made, in the order they were made; false when none is waiting.
  bool take_part(draw_part& part);
};

// Starts the worker; `progress`, if given, is called on it as well.
void start_background_load(background_load& work, const std::string& filename,
                           const draw_options& options, const progress_callback& progress = {});
