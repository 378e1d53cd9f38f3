#include "view/view_camera.h"

#include <algorithm>
#include <array>
#include <limits>

static constexpr float pi = 3.14159265358979f;
static constexpr float max_pitch = 89 * pi / 180;
// The share of the field of view a framed box fills at most.
static constexpr float frame_fill = 0.94f;

static bool is_empty(const bbox3f& box) {
  return !(box.min.x <= box.max.x && box.min.y <= box.max.y && box.min.z <= box.max.z);
}

static vec3f box_center(const bbox3f& box) {
  return is_empty(box) ? vec3f{0, 0, 0} : (box.min + box.max) * 0.5f;
}

static float box_radius(const bbox3f& box) {
  if (is_empty(box)) return 1;
  auto r = length(box.max - box.min) / 2;
  return r > 0 && std::isfinite(r) ? r : 1;
}

frame3f camera_frame(const view_camera& camera) {
  if (camera.exact) return camera.frame;
  auto back = vec3f{std::cos(camera.pitch) * std::cos(camera.yaw), std::sin(camera.pitch),
                    std::cos(camera.pitch) * std::sin(camera.yaw)};
  auto right = normalize(cross({0, 1, 0}, back));
  auto up = cross(back, right);
  return {right, up, back, camera.target + back * camera.distance};
}

// The distance at which every corner of the box, seen from the camera's
// direction about its target, lies inside the half-angle tangents tx, ty;
// with the extents of the corners in the view as fractions of those.
static float fitting_distance(const view_camera& camera, const bbox3f& box, float tx, float ty,
                              float min_distance, vec2f& low, vec2f& high) {
  auto eye = camera_frame(camera);
  auto corners = std::array<vec3f, 8>{};
  auto distance = min_distance;
  for (int k = 0; k < 8; k++) {
    auto p = box_corner(box, k) - camera.target;
    corners[k] = {dot(p, eye.x), dot(p, eye.y), dot(p, eye.z)};
    distance = std::max(distance, corners[k].z + std::max(std::abs(corners[k].x) / tx,
                                                           std::abs(corners[k].y) / ty));
  }
  low = {1, 1}, high = {-1, -1};
  for (auto& c : corners) {
    auto depth = distance - c.z;
    auto x = c.x / (depth * tx), y = c.y / (depth * ty);
    low = {std::min(low.x, x), std::min(low.y, y)};
    high = {std::max(high.x, x), std::max(high.y, y)};
  }
  return distance;
}

view_camera framing_camera(const bbox3f& bounds, float yfov, float aspect) {
  auto camera = view_camera{};
  camera.yfov = yfov;
  camera.target = box_center(bounds);
  camera.yaw = 45 * pi / 180;
  camera.pitch = 35 * pi / 180;
  // The eye backs away until every corner of the box lies inside the
  // field of view with a small margin, and the target slides over the
  // ground so that the box sits in the middle of the view: a flat city
  // seen at an angle then fills the view, where its bounding sphere would
  // leave it small, and its near corner would leave it high in the view.
  auto ty = std::tan(yfov / 2) * frame_fill;
  auto tx = ty * (aspect > 0 && std::isfinite(aspect) ? aspect : 1.0f);
  auto radius = box_radius(bounds);
  camera.distance = radius / std::sin(std::atan(ty));
  if (is_empty(bounds) || !(tx > 0 && ty > 0 && std::isfinite(tx) && std::isfinite(ty)))
    return camera;
  auto start = camera;
  auto low = vec2f{}, high = vec2f{};
  auto eye = camera_frame(camera);
  // Moving the target ahead over the ground moves the picture down by the
  // sine of the pitch.
  auto ahead = normalize(vec3f{-eye.z.x, 0, -eye.z.z});
  auto rise = std::sin(camera.pitch);
  for (int step = 0; step < 8; step++) {
    auto distance = fitting_distance(camera, bounds, tx, ty, radius * 0.05f, low, high);
    auto middle = vec2f{(low.x + high.x) / 2, (low.y + high.y) / 2};
    camera.target = camera.target + eye.x * (middle.x * distance * tx) +
                    ahead * (middle.y * distance * ty / rise);
  }
  camera.distance = fitting_distance(camera, bounds, tx, ty, radius * 0.05f, low, high);
  if (!(camera.distance > 0 && std::isfinite(camera.distance))) return start;
  return camera;
}

