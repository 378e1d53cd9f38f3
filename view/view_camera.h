#pragma once
// The viewer's camera: an orbit around a target point, started from the
// scene's camera or from a view that frames the whole scene, and the depth
// range fitted to the scene for each frame.

#include "scene/math.h"
#include "scene/matrix.h"

struct view_camera {
  vec3f target   = {0, 0, 0};
  float distance = 1;
  float yaw      = 0;  // radians about +y; 0 puts the eye along +x of the target
  float pitch    = 0;  // radians above the target's horizon
  float yfov     = 0.7f;
  // The scene camera's own frame (with any roll) until the user moves.
  bool    exact = false;
  frame3f frame = {};
};

// The eye's frame: x to the right, y up, z backwards (the eye looks along
// -z), origin at the eye.
frame3f camera_frame(const view_camera& camera);

// A view of the whole box from above at an angle, every corner of the box
// inside the field of view at the given aspect (width / height).
view_camera framing_camera(const bbox3f& bounds, float yfov, float aspect);

// The orbit that starts at a scene camera's frame: its target lies ahead
// of the eye at the distance of the box's centre.
view_camera camera_from_frame(const frame3f& frame, float yfov, const bbox3f& bounds);

// Mouse steps: turning about the target, moving the target in the view
// plane by a fraction of the view's height, moving towards or away from it.
void orbit(view_camera& camera, float yaw_radians, float pitch_radians);
void pan(view_camera& camera, float right_fraction, float up_fraction);
void zoom(view_camera& camera, float steps);

// Near and far planes that hold the whole box seen from the eye: far just
// past the farthest corner, near as far out as every visible point of the
// box allows, and never below far / max_ratio.
void fit_depth_range(const bbox3f& bounds, const frame3f& eye, float yfov, float aspect,
                     float& near_plane, float& far_plane, float max_ratio = 5000);

// OpenGL matrices: world to view, and the perspective projection.
mat4d view_matrix(const frame3f& eye);
mat4d projection_matrix(float yfov, float aspect, float near_plane, float far_plane);

// The sun used when the scene has none: from the upper left of the view,
// a little behind the viewer.
vec3f default_sun(const frame3f& eye);

// The six planes of a view (left, right, bottom, top, near, far) from its
// clip matrix (projection times view): a x + b y + c z + d >= 0 inside.
struct view_frustum {
  double planes[6][4] = {};
};
view_frustum frustum_of(const mat4d& clip);
// False only when the box lies wholly behind one of the planes: a box that
// reaches into the view is always kept (some outside are kept too).
bool box_in_frustum(const view_frustum& frustum, const bbox3f& box);

// An orthographic view from the sun for a shadow map, fitted to the part of
// the box the eye sees up to `reach` from it, and deep enough to hold every
// point of the box that can cast a shadow there. Across the sun it covers
// no more than `casters` (what casts shadows; empty: the whole box): a
// point the sun sees beside every caster is lit, so a wide flat ground
// around a city takes none of the map's texels.
struct shadow_view {
  bool  valid = false;  // false: the sun is below the horizon, or nothing is in view
  mat4d clip  = {};     // world to the map's clip space
  float texel = 0;      // the world size of one of `map_size` texels
  float depth = 0;      // the world depth the map's depth range spans
};
shadow_view fit_shadow_view(const bbox3f& bounds, const bbox3f& casters, const frame3f& eye,
                            float yfov, float aspect, float near_plane, float far_plane,
                            float reach, const vec3f& sun, int map_size);
