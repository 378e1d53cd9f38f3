#pragma once
// The city seen from straight above: one picture over the tiles of the
// plan, holding for each texel the colour of the highest surface there and
// the way that surface faces. A tile far from the eye, a few dozen pixels
// on screen, is drawn as one quad with its part of the picture instead of
// its meshes, lit as the meshes are: the streets, blocks and parks that a
// person sees from afar stay, where coarser meshes break up into
// fragments of roofs and walls.

#include <vector>

#include "scene/math.h"

struct draw_list;

// A tile is drawn from its picture where its diagonal spans fewer than
// this many times the pixels a level may stray (96 at the default 2), as
// small runs take their coarsest level: the triangles drawn per frame stay
// bounded. Its picture has this many texels along a side, about a pixel
// each there.
constexpr float far_tile_pixels = 48;
constexpr int   far_tile_texels = 64;

struct far_image {
  int width = 0, height = 0;  // texels along x and along z of the list's focus
  // sRGB colour of the highest surface; alpha 255 where one covers the
  // texel, 0 where nothing does.
  std::vector<vec4b> albedo = {};
  // That surface's normal turned up, 0.5 + 0.5 n per channel.
  std::vector<vec4b> facing = {};
  // Per tile (x * tile_grid + z, as the list's runs): the tile's plan cell
  // and the heights of its surfaces; an empty box where it has none. The
  // tile's quad lies at its lowest surface.
  std::vector<bbox3f> tiles = {};
};

// Draws the list's full meshes (its batches and instanced shapes) into its
// far image, on `threads` threads (0: one per processor). Walls and other
// surfaces seen edge on from above are left out; of stacked flat layers
// the higher rank shows.
void make_far_image(draw_list& list, int threads = 0);

// The plan cell of a tile of the list: its x and z extents.
bbox3f tile_cell(const draw_list& list, int tile);
