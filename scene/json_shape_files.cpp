// The shape files of a JSON scene, written on a second thread while the next
// ones are prepared.

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "scene/json_scene.h"
#include "scene/json_scene_parts.h"
#include "scene/scene_files.h"
#include "scene/shape_io.h"
#include "support/files.h"
#include "support/hash.h"

// ---------------------------------------------------------------------------
// The shape files
// ---------------------------------------------------------------------------

namespace json_writing {

// Subdivided Catmull-Clark shapes keep their quads in OBJ files.
const char* shape_extension(const json_store_settings& settings) {
  return (settings.catmullclark && settings.subdivisions > 0) ? ".obj" : ".ply";
}

// For each shape, the next shape written to the same file, or none. A file
// that a later shape rewrites ends up with that shape's content alone.
std::vector<uint32_t> next_same_file(const json_scene_store& store) {
  auto count = store.shapes.size();
  auto keyed = std::vector<std::pair<uint64_t, uint32_t>>(count);
  for (size_t i = 0; i < count; i++) {
    auto& shape = store.shapes[i];
    auto name = name_text(store, shape.name);
    auto hash = stable_hash{};
    hash.add_bytes(name);
    hash.add(shape_extension(store.settings[shape.settings]), 4);
    keyed[i] = {hash.value, (uint32_t)i};
  }
  std::sort(keyed.begin(), keyed.end());
  auto same_file = [&](uint32_t a, uint32_t b) {
    auto& sa = store.shapes[a];
    auto& sb = store.shapes[b];
    return name_text(store, sa.name) == name_text(store, sb.name) &&
           shape_extension(store.settings[sa.settings]) ==
               shape_extension(store.settings[sb.settings]);
  };
  auto next = std::vector<uint32_t>(count, json_store_none);
  for (size_t begin = 0, end = 0; begin < count; begin = end) {
    for (end = begin + 1; end < count && keyed[end].first == keyed[begin].first; end++) {
    }
    // Within one hash, link each shape to the next of the same file.
    for (auto i = begin; i < end; i++) {
      for (auto j = i + 1; j < end; j++) {
        if (same_file(keyed[i].second, keyed[j].second)) {
          next[keyed[i].second] = keyed[j].second;
          break;
        }
      }
    }
  }
  return next;
}

// Shape files go to a second thread in batches: while it writes one batch,
// the calling thread prepares the next.
struct shape_batch {
  struct item {
    size_t index  = 0;  // the shape's place in the scene
    bool   text   = false;
    size_t start  = 0, size = 0;  // its bytes in `bytes`
    bool   failed = false;        // could not even be made; `error` says why
  };
  std::vector<item>        items = {};
  std::vector<std::string> paths = {};
  std::string              bytes = "";
  std::string              error = "";
  size_t first = 0, last = 0;  // the shapes the batch stands for
  // Set by the writer: how many items were written, and whether it stopped
  // at a failure (the item after those written).
  size_t written = 0;
  bool   failed  = false;
};

struct shape_writer {
  std::mutex                  mutex;
  std::condition_variable     changed;
  std::vector<shape_batch*>   queue = {};  // handed over, not yet written
  std::vector<shape_batch*>   done  = {};
  bool                        stop  = false;
  bool                        failed = false;

  void run() {
    auto lock = std::unique_lock{mutex};
    for (;;) {
      changed.wait(lock, [&] { return stop || !queue.empty(); });
      if (queue.empty()) return;
      write_next(lock);
    }
  }

  // Writes the oldest batch handed over; `lock` holds the mutex before and
  // after.
  void write_next(std::unique_lock<std::mutex>& lock) {
    auto batch = queue.front();
    queue.erase(queue.begin());
    auto skip = failed;
    lock.unlock();
    if (!skip) write(*batch);
    lock.lock();
    failed = failed || batch->failed;
    done.push_back(batch);
    changed.notify_all();
  }

