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

// A far picture being drawn. A list made in parts is drawn part by part
// (all of one scene: the same plan, tile grid and looks), then finished.
struct far_image_maker {
  far_image          image = {};
  std::vector<float> top   = {};  // the highest surface's height (plus its rank) per texel
  bbox3f             plan  = {};  // the list's focus
  float x0 = 0, z0 = 0, texels_per_x = 1, texels_per_z = 1;
  int   grid      = 1;
  float rank_step = 0;  // the height a flat layer's rank counts for
  // Each look's colour from afar (its colour times its image's mean), as
  // stored and as light.
  std::vector<vec4b> look_srgb   = {};
  std::vector<vec3f> look_linear = {};
  // Per tile: the colour of its walls, weighted by their area.
  std::vector<vec3f> wall_sum    = {};
  std::vector<float> wall_weight = {};
};

// A blank picture over the list's plan (its focus, cut by its tile grid),
// with the colours of its looks; none for a list without a plan.
far_image_maker start_far_image(const draw_list& list);
// Draws the list's meshes (its batches and instanced shapes, each at the
// coarsest level that strays less than two texels) into the picture, on
// `threads` threads (0: one per processor). Walls and other surfaces seen
// edge on from above cover nothing; of stacked flat layers the higher rank
// shows.
void draw_far_image(far_image_maker& maker, const draw_list& list, int threads = 0);
// Hides the ground behind tall buildings and finds each tile's box; gives
// the picture and frees the rest.
far_image finish_far_image(far_image_maker& maker, int threads = 0);
// The three at once: the list's own far picture.
void make_far_image(draw_list& list, int threads = 0);

// The plan cell of a tile of the list: its x and z extents.
bbox3f tile_cell(const draw_list& list, int tile);
