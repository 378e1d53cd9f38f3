#include "scene/store_reader.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "scene/json_scene_parts.h"

namespace {

// One shape in the ring between the readers and the taker.
struct read_slot {
  scene_shape        scratch = {};
  const scene_shape* shape   = nullptr;
  std::string        error   = "";
  std::exception_ptr thrown  = nullptr;
  size_t             k       = SIZE_MAX;  // the place in the order it holds, when ready
};

struct read_ring {
  const json_scene_store&      store;
  const std::vector<uint32_t>& order;
  const store_shape_prepare&   prepare;
  std::vector<read_slot>       slots;
  std::mutex                   mutex;
  std::condition_variable      ready, room;
  size_t                       next  = 0;  // the next place a reader takes
  size_t                       taken = 0;  // places the taker is done with
  size_t                       stop  = SIZE_MAX;  // no reader goes past this place

  read_ring(const json_scene_store& store, const std::vector<uint32_t>& order,
            const store_shape_prepare& prepare, size_t size)
      : store(store), order(order), prepare(prepare), slots(size) {}

  // Has and prepares the shape at place k into its slot.
  void fill(size_t k, read_slot& slot, std::string& data) {
    slot.error.clear();
    slot.thrown = nullptr;
    try {
      auto index = (size_t)order[k];
      slot.shape = json_writing::store_shape_geometry(store, index, slot.scratch, data, slot.error);
      if (slot.shape && prepare) prepare(index, slot.shape, slot.scratch);
    } catch (const std::exception&) {
      slot.shape = nullptr;
      slot.thrown = std::current_exception();
    }
  }

  void read() {
    auto data = std::string{};
    for (;;) {
      auto lock = std::unique_lock{mutex};
      room.wait(lock, [&] { return next >= std::min(order.size(), stop) || next < taken + slots.size(); });
      if (next >= std::min(order.size(), stop)) return;
      auto k = next++;
      auto& slot = slots[k % slots.size()];
      lock.unlock();
      fill(k, slot, data);
      lock.lock();
      slot.k = k;
      if (!slot.shape) stop = std::min(stop, k + 1);
      ready.notify_all();
    }
  }
};

}  // namespace

bool read_store_shapes(const json_scene_store& store, const std::vector<uint32_t>& order,
                       const store_shape_prepare& prepare, const store_shape_take& take,
                       std::string& error) {
  auto fail = [&](read_slot& slot) {
    if (slot.thrown) std::rethrow_exception(slot.thrown);
    error = slot.error;
    json_writing::note_store_read_failure(store, error);
    return false;
  };
  // A few shapes are read here; threads pay for many.
  auto threads = std::clamp((int)std::thread::hardware_concurrency(), 1, 4);
  if (order.size() < 256 || threads < 2) {
    auto ring = read_ring{store, order, prepare, 1};
    auto data = std::string{};
    auto& slot = ring.slots.front();
    for (size_t k = 0; k < order.size(); k++) {
      ring.fill(k, slot, data);
      if (!slot.shape) return fail(slot);
      if (!take(k, order[k], *slot.shape)) return false;
    }
    return true;
  }

  auto ring = read_ring{store, order, prepare, (size_t)threads * 64};
  // The readers are stopped and joined however this ends, a throw too.
  struct readers_guard {
    read_ring&               ring;
    std::vector<std::thread> threads = {};
    ~readers_guard() {
      {
        auto lock = std::unique_lock{ring.mutex};
        ring.stop = 0;
        ring.room.notify_all();
      }
      for (auto& thread : threads) thread.join();
    }
  } readers{ring};
  for (int t = 0; t < threads; t++) readers.threads.emplace_back([&ring] { ring.read(); });
  for (size_t k = 0; k < order.size(); k++) {
    auto& slot = ring.slots[k % ring.slots.size()];
    {
      auto lock = std::unique_lock{ring.mutex};
      ring.ready.wait(lock, [&] { return slot.k == k; });
    }
    if (!slot.shape) return fail(slot);
    if (!take(k, order[k], *slot.shape)) return false;
    auto lock = std::unique_lock{ring.mutex};
    ring.taken = k + 1;
    ring.room.notify_all();
  }
  return true;
}