view_camera camera_from_frame(const frame3f& frame, float yfov, const bbox3f& bounds) {
  auto camera = view_camera{};
  camera.yfov = yfov;
  auto back = normalize(frame.z);
  if (length(back) == 0) back = {0, 0, 1};
  auto ahead = dot(box_center(bounds) - frame.o, -back);
  camera.distance = std::max(ahead, box_radius(bounds) * 0.05f);
  camera.target = frame.o - back * camera.distance;
  camera.pitch = std::clamp(std::asin(std::clamp(back.y, -1.0f, 1.0f)), -max_pitch, max_pitch);
  camera.yaw = std::atan2(back.z, back.x);
  camera.exact = true;
  camera.frame = {normalize(frame.x), normalize(frame.y), back, frame.o};
  return camera;
}

void orbit(view_camera& camera, float yaw_radians, float pitch_radians) {
  camera.exact = false;
  camera.yaw += yaw_radians;
  camera.pitch = std::clamp(camera.pitch + pitch_radians, -max_pitch, max_pitch);
}

void pan(view_camera& camera, float right_fraction, float up_fraction) {
  auto frame = camera_frame(camera);
  // A fraction of the view's height at the target's distance.
  auto height = 2 * camera.distance * std::tan(camera.yfov / 2);
  auto move = frame.x * (right_fraction * height) + frame.y * (up_fraction * height);
  camera.target = camera.target + move;
  if (camera.exact) camera.frame.o = camera.frame.o + move;
}

void zoom(view_camera& camera, float steps) {
  auto frame = camera_frame(camera);
  auto distance = camera.distance * std::pow(0.85f, steps);
  camera.distance = std::clamp(distance, 1e-4f, 1e7f);
  if (camera.exact) camera.frame.o = camera.target + frame.z * camera.distance;
}

void fit_depth_range(const bbox3f& bounds, const frame3f& eye, float yfov, float aspect,
                     float& near_plane, float& far_plane, float max_ratio) {
  if (is_empty(bounds)) {
    near_plane = 0.01f, far_plane = 100;
    return;
  }
  auto forward = -normalize(eye.z);
  auto nearest = std::numeric_limits<float>::max(), farthest = 0.0f;
  for (int i = 0; i < 8; i++) {
    auto depth = dot(box_corner(bounds, i) - eye.o, forward);
    nearest = std::min(nearest, depth);
    farthest = std::max(farthest, depth);
  }
  // Depth is linear, so the corners bound every point of the box.
  far_plane = farthest > 0 ? farthest * 1.01f : 1;
  if (nearest <= 0) {
    // The eye is beside or inside the box: a visible point at distance d
    // lies at a depth of at least d times the cosine of the view's half
    // diagonal.
    auto d = vec3f{std::max({bounds.min.x - eye.o.x, 0.0f, eye.o.x - bounds.max.x}),
                   std::max({bounds.min.y - eye.o.y, 0.0f, eye.o.y - bounds.max.y}),
                   std::max({bounds.min.z - eye.o.z, 0.0f, eye.o.z - bounds.max.z})};
    auto ty = std::tan(yfov / 2), tx = ty * aspect;
    nearest = length(d) / std::sqrt(1 + tx * tx + ty * ty);
  }
  near_plane = std::max(nearest * 0.99f, far_plane / max_ratio);
  if (!(near_plane < far_plane)) near_plane = far_plane / max_ratio;
}

mat4d view_matrix(const frame3f& eye) {
  auto inverse = mat4d{};
  invert(to_matrix(eye), inverse);
  return inverse;
}

mat4d projection_matrix(float yfov, float aspect, float near_plane, float far_plane) {
  auto f = 1 / std::tan((double)yfov / 2);
  auto r = mat4d{};
  r.at(0, 0) = f / aspect;
  r.at(1, 1) = f;
  r.at(2, 2) = ((double)far_plane + near_plane) / ((double)near_plane - far_plane);
  r.at(2, 3) = 2.0 * far_plane * near_plane / ((double)near_plane - far_plane);
  r.at(3, 2) = -1;
  r.at(3, 3) = 0;
  return r;
}

vec3f default_sun(const frame3f& eye) {
  // Left and back in the ground plane, so that the lit faces turn towards
  // the viewer; high enough to light the streets.
  auto flat = [](vec3f v) { return normalize(vec3f{v.x, 0, v.z}); };
  auto left = -flat(eye.x), back = flat(eye.z);
  return normalize(left * 0.5f + back * 0.45f + vec3f{0, 1, 0} * 0.9f);
}

view_frustum frustum_of(const mat4d& clip) {
  auto frustum = view_frustum{};
  for (int p = 0; p < 6; p++) {
    auto row = p / 2;
    auto sign = p % 2 == 0 ? 1.0 : -1.0;
    for (int k = 0; k < 4; k++) frustum.planes[p][k] = clip.at(3, k) + sign * clip.at(row, k);
  }
  return frustum;
}