  static void write(shape_batch& batch) {
    auto error = std::string{};
    for (auto& item : batch.items) {
      auto ok = !item.failed;
      if (ok) {
        auto& path = batch.paths[batch.written];
        try {
          if (item.text) {
            ok = save_text(path, batch.bytes.substr(item.start, item.size), error);
          } else {
            ok = save_file(path, batch.bytes.data() + item.start, item.size, error);
          }
        } catch (const std::exception&) {
          ok = false, error = path + ": write error";
        }
        if (!ok) batch.error = error;
      }
      if (!ok) {
        batch.failed = true;
        return;
      }
      batch.written++;
    }
  }
};

// The writer's thread, stopped and joined however the scope is left. When
// no thread can be had, the batches are written as they are handed over.
struct writer_thread {
  shape_writer& writer;
  std::thread   thread;
  explicit writer_thread(shape_writer& w) : writer(w) {
    try {
      thread = std::thread([&w] { w.run(); });
    } catch (const std::system_error&) {
    }
  }
  void hand_over(shape_batch* batch) {
    auto lock = std::unique_lock{writer.mutex};
    writer.queue.push_back(batch);
    if (thread.joinable()) {
      writer.changed.notify_all();
    } else {
      writer.write_next(lock);
    }
  }
  ~writer_thread() {
    if (!thread.joinable()) return;
    {
      auto lock = std::unique_lock{writer.mutex};
      writer.stop = true;
      writer.changed.notify_all();
    }
    thread.join();
  }
};

// Makes the contents of shape files, one shape at a time: `path`, `bytes`
// and `text` hold the last one made, `inner` why it could not be made.
struct shape_encoder {
  const json_scene_store& store;
  std::string             folder  = "";
  scene_shape             scratch = {};
  std::string             path = "", bytes = "", inner = "";
  bool                    text = false;

  bool encode(size_t i) {
    auto& shape = store.shapes[i];
    auto name = name_text(store, shape.name);
    path.assign(folder).append(name).append(shape_extension(store.settings[shape.settings]));
    auto geometry = store_shape_geometry(store, i, scratch, inner);
    return geometry && encode_shape(path, *geometry, bytes, text, inner, true);
  }
};

// Which shapes a batch takes: each shape once, shapes sharing a file as one.
struct batch_filler {
  const std::vector<uint32_t>& next;
  std::vector<bool>            skip         = {};
  std::vector<bool>            has_previous = {};
  shape_encoder&               encoder;

  batch_filler(const std::vector<uint32_t>& next, shape_encoder& encoder)
      : next(next), skip(next.size()), has_previous(next.size()), encoder(encoder) {
    for (size_t i = 0; i < next.size(); i++)
      if (next[i] != json_store_none) has_previous[next[i]] = true;
  }

  // The encoder's last content as the batch's next item, or its failure.
  static bool add(shape_batch& batch, size_t& paths, size_t index, bool ok, const shape_encoder& e) {
    auto item = shape_batch::item{index, e.text, batch.bytes.size(), e.bytes.size(), !ok};
    if (ok) {
      batch.bytes += e.bytes;
      if (paths == batch.paths.size()) batch.paths.emplace_back();
      batch.paths[paths++] = e.path;
    } else {
      batch.error = e.inner;
    }
    batch.items.push_back(item);
    return ok;
  }

