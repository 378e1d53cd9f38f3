#pragma once
// The flat layers of a city: the ground, the areas, the roads, the water and
// the caps of one height lie flat, a few ten-thousandths of a scene unit
// apart or at exactly one height, far closer than any depth buffer tells
// apart. Each flat mesh gets a layer rank; the exports lift it by its rank
// times a step, the viewer pulls it towards the eye by its rank.

#include <functional>
#include <vector>

#include "scene/scene.h"

// The height step between two layers: 1e-4 of the diagonal of `bounds`.
float flat_layer_step(const bbox3f& bounds);

// The ranks of the instances' flat meshes (an instance whose geometry,
// placed by its frame, lies at one height); upright meshes get rank 0.
//
// The meshes are taken from the lowest up (one height in name order), and
// each gets the smallest rank that puts it, lifted by rank times the step,
// at least one step above every lower flat mesh it overlaps in plan (by
// area, not only along an edge), and at another rank than every mesh of its
// own height it overlaps: two roads that cross are a step apart. Meshes
// already a step or more apart keep rank 0, so lifted layers are not lifted
// again. Ranks depend only on the geometry and the names, not on the order
// of `instances`.
struct flat_layer_ranks {
  float            step  = 0;   // flat_layer_step of the instances' bounds
  std::vector<int> ranks = {};  // one per instance, in the order given
};
flat_layer_ranks rank_flat_layers(const std::vector<const scene_instance*>& instances);
// The same with the instances' world boxes given, one per instance:
// placed_box of its shape's own box by its frame, an empty box for an
// instance without faces (what the call above finds for itself); ranked
// on `threads` threads as below.
flat_layer_ranks rank_flat_layers(const std::vector<const scene_instance*>& instances,
                                  std::vector<bbox3f> boxes, int threads = 0);

// The same ranking over items given by their world boxes (an empty box for
// an item without faces), their names (name_less orders two items by name;
// it may be called from two threads at once)
// and their geometry, asked for only when an overlap must be told by faces:
// shape_of(i, scratch, frame) returns item i's shape (in `scratch` or
// elsewhere) and sets its frame. False, with the ranks unfinished, when
// shape_of returns null (a shape that cannot be had).
//
// With `threads` other than 1 the plan is cut in two and ranked on two
// threads, shape_of then called from both at once: 0 when the processor
// has two and the city is big enough for the cut to pay, 2 or more
// always (where the plan has room for a cut). The ranks are the same.
bool rank_flat_boxes(std::vector<bbox3f> boxes,
                     const std::function<bool(size_t, size_t)>& name_less,
                     const std::function<const scene_shape*(size_t, scene_shape&, frame3f&)>& shape_of,
                     flat_layer_ranks& result, int threads = 1);

// A shape's own box placed by a frame: the box of its eight corners moved.
bbox3f placed_box(const bbox3f& local, const frame3f& frame);

// Lifts every flat mesh of the scene by its rank times the step, moving its
// instance's frame up (the instances as the JSON scene keys them, so that a
// scene and the scene read back from its JSON file are lifted alike).
// Returns the number of instances lifted.
size_t lift_flat_layers(scene_data& scene);
