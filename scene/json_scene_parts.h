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
// The key of a material's look (every field but the name): materials with
// the same key are equal but for their names.
void style_key(const scene_material& material, std::string& key);
// The store's entry for a material's values (its name aside) or a shape's
// settings, shared with every equal one added before. `key` is scratch.
uint32_t add_style(json_scene_store& store, const scene_material& material, std::string& key);
uint32_t add_settings(json_scene_store& store, const json_store_settings& settings,
                      std::string& key);

// The shape `index` of a store from load_json_scene_store, read from its
// file into `scratch` (see store_shape_geometry).
const scene_shape* read_store_shape(const json_scene_store& store, size_t index,
                                    scene_shape& scratch, std::string& error);

// store_shape_geometry for readers on several threads at once: `data` holds
// the bytes of the shape file, the store's shape_read is called by one
// thread at a time, and a shape that cannot be had is not noted for
// store_read_failure (the caller notes the one it stops at).
const scene_shape* store_shape_geometry(const json_scene_store& store, size_t index,
                                        scene_shape& scratch, std::string& data,
                                        std::string& error);
// The shape file of a store shape whose record `scratch` holds, read with
// `data` as store_shape_geometry above reads it.
const scene_shape* read_store_shape_file(const json_scene_store& store, scene_shape& scratch,
                                         std::string& data, std::string& error);
// Notes the error of a shape that could not be had, unless one was noted.
void note_store_read_failure(const json_scene_store& store, const std::string& error);

// The name and settings of store shape `index` given to `shape`.
void set_store_shape_record(const json_scene_store& store, size_t index, scene_shape& shape);

// A shape's arrays as words: a word telling which are there, then the
// length of each (two words) and its values; unpack_geometry makes the
// arrays again (all empty for null).
void pack_geometry(const scene_shape& shape, std::vector<uint32_t>& words);
void unpack_geometry(const uint32_t* words, scene_shape& shape);

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