bool box_in_frustum(const view_frustum& frustum, const bbox3f& box) {
  if (is_empty(box)) return false;
  for (auto& q : frustum.planes) {
    // The corner farthest along the plane's normal.
    auto x = q[0] >= 0 ? box.max.x : box.min.x, y = q[1] >= 0 ? box.max.y : box.min.y,
         z = q[2] >= 0 ? box.max.z : box.min.z;
    if (q[0] * x + q[1] * y + q[2] * z + q[3] < 0) return false;
  }
  return true;
}

shadow_view fit_shadow_view(const bbox3f& bounds, const bbox3f& casters, const frame3f& eye,
                            float yfov, float aspect, float near_plane, float far_plane,
                            float reach, const vec3f& sun, int map_size) {
  auto view = shadow_view{};
  auto z = normalize(sun);
  if (is_empty(bounds) || !(z.y > 0.02f) || map_size <= 0) return view;
  auto x = normalize(cross(std::abs(z.y) < 0.99f ? vec3f{0, 1, 0} : vec3f{1, 0, 0}, z));
  auto y = cross(z, x);
  // The view's corners out to the reach, in the sun's frame.
  auto far_end = std::clamp(reach, near_plane, far_plane);
  auto ty = std::tan(yfov / 2), tx = ty * aspect;
  auto forward = -normalize(eye.z), right = normalize(eye.x), up = normalize(eye.y);
  auto low = vec3f{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(), 0};
  auto high = -low;
  for (auto depth : {near_plane, far_end})
    for (int k = 0; k < 4; k++) {
      auto p = eye.o + forward * depth + right * (depth * tx * (k & 1 ? 1.0f : -1.0f)) +
               up * (depth * ty * (k & 2 ? 1.0f : -1.0f));
      low = {std::min(low.x, dot(p, x)), std::min(low.y, dot(p, y)), 0};
      high = {std::max(high.x, dot(p, x)), std::max(high.y, dot(p, y)), 0};
    }
  // Only the box casts or receives: the map covers no more than it, and
  // across the sun no more than the casters.
  auto in_sun_frame = [&](const bbox3f& box, vec3f& box_low, vec3f& box_high) {
    box_low = vec3f{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                    std::numeric_limits<float>::max()};
    box_high = -box_low;
    for (int k = 0; k < 8; k++) {
      auto c = box_corner(box, k);
      auto l = vec3f{dot(c, x), dot(c, y), dot(c, z)};
      box_low = {std::min(box_low.x, l.x), std::min(box_low.y, l.y), std::min(box_low.z, l.z)};
      box_high = {std::max(box_high.x, l.x), std::max(box_high.y, l.y), std::max(box_high.z, l.z)};
    }
  };
  auto box_low = vec3f{}, box_high = vec3f{}, cast_low = vec3f{}, cast_high = vec3f{};
  in_sun_frame(bounds, box_low, box_high);
  if (is_empty(casters)) cast_low = box_low, cast_high = box_high;
  else in_sun_frame(casters, cast_low, cast_high);
  low = {std::max({low.x, box_low.x, cast_low.x}), std::max({low.y, box_low.y, cast_low.y}), box_low.z};
  high = {std::min({high.x, box_high.x, cast_high.x}), std::min({high.y, box_high.y, cast_high.y}),
          box_high.z};
  if (!(low.x < high.x && low.y < high.y)) return view;
  // Square texels; a margin of a texel on each side.
  auto extent = std::max(high.x - low.x, high.y - low.y);
  auto texel = extent / (float)map_size;
  auto center = (low + high) * 0.5f;
  auto half = extent / 2 + texel;
  auto depth_low = low.z - texel, depth_high = high.z + texel;
  if (!(half > 0) || !std::isfinite(half) || !(depth_high > depth_low)) return view;
  // Rows of the matrix: x and y across the map, depth from the sun's side.
  auto& m = view.clip;
  m = mat4d{};
  vec3f axes[2] = {x, y};
  float centers[2] = {center.x, center.y};
  for (int r = 0; r < 2; r++) {
    m.at(r, 0) = axes[r].x / half, m.at(r, 1) = axes[r].y / half, m.at(r, 2) = axes[r].z / half;
    m.at(r, 3) = -centers[r] / half;
  }
  auto span = depth_high - depth_low;
  m.at(2, 0) = -2 * z.x / span, m.at(2, 1) = -2 * z.y / span, m.at(2, 2) = -2 * z.z / span;
  m.at(2, 3) = 2 * depth_high / span - 1;
  m.at(3, 0) = m.at(3, 1) = m.at(3, 2) = 0, m.at(3, 3) = 1;
  view.valid = true;
  view.texel = 2 * half / (float)map_size;
  view.depth = span;
  return view;
}
