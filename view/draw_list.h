#pragma once
// What the renderer draws, made from a loaded scene on the processor:
// geometry grouped by look into a few large batches in world space, shapes
// that many instances share drawn instanced, and the lighting.
//
// A city has tens of thousands of instances but few distinct looks (a
// dozen façade images, a few colours), so batching by look keeps the draw
// calls per frame near the number of looks. Each batch is cut into runs by
// tiles of the plan with their bounds and coarser levels of detail, so that
// a frame draws what the view sees at the detail it can show. The city's flat layers (ground,
// areas, roads, water) lie within millimetres of each other; each flat
// mesh gets the rank of its height among the flat heights near it, and the
// renderer pulls higher ranks towards the eye by a few depth steps.

#include <functional>
#include <string>
#include <vector>

#include "scene/math.h"
#include "scene/scene_load.h"
#include "view/far_image.h"

// Everything a draw needs besides its geometry.
struct draw_look {
  vec3f color    = {0.7f, 0.7f, 0.7f};  // linear; multiplies the texture
  vec3f emission = {0, 0, 0};
  int   texture  = -1;  // index into draw_list::textures, or none
};

// Triangles; texcoords are empty or one per position.
struct draw_mesh {
  std::vector<vec3f>    positions = {};
  std::vector<vec2f>    texcoords = {};
  std::vector<uint32_t> indices   = {};
};

// One level of detail of a run: its indices, and how far its surface
// strays from the full mesh (world units; 0 for the full mesh).
struct draw_level {
  size_t first = 0, count = 0;  // indices
  float  error = 0;
};

// A run of a batch that lies in one tile of the plan: its vertices (fewer
// than 2^16, so that indices take 16 bits, counted from `base_vertex`), its
// bounds, and its levels of detail, the full mesh first. The renderer
// leaves out the runs outside the view, draws far runs at a coarser level,
// and the rest of a batch with one call.
constexpr int max_levels = 4;
struct draw_range {
  uint32_t   base_vertex  = 0;
  uint32_t   vertex_count = 0;
  int        tile         = 0;  // x * tile_grid + z cell of the plan
  bbox3f     bounds       = {};
  bool       flat         = false;  // only flat meshes (ground, areas, roads, water, caps)
  int        level_count  = 1;
  draw_level levels[max_levels] = {};
};

// Many instances' geometry of one look and layer, in world space: vertices
// and indices run by run, the runs ordered tile by tile, the coarser
// levels' indices after all full ones.
struct draw_batch {
  int                     look      = 0;
  int                     layer     = 0;  // 0: no pull; higher ranks lie higher
  float                   height    = 0;  // the lowest flat height of the layer's meshes
  std::vector<vec3f>      positions = {};
  std::vector<vec2f>      texcoords = {};  // empty, or one per position
  std::vector<uint16_t>   indices   = {};  // from each run's base vertex
  std::vector<draw_range> ranges    = {};
};

// A run of instances of one shape that lie in one tile: frames `first` to
// `first + count`, and the bounds of their meshes.
struct draw_instance_run {
  size_t first = 0, count = 0;
  bbox3f bounds = {};
};

// One shape in its own space, drawn at many frames (ordered tile by tile),
// with its levels of detail (the full mesh first; the coarser levels'
// indices follow the full ones in the mesh).
struct draw_instances {
  int                            look        = 0;
  draw_mesh                      mesh        = {};
  std::vector<frame3f>           frames      = {};
  std::vector<draw_instance_run> runs        = {};
  int                            level_count = 1;
  draw_level                     levels[max_levels] = {};
};

struct draw_list {
  std::vector<draw_look>            looks     = {};
  std::vector<const scene_texture*> textures  = {};  // owned by the scene
  std::vector<draw_batch>           batches   = {};
  std::vector<draw_instances>       instanced = {};
  bbox3f                            bounds    = {};  // of everything drawn
  int                               tile_grid = 1;   // tiles along x and along z
  // What a framing view shows: the bounds without a flat backdrop that
  // reaches far past everything else (the ground square around a city).
  bbox3f focus = {};
  // The city from above, for the tiles far from the eye.
  far_image far = {};

  // The sun: stated by the scene, found in its sky, or none (the viewer
  // then places a default one relative to its first view).
  bool  has_sun       = false;
  vec3f sun_direction = {0, 1, 0};
  vec3f sun_color     = {1.0f, 0.96f, 0.9f};  // brightest channel 1
  // Soft light from the sky above and the ground below.
  vec3f sky_ambient    = {0.24f, 0.26f, 0.30f};
  vec3f ground_ambient = {0.12f, 0.115f, 0.11f};
  // The sky image shown behind the scene, if any.
  const scene_texture* sky          = nullptr;
  frame3f              sky_frame    = {};
  float                sky_exposure = 1;

  bool    has_camera  = false;
  frame3f camera      = {};
  float   camera_yfov = 0.7f;

  size_t triangles       = 0;  // of the full meshes
  size_t instance_count  = 0;  // scene instances drawn
  std::vector<std::string> warnings = {};
};

