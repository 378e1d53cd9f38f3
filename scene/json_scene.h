#pragma once
// The JSON scene file: cameras, environments, materials and instances in one
// document, with every shape in "shapes" and every texture in "textures"
// beside it, each file named after its record.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "scene/scene.h"
#include "support/console.h"

// Writes the document, then each shape ("shapes/NAME.ply", or ".obj" for
// Catmull-Clark subdivided shapes) and each texture ("textures/NAME.png" for
// 8-bit, ".hdr" for float). The folders must exist. Stops at the first
// failure; a failing shape or texture is reported as
// filename + ": error in " + its own error, and no document is left at
// `filename` (it is written last, under a temporary name until then).
bool save_json_scene(const std::string& filename, const scene_data& scene,
                     std::string& error, const progress_callback& progress = {});

// ---------------------------------------------------------------------------
// A big scene written from a compact store
// ---------------------------------------------------------------------------

// The shapes, instances and materials of a scene in the compact form the
// JSON scene writer writes them from: each name kept once, one material
// record for all materials with the same values, shape geometry packed into
// large blocks, instance frames kept only when they are not the identity. A
// city of a million features has millions of records; as scene records they
// take several gigabytes, here a fraction of that. A producer adds records
// in batches (the city is built a part at a time, each part moved into the
// store before the next is built), so the whole scene is never held as
// scene records.
constexpr uint32_t json_store_none = 0xffffffffu;

struct json_store_name {
  const char* data = nullptr;
  size_t      size = 0;
};
struct json_store_material {
  uint32_t name  = 0;
  uint32_t style = 0;  // index into material_styles
};
struct json_store_instance {
  uint32_t name     = 0;
  uint32_t frame    = 0;                // index into frames; 0 is the identity
  uint32_t shape    = json_store_none;  // the shape's name
  uint32_t material = json_store_none;  // the material's name
  uint32_t settings = json_store_none;  // the shape's settings, when there is a shape
};
// The rendering settings of a shape, which the document writes into every
// instance of the shape and which choose its file's extension.
struct json_store_settings {
  int                  subdivisions     = 0;
  bool                 catmullclark     = true;
  bool                 smooth           = true;
  float                displacement     = 0;
  const scene_texture* displacement_tex = nullptr;
};
struct json_store_shape {
  uint32_t           name     = 0;
  uint32_t           settings = 0;
  const uint32_t*    geometry = nullptr;  // packed arrays, when not borrowed
  const scene_shape* borrowed = nullptr;  // a shape whose arrays are used as they are
  bool               in_file  = false;    // read from the scene's shape file when asked for
};

// Where the shapes of a store read from a JSON scene are: the scene file's
// name and folder, and the first shape file that could not be read.
struct json_store_files;

struct json_scene_store {
  std::vector<json_store_name>     names           = {};
  std::vector<scene_material>      material_styles = {};  // names left empty
  std::vector<json_store_settings> settings        = {};
  std::vector<frame3f>             frames          = {frame3f{}};
  std::vector<json_store_shape>    shapes          = {};
  std::vector<json_store_instance> instances       = {};
  std::vector<json_store_material> materials       = {};
  // Blocks that never move, holding the names and the packed geometry.
  std::vector<std::unique_ptr<char[]>>     text_blocks = {};
  std::vector<std::unique_ptr<uint32_t[]>> word_blocks = {};
  char*     text_next  = nullptr;
  size_t    text_left  = 0;
  uint32_t* words_next = nullptr;
  size_t    words_left = 0;
  // Values seen before, by their bits: equal records share one entry.
  std::unordered_map<std::string, uint32_t> style_index    = {};
  std::unordered_map<std::string, uint32_t> settings_index = {};
  // The shape files of a store read by load_json_scene_store, and a call
  // made with each shape as it is read from its file (to learn what the
  // shapes hold without holding them), by one thread at a time.
  std::shared_ptr<json_store_files>       files      = {};
  std::function<void(const scene_shape&)> shape_read = {};
  // Set by an owner that writes the store once and then drops it: an
  // export that keeps every shape it takes prepared apart (glTF, GLB, OBJ,
  // PBRT) frees the packed geometry as soon as it has, which at a million
  // features is a third of what the program holds. A shape asked of the
  // store after such a save is an error, never an empty shape.
  bool written_once = false;
  bool geometry_released = false;
};

// Frees the packed geometry of the store's shapes, which cannot be had from
// then on (store_shape_geometry fails for them).
void release_store_geometry(json_scene_store& store);

// Where adding starts in each of a scene's record arrays.
struct scene_record_counts {
  size_t shapes = 0, instances = 0, materials = 0;
};
inline scene_record_counts record_counts(const scene_data& scene) {
  return {scene.shapes.size(), scene.instances.size(), scene.materials.size()};
}

// Adds the shapes, instances and materials of `scene` from `from` on, in
// array order, after the records added before. What the writer needs is
// copied: the scene may drop these records afterwards. With borrow_shapes
// the store refers to the scene's shapes for their arrays instead of
// copying them, and the shapes must outlive the store.
void add_scene_records(json_scene_store& store, const scene_data& scene,
                       const scene_record_counts& from, bool borrow_shapes = false);

