#include "scene/store_reader.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
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
  // Waking a thread costs more than reading a small shape, so each side is
  // woken only once it has a batch of work: a taker that found its next
  // place not ready once a few places from it are, a reader that found the
  // ring full once a quarter of it is free again.
  size_t                       wanted = SIZE_MAX, wanted_last = SIZE_MAX;  // what the taker waits for
  int                          waiting = 0;  // readers waiting for room

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

  bool done() const { return next >= std::min(order.size(), stop); }
  // A waiting reader goes on once this much of the ring is free.
  bool roomy() const { return next + slots.size() / 4 < taken + slots.size(); }

  void read() {
    auto data = std::string{};
    auto lock = std::unique_lock{mutex};
    for (;;) {
      if (!done() && next >= taken + slots.size()) {
        waiting++;
        room.wait(lock, [&] { return done() || roomy(); });
        waiting--;
      }
      if (done()) return;
      auto k = next++;
      auto& slot = slots[k % slots.size()];
      lock.unlock();
      fill(k, slot, data);
      lock.lock();
      slot.k = k;
      if (!slot.shape) stop = std::min(stop, k + 1);
      if (k == wanted || k >= wanted_last || !slot.shape) ready.notify_one();
    }
  }

  // The taker: waits for place k, and when it is not ready yet, also for
  // the last of a batch from k (or for the reading to stop before it).
  void wait_for(std::unique_lock<std::mutex>& lock, size_t k) {
    auto& slot = slots[k % slots.size()];
    if (slot.k == k) return;
    auto last = std::min(k + slots.size() / 8, order.size()) - 1;
    auto& last_slot = slots[last % slots.size()];
    wanted = k, wanted_last = last;
    ready.wait(lock, [&] { return slot.k == k && (last_slot.k == last || stop <= last); });
    wanted = wanted_last = SIZE_MAX;
  }
  // The taker is done with place k.
  void took(size_t k) {
    taken = k + 1;
    if (waiting > 0 && (done() || roomy())) room.notify_all();
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
  auto read_here = [&] {
    auto ring = read_ring{store, order, prepare, 1};
    auto data = std::string{};
    auto& slot = ring.slots.front();
    for (size_t k = 0; k < order.size(); k++) {
      ring.fill(k, slot, data);
      if (!slot.shape) return fail(slot);
      if (!take(k, order[k], *slot.shape)) return false;
    }
    return true;
  };
  if (order.size() < 256 || threads < 2) return read_here();

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
  for (int t = 0; t < threads; t++) {
    try {
      readers.threads.emplace_back([&ring] { ring.read(); });
    } catch (const std::system_error&) {
      break;  // those started read them all
    }
  }
  if (readers.threads.empty()) return read_here();
  // One lock a shape: the place taken is given back and the next one
  // waited for together.
  auto lock = std::unique_lock{ring.mutex};
  for (size_t k = 0; k < order.size(); k++) {
    auto& slot = ring.slots[k % ring.slots.size()];
    ring.wait_for(lock, k);
    lock.unlock();
    if (!slot.shape) return fail(slot);
    if (!take(k, order[k], *slot.shape)) return false;
    lock.lock();
    ring.took(k);
  }
  return true;
}