// How the draw list is made.
struct draw_options {
  bool use_sky = true;  // false: the scene's sky and sun are left out
  // Shapes used by at least this many instances are drawn instanced.
  int instancing_threshold = 8;
  // Coarser levels of detail for runs of at least this many triangles.
  size_t simplify_from = 32;
  // Frees each shape's arrays once its last instance is in the list, so
  // that the scene and the list are not held whole at the same time.
  bool release_shapes = false;
  // Threads that fill the batches and make the coarser levels (0: one per
  // processor); the list is the same for any number.
  int threads = 0;
};

// Builds the draw list. Reports ("prepare scene", done, total).
draw_list make_draw_list(loaded_scene& scene, const draw_options& options,
                         const progress_callback& progress = {});
draw_list make_draw_list(const loaded_scene& scene, bool use_sky = true,
                         const progress_callback& progress = {},
                         int instancing_threshold = 8);

// Runs `count` jobs on `thread_count` threads (0: one per processor), each
// taking the next job; `caller` tells the calling thread's calls apart. A
// job that throws stops them all, and the call throws std::bad_alloc once
// every thread is done.
void run_jobs(size_t count, int thread_count, const std::function<void(size_t job, bool caller)>& job);

// The renderer draws the far parts of a batch in blocks of this many tiles
// along x and along z, each block at once where it is small on screen.
constexpr int draw_block_tiles = 4;

// The list made in parts, the tiles nearest a first view first, so that a
// viewer can show them while the rest of a big city is made.
struct draw_part {
  // Complete on its own (looks, lighting, camera, bounds, focus and tile
  // grid of the whole scene); its geometry, counts and warnings its own.
  draw_list list        = {};
  int       tiles       = 0;  // tiles of the plan it holds
  int       scene_tiles = 0;  // tiles that hold anything
  double    share       = 0;  // of the scene's triangles, in it and the parts before
  bool      last        = false;
};
struct draw_staging {
  // The first view's eye, found from a list that holds everything but the
  // geometry; without it the eye is above the focus's centre.
  std::function<vec3f(const draw_list& header)> first_eye = {};
  // The share of the scene's triangles that the parts before the last hold
  // together, growing: {0.1} makes two parts, the first the nearest tiles
  // that hold a tenth of the triangles (one tile at least).
  std::vector<double> shares = {0.1};
  // Each part takes the tiles a block of this many along x and z at a time.
  // The renderer decides on a far block as a whole by its bounds: a part
  // must hold whole blocks for its batches to be drawn as the whole list's.
  int block_tiles = draw_block_tiles;
  // Gets each part as soon as it is made, on the calling thread.
  std::function<void(draw_part& part)> take = {};
  // Asked as the parts are made (from several threads): true stops it.
  std::function<bool()> stopped = {};
};

// Makes the draw list in parts and hands them to `staging.take`; false when
// stopped. Together the parts hold every run and instance of the list that
// make_draw_list makes, each once and alike; a batch or instanced shape is
// cut where its tiles fall in different parts. Reports as make_draw_list.
bool make_draw_list_parts(loaded_scene& scene, const draw_options& options,
                          const draw_staging& staging, const progress_callback& progress = {});

// How far `point` lies from the box (0 inside).
float box_distance(const bbox3f& box, const vec3f& point);

// Frees the geometry of the list (once the renderer holds it), keeping
// what the view needs besides: bounds, lighting, counts.
void release_geometry(draw_list& list);

// Whether a run spans fewer than 48 x `max_pixels` pixels seen from `eye`
// (never when `max_pixels` is 0): it casts no shadow (its buildings are a
// few pixels; their shadows less).
bool small_on_screen(const bbox3f& bounds, const vec3f& eye, float pixels_per_unit,
                     float max_pixels);
// Whether a box's diagonal spans fewer than `pixels` pixels seen from `eye`.
bool spans_fewer_pixels(const bbox3f& bounds, const vec3f& eye, float pixels_per_unit, float pixels);
// The level of detail a run is drawn at: the coarsest whose error, seen
// from the eye, stays below `max_pixels`, with `pixels_per_unit` pixels for
// one world unit at a distance of one (the view's height in pixels over
// twice the tangent of half its field of view). With `small_coarsest` a
// run small on screen takes its coarsest level; without it (where the far
// picture stands for the small tiles) it gets the level its error allows.
int detail_level(const bbox3f& bounds, const draw_level* levels, int level_count,
                 const vec3f& eye, float pixels_per_unit, float max_pixels = 1.0f,
                 bool small_coarsest = true);

// The coarser levels of detail of a mesh (`count` indices into `vertices`
// positions), each straying further from it (1 %, 4 %, 12 %, 35 % of its
// size): edge collapses on the mesh with coincident corners welded, or
// clustering where they stop short; a level that saves less than a quarter
// of the last is left out.
// Appends each level's indices to `out` (its `first` counted from the start
// of `out`, its error in world units) and returns how many it made.
int make_coarser_levels(const vec3f* positions, size_t vertices, const uint32_t* indices,
                        size_t count, std::vector<uint32_t>& out, draw_level* levels,
                        int max_count);

// The number of draw calls one frame takes: one per batch and per
// instanced shape, plus the background.
size_t draw_calls(const draw_list& list);