// The geometry of the store's shape `index`: the borrowed shape itself, or
// the packed arrays unpacked into `scratch` (named after the record and
// given its settings), which is returned, or the shape read from its file
// into `scratch`. Writers take a store's shapes one at a time, in order,
// through this. Null with `error` set when the shape cannot be had: a shape
// file that is missing or broken, reported as load_json_scene reports it
// (the scene file's name + ": error in " + the shape reader's error). Safe
// to call from one thread at a time.
const scene_shape* store_shape_geometry(const json_scene_store& store, size_t index,
                                        scene_shape& scratch, std::string& error);

// The single-shape save of a store: the geometry of its first shape to
// `filename` (".ply" or ".obj" by its extension), texture coordinates
// flipped, as save_scene saves a scene's first shape. Progress:
// ("save scene", 0, 1) and ("save done", 1, 1). ": empty shape" when the
// store has no shapes; a shape that cannot be had fails as
// filename + ": error in " + its error.
bool save_first_shape(const std::string& filename, const json_scene_store& store,
                      std::string& error, const progress_callback& progress = {});

// Writes the scene whose cameras, environments and textures are those of
// `scene` and whose shapes, instances and materials are those of `store`,
// exactly as save_json_scene writes the scene they come from, with the same
// progress and the same failures. Each shape file is written once, with
// the content it ends up with when shapes share a file name, on a second
// thread while the next ones are prepared.
bool save_json_scene(const std::string& filename, const scene_data& scene,
                     const json_scene_store& store, std::string& error,
                     const progress_callback& progress = {});

// Reads a scene document and the files it names into `scene` (emptied
// first). Records keep the order of the document; a record given as null, or
// a member left out or given as null, keeps the default of a fresh record;
// a name given twice in one kind counts once, as its last occurrence.
// Members this reader does not know are skipped.
//
// Shapes and textures are reached through the names that instances,
// materials and environments hold: the shape named N is read from
// "shapes/N.ply" (or "shapes/N.obj", the file the writer chooses for
// Catmull-Clark subdivided shapes; the other one serves when it is missing),
// every shape once however many instances share it, and takes the
// subdivision and displacement settings of the first instance that names it.
// A shape file with no elements at all is an empty shape. The texture named
// N is the first of "textures/N.png", ".jpg", ".hdr", ".exr", ".pfm" there;
// the last three load as float textures.
//
// The file is untrusted. Failures, each starting with `filename`:
//   ": file not found", ": read error"   the document itself
//   ": parse error in json"              not JSON at all
//   ": parse error in json: WHAT"        JSON of the wrong form: a member of
//       the wrong type, a frame without 12 numbers, a number outside the
//       range of its field, a reference to a material that is not there
//   ": error in KIND \"NAME\": ..."      a shape or texture name that is no
//       plain file name inside its folder ("../x", "a/b", "CON"): nothing
//       outside the scene's folder is ever read
//   ": error in " + inner error          a shape or image file that is
//       missing or broken, with the error of its reader
// Sizes come from the files: the shape and image readers refuse counts the
// file cannot hold before they allocate.
// Progress: ("load scene", 0, 1), then ("load shape" or "load texture",
// 1 + files read, N) in about a thousand steps at most, and
// ("load done", N, N), with N = 2 + shapes + textures. Shape files are read
// by a few threads at once.
bool load_json_scene(const std::string& filename, scene_data& scene, std::string& error,
                     const progress_callback& progress = {});

// The same on a document already in memory; `filename` names it in messages
// and its folder is where the shape and texture files are read from.
bool parse_json_scene(const std::string& filename, const std::string& text, scene_data& scene,
                      std::string& error, const progress_callback& progress = {});

// The same document read into a store without reading a single shape file:
// `scene` gets the copyright, cameras, environments and textures (read from
// their files as load_json_scene reads them), `store` the instances,
// materials and shapes, each shape left in its file until a writer asks for
// it through store_shape_geometry; both are emptied first. The shapes are
// those load_json_scene makes, in the same order, with the same names and
// settings, read from the same files by the same rules; the instances and
// materials those it makes, one store entry each. A document that
// load_json_scene refuses is refused with the same error, except that a
// shape file is only read, and can only fail, when it is asked for.
// Progress: ("load scene", 0, 1), ("load texture", 1 + j, N) and
// ("load done", N, N), with N = 2 + textures.
bool load_json_scene_store(const std::string& filename, scene_data& scene,
                           json_scene_store& store, std::string& error,
                           const progress_callback& progress = {});
bool parse_json_scene_store(const std::string& filename, const std::string& text,
                            scene_data& scene, json_scene_store& store, std::string& error,
                            const progress_callback& progress = {});

// The error of the first shape file of a store from load_json_scene_store
// that could not be read, as store_shape_geometry gave it; empty when every
// shape asked for so far was read. A writer that stops at such a shape
// wraps the error in its own; this is the reader's word on it.
std::string store_read_failure(const json_scene_store& store);
