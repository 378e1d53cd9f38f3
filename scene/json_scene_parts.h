#pragma once
// What the files of the JSON scene code share: the compact store's names
// and block size, and the shape files that the document writer leaves to
// the shape writer.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scene/json_scene.h"

namespace json_writing {

// Names and geometry go into blocks of this size (or one of their own when
// larger), so that nothing stored ever moves; the document text is written
// out in parts of about this size.
constexpr size_t block_size = size_t{1} << 20;

std::string_view name_text(const json_scene_store& store, uint32_t name);

// For each shape, the next shape written to the same file, or none. A file
// that a later shape rewrites ends up with that shape's content alone.
std::vector<uint32_t> next_same_file(const json_scene_store& store);

// The files of all shapes, as a loop that saves shape after shape would
// leave them, reporting ("save shape", 2 + i, total) before shape i and
// stopping at the first failure.
bool save_store_shapes(const std::string& filename, const json_scene_store& store,
                       const std::vector<uint32_t>& next, const progress_callback& progress,
                       int total, std::string& error);

}  // namespace json_writing
