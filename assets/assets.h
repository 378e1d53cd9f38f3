#pragma once
// The asset maker: the façade images and tree models that blockgen reads
// from "buildings_texture" and "tree_models" inside its input folder.
//
// Everything is drawn from fixed seeds with our own random generator, so
// every run on every machine writes the same pixels and vertices.

#include <cstdint>
#include <string>
#include <vector>

#include "scene/image.h"
#include "scene/scene.h"

// A small deterministic generator (splitmix64); the standard distributions
// differ between library versions, so none of them is used.
struct asset_random {
  uint64_t state = 0;
};
inline uint64_t next_random(asset_random& rng) {
  auto z = (rng.state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
// A float in [0, 1).
inline float random_float(asset_random& rng) {
  return (next_random(rng) >> 40) * (1.0f / 16777216.0f);
}

// The façade file stems ("1" ... "8", "8_11", "10_41", "40_71", "70_101",
// "more_101", "colosseo"), in the order blockgen loads them.
const std::vector<std::string>& facade_names();
// One whole wall, ground to roof: the texture is stretched once over a wall.
// An unknown stem gives an empty image.
image4b make_facade(const std::string& stem);

// The tree model names ("standard", "palm", "pine", "cypress", "oak").
const std::vector<std::string>& tree_names();
// A closed, outward-facing triangle mesh in scene units, y up, standing on
// y = 0 around the vertical axis; positions and triangles only. An unknown
// name gives an empty shape.
scene_shape make_tree(const std::string& name);

// Writes folder/buildings_texture/<stem>.jpg and folder/tree_models/<name>.ply,
// making the folders. Stops at the first failure with the saver's message.
bool save_assets(const std::string& folder, std::string& error);