  // Fills the batch with the shapes from `first` on, at most `most` of them;
  // it stops after a shape that could not be made. Returns the shape after
  // the last one the batch stands for.
  size_t fill(shape_batch& batch, size_t first, size_t most) {
    batch.items.clear();
    batch.bytes.clear();
    batch.error.clear();
    batch.written = 0;
    batch.failed = false;
    batch.first = first;
    auto paths = size_t{0};
    auto i = first;
    for (; i < next.size() && i < first + most; i++) {
      if (skip[i]) continue;
      if (next[i] == json_store_none || has_previous[i]) {
        // A file of its own, or one of shapes sharing a file written in turn.
        if (!add(batch, paths, i, encoder.encode(i), encoder)) return i + 1;
        continue;
      }
      // The first of shapes sharing a file: every content must make a file,
      // and the last one is written.
      auto all_ok = encoder.encode(i);
      for (auto j = next[i]; all_ok && j != json_store_none; j = next[j]) all_ok = encoder.encode(j);
      if (all_ok) {
        for (auto j = next[i]; j != json_store_none; j = next[j]) skip[j] = true;
        // path and bytes hold the last shape's file, the same path as this one's
        add(batch, paths, i, true, encoder);
      } else if (!add(batch, paths, i, encoder.encode(i), encoder)) {
        return i + 1;
      }
    }
    return i;
  }
};

// The files of all shapes, as a loop that saves shape after shape would
// leave them, reporting ("save shape", 2 + i, total) before shape i and
// stopping at the first failure. Shapes that share a file are written once,
// with the last content, when the first of them comes; should any of their
// contents fail to become a file, each is written in turn instead, so that
// the same failure comes at the same shape.
bool save_store_shapes(const std::string& filename, const json_scene_store& store,
                       const std::vector<uint32_t>& next, const progress_callback& progress,
                       int total, std::string& error) {
  auto count = store.shapes.size();
  if (count == 0) return true;
  auto encoder = shape_encoder{store, path_join(path_dirname(filename), "shapes") + "/"};
  auto filler = batch_filler{next, encoder};

  shape_batch batches[3];
  auto writer = shape_writer{};
  auto thread = writer_thread{writer};
  auto free_batches = std::vector<shape_batch*>{&batches[0], &batches[1], &batches[2]};
  auto in_flight = std::vector<shape_batch*>{};
  auto reported = size_t{0};
  auto failed = false;
  auto report = [&](size_t up_to) {
    for (; reported < up_to; reported++)
      if (progress) progress("save shape", 2 + (int)reported, total);
  };
  // Waits for the oldest batch handed over and reports its shapes.
  auto collect = [&] {
    auto batch = in_flight.front();
    in_flight.erase(in_flight.begin());
    {
      auto lock = std::unique_lock{writer.mutex};
      writer.changed.wait(lock, [&] {
        return std::find(writer.done.begin(), writer.done.end(), batch) != writer.done.end();
      });
      writer.done.erase(std::find(writer.done.begin(), writer.done.end(), batch));
    }
    if (!failed && batch->failed) {
      auto& item = batch->items[batch->written];
      report(item.index + 1);
      error = filename + ": error in " + batch->error;
      failed = true;
    } else if (!failed) {
      report(batch->last);
    }
    free_batches.push_back(batch);
  };

  const size_t batch_shapes = 512;
  for (size_t first = 0; first < count && !failed;) {
    if (free_batches.empty()) {
      collect();
      continue;
    }
    auto batch = free_batches.back();
    free_batches.pop_back();
    batch->last = first = filler.fill(*batch, first, batch_shapes);
    thread.hand_over(batch);
    in_flight.push_back(batch);
    // An item that could not even be encoded ends the batches.
    if (!batch->items.empty() && batch->items.back().failed) break;
  }
  while (!in_flight.empty()) collect();
  if (failed) return false;
  report(count);
  return true;
}

}  // namespace json_writing

bool save_first_shape(const std::string& filename, const json_scene_store& store,
                      std::string& error, const progress_callback& progress) {
  if (store.shapes.empty()) return error = filename + ": empty shape", false;
  if (progress) progress("save scene", 0, 1);
  return run_scene_writer(filename, error, [&] {
    auto scratch = scene_shape{};
    auto inner = std::string{};
    auto shape = store_shape_geometry(store, 0, scratch, inner);
    if (!shape) return error = filename + ": error in " + inner, false;
    if (!save_shape(filename, *shape, error, true)) return false;
    if (progress) progress("save done", 1, 1);
    return true;
  });
}
