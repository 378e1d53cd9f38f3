#pragma once
// What the renderer draws, made from a loaded scene on the processor:
// geometry grouped by look into a few large batches in world space, shapes
// that many instances share drawn instanced, and the lighting.
//
// A city has tens of thousands of instances but few distinct looks (a
// dozen façade images, a few colours), so batching by look keeps the draw
// calls per frame near the number of looks. The city's flat layers (ground,
// areas, roads, water) lie within millimetres of each other; each flat
// mesh gets the rank of its height among the flat heights near it, and the
// renderer pulls higher ranks towards the eye by a few depth steps.

#include <string>
#include <vector>

#include "scene/math.h"
#include "scene/scene_load.h"

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

// A run of a batch's indices that lies in one tile of the plan, with its
// bounds: the renderer leaves out the runs outside the view, and draws the
// rest of a batch with one call.
struct draw_range {
  size_t first = 0, count = 0;  // indices
  bbox3f bounds = {};
};

// Many instances' geometry of one look and layer, in world space, its
// indices ordered tile by tile.
struct draw_batch {
  int                     look   = 0;
  int                     layer  = 0;  // 0: no pull; higher ranks lie higher
  float                   height = 0;  // the lowest flat height of the layer's meshes
  draw_mesh               mesh   = {};
  std::vector<draw_range> ranges = {};
};

// One shape in its own space, drawn at many frames.
struct draw_instances {
  int                  look   = 0;
  draw_mesh            mesh   = {};
  std::vector<frame3f> frames = {};
};

struct draw_list {
  std::vector<draw_look>            looks     = {};
  std::vector<const scene_texture*> textures  = {};  // owned by the scene
  std::vector<draw_batch>           batches   = {};
  std::vector<draw_instances>       instanced = {};
  bbox3f                            bounds    = {};  // of everything drawn
  // What a framing view shows: the bounds without a flat backdrop that
  // reaches far past everything else (the ground square around a city).
  bbox3f focus = {};

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

  size_t triangles       = 0;  // drawn per frame
  size_t instance_count  = 0;  // scene instances drawn
  std::vector<std::string> warnings = {};
};

// Builds the draw list. Shapes used by at least `instancing_threshold`
// instances are drawn instanced; with `use_sky` false the scene's sky and
// sun are left out. Reports ("prepare scene", done, total).
draw_list make_draw_list(const loaded_scene& scene, bool use_sky = true,
                         const progress_callback& progress = {},
                         int instancing_threshold = 8);

// The number of draw calls one frame takes: one per batch and per
// instanced shape, plus the background.
size_t draw_calls(const draw_list& list);

// The direction of the brightest pixel of the upper half of a
// latitude-longitude sky image (the sun, or the glow around it), mapped by
// the environment's frame; false when the image has no upper half.
bool find_sky_sun(const image4f& sky, const frame3f& frame, vec3f& direction, vec3f& color);
