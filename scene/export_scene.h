#pragma once
// What a scene gets before it is written for other programs (glTF, GLB, OBJ,
// PBRT), which draw exactly what the file says: walls and roofs facing out
// with normals, flat layers lifted apart. The JSON scene and the PLY shape
// are written as the scene is.

#include <string>

#include "scene/scene.h"

// True for ".gltf", ".glb", ".obj" and ".pbrt" (all lower or all upper case).
bool is_export_format(const std::string& filename);

// orient_city_surfaces, then lift_flat_layers. blockgen and convert both
// call it on the scene they are about to write in an export format.
void prepare_export_scene(scene_data& scene);

// The scene's "extras" of a glTF file as a JSON object text: the
// georeference when the scene has one, and the ambient colour of the sky
// (the mean radiance of its upper half, times the environment's emission).
// Empty when there is nothing to say.
std::string scene_extras_json(const scene_data& scene);

// ---------------------------------------------------------------------------
// The same preparation for a scene held in a compact store
// ---------------------------------------------------------------------------

#include <cstdint>
#include <memory>
#include <vector>

#include "scene/json_scene.h"

// The shapes as the export shows them, kept from the plan's reading in a
// temporary file beside the output, so that the writer reads none twice.
struct prepared_shapes;

// An instance as the scene files key them (see instances_by_name): one per
// name, a later record's frame, shape and material laid over an earlier
// one's; the shape is the last store shape of its name.
struct keyed_store_instance {
  uint32_t name     = 0;                // the first record's name
  uint32_t frame    = 0;                // into store.frames
  uint32_t shape    = json_store_none;  // into store.shapes
  uint32_t material = json_store_none;  // the material's name
};

// What the export writers need of a store before they take its shapes: the
// instances by name, the materials by name, and for a store that is not yet
// prepared (prepare_export_scene not run on its records) what preparing it
// takes from the whole scene: the façade aspect each shape is shown with,
// and the layer rank of each instance, found from the flat meshes and the
// step from the bounds. Each shape is then prepared alone as it is taken.
struct store_export_plan {
  bool                              prepare   = false;
  std::vector<keyed_store_instance> instances = {};  // by name
  std::vector<uint32_t>             materials = {};  // store materials by name
  std::vector<scene_material>       merged    = {};  // looks of names of several records, each once
  std::vector<uint32_t>             merged_of = {};  // per entry of `materials`: a style, or past
                                                     // the styles an entry of `merged`
  std::vector<float>                aspects   = {};  // per store shape, while they are taken
  std::vector<int>                  ranks     = {};  // per keyed instance
  float                             step      = 0;
  bbox3f                            bounds    = {};  // of the prepared scene
  // Per store shape, for the shapes the plan took: whether it has faces as
  // shown (1), has none (0), or was not taken (2).
  std::vector<uint8_t>             faces    = {};
  std::shared_ptr<prepared_shapes> prepared = {};
};

// The plan takes every shape an instance shows, once, on a few threads, in
// the order the writers take them; with `every_shape` the shapes no instance
// shows as well (after those). The bounds of the prepared scene are found
// only `with_bounds`. Fails when a shape cannot be had (the store's error,
// wrapped as filename + ": error in " + it) or the temporary file of the
// prepared shapes cannot be written.
bool plan_store_export(const std::string& filename, const json_scene_store& store, bool prepare,
                       store_export_plan& plan, std::string& error, bool with_bounds = true,
                       bool every_shape = false);

// The material keyed instance `instance` is shown with, merged by name;
// null for none (or a name no material has).
const scene_material* keyed_material(const json_scene_store& store, const store_export_plan& plan,
                                     const keyed_store_instance& instance);

// The frame of a keyed instance, lifted by its layer.
frame3f keyed_frame(const json_scene_store& store, const store_export_plan& plan, size_t instance);

// Store shape `index` as the export shows it: prepared when the plan says
// so (in `scratch`, which may be used either way). Null with `error` set
// (wrapped as above) when it cannot be had.
const scene_shape* export_store_shape(const std::string& filename, const json_scene_store& store,
                                      const store_export_plan& plan, size_t index,
                                      scene_shape& scratch, std::string& error);

// A name of the store as text.
std::string_view store_name(const json_scene_store& store, uint32_t name);
