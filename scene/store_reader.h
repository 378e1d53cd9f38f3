#pragma once
// A store's shapes read ahead of the one who takes them: a few threads read
// and prepare the next shapes while the calling thread takes them, one at
// a time and in the order asked for.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scene/json_scene.h"

// What is done with a shape on the reading threads once it is had: it may
// change `shape` to a copy made in `scratch` (the shape it is given may be
// the store's own). Called on several threads at once, each with its own
// scratch.
using store_shape_prepare = std::function<void(size_t index, const scene_shape*& shape,
                                               scene_shape& scratch)>;
// What the calling thread does with shape `index`, the k-th of the order;
// false stops the reading (its error is the caller's).
using store_shape_take = std::function<bool(size_t k, size_t index, const scene_shape& shape)>;

// Takes the store's shapes `order` (indices into store.shapes) in that
// order. A shape that cannot be had stops the reading there: false, with
// `error` the reader's (as store_shape_geometry gives it) and the failure
// noted for store_read_failure. False without a new error when `take`
// returns false. Running out of memory on a reading thread is thrown again
// on the calling thread.
bool read_store_shapes(const json_scene_store& store, const std::vector<uint32_t>& order,
                       const store_shape_prepare& prepare, const store_shape_take& take,
                       std::string& error);
