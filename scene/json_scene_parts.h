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

// A name kept in the store's text blocks, as a new entry of `names`.
uint32_t add_name(json_scene_store& store, std::string_view name);
// The store's entry for a material's values (its name aside) or a shape's
// settings, shared with every equal one added before. `key` is scratch.
uint32_t add_style(json_scene_store& store, const scene_material& material, std::string& key);
uint32_t add_settings(json_scene_store& store, const json_store_settings& settings,
                      std::string& key);

// The shape `index` of a store from load_json_scene_store, read from its
// file into `scratch` (see store_shape_geometry).
const scene_shape* read_store_shape(const json_scene_store& store, size_t index,
                                    scene_shape& scratch, std::string& error);

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
