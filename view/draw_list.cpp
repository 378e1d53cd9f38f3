#include "view/draw_list.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <unordered_map>

#include "scene/flat_layers.h"
#include "scene/shape.h"
#include "view/view_math.h"

namespace {

// Meshes whose heights spread less than this share of the scene's size lie
// flat; their layer ranks (rank_flat_layers) decide which one shows.
constexpr float flat_tolerance  = 1e-7f;
constexpr int   max_layer_rank  = 15;

void expand(bbox3f& box, const vec3f& p) {
  box.min = {std::min(box.min.x, p.x), std::min(box.min.y, p.y), std::min(box.min.z, p.z)};
  box.max = {std::max(box.max.x, p.x), std::max(box.max.y, p.y), std::max(box.max.z, p.z)};
}

bool is_empty(const bbox3f& box) { return !(box.min.x <= box.max.x); }

bool has_faces(const scene_shape& shape) {
  return !shape.positions.empty() &&
         (!shape.triangles.empty() || !shape.quads.empty() || !shape.quadspos.empty());
}

float luminance(const vec3f& c) { return 0.2126f * c.x + 0.7152f * c.y + 0.0722f * c.z; }

vec3f brightest_one(const vec3f& c) {
  auto m = std::max({c.x, c.y, c.z});
  return m > 0 && std::isfinite(m) ? c * (1 / m) : vec3f{1, 1, 1};
}

// Looks are keyed by what they show, not by material record: a city gives
// every building a material of its own, in a handful of distinct looks.
struct look_key {
  vec3f                color, emission;
  const scene_texture* texture;
  bool operator<(const look_key& o) const {
    auto a = std::make_tuple(color.x, color.y, color.z, emission.x, emission.y, emission.z, texture);
    auto b = std::make_tuple(o.color.x, o.color.y, o.color.z, o.emission.x, o.emission.y,
                             o.emission.z, o.texture);
    return a < b;
  }
};

bool usable_texture(const scene_texture* texture) {
  if (!texture) return false;
  if (!texture->hdr.pixels.empty())
    return texture->hdr.width > 0 && texture->hdr.height > 0 &&
           texture->hdr.pixels.size() == (size_t)texture->hdr.width * texture->hdr.height;
  return texture->ldr.width > 0 && texture->ldr.height > 0 &&
         texture->ldr.pixels.size() == (size_t)texture->ldr.width * texture->ldr.height;
}

float texture_aspect(const scene_texture& texture) {
  auto& w = texture.hdr.pixels.empty() ? texture.ldr.width : texture.hdr.width;
  auto& h = texture.hdr.pixels.empty() ? texture.ldr.height : texture.hdr.height;
  return h > 0 ? (float)w / (float)h : 1;
}

// A shape's triangles with the texture coordinates the look needs: its own,
// or for an image on a shape without any, the façade coordinates.
draw_mesh shape_mesh(const scene_shape& shape, const scene_texture* texture) {
  auto mesh = draw_mesh{};
  auto triangles = std::vector<vec3i>{};
  if (texture && shape.texcoords.empty()) {
    auto textured = make_facade_texcoords(shape, texture_aspect(*texture));
    mesh.positions = std::move(textured.positions);
    mesh.texcoords = std::move(textured.texcoords);
    triangles = std::move(textured.triangles);
  } else if (!shape.quadspos.empty()) {
    auto quads = std::vector<vec4i>{};
    auto normals = std::vector<vec3f>{};
    auto texcoords = std::vector<vec2f>{};
    if (!make_indexed_quads(shape.quadspos, {}, texture ? shape.quadstexcoord : std::vector<vec4i>{},
                            shape.positions, {}, texture ? shape.texcoords : std::vector<vec2f>{},
                            quads, mesh.positions, normals, texcoords))
      return {};
    if (texture) mesh.texcoords = std::move(texcoords);
    triangles = quads_to_triangles({}, quads);
  } else {
    mesh.positions = shape.positions;
    if (texture && shape.texcoords.size() == shape.positions.size()) mesh.texcoords = shape.texcoords;
    triangles = quads_to_triangles(shape.triangles, shape.quads);
  }
  mesh.indices.reserve(triangles.size() * 3);
  for (auto& t : triangles) {
    if (t.x == t.y || t.y == t.z || t.z == t.x) continue;  // nothing to draw
    mesh.indices.insert(mesh.indices.end(), {(uint32_t)t.x, (uint32_t)t.y, (uint32_t)t.z});
  }
  if (!mesh.texcoords.empty() && mesh.texcoords.size() != mesh.positions.size()) mesh.texcoords.clear();
  return mesh;
}

struct instance_info {
  const scene_instance* instance = nullptr;
  int                   look     = 0;
  bool                  flat     = false;
  float                 height   = 0;
  float                 spread   = -1;  // height range of a baked mesh
  bbox3f                box      = {};
  int                   tile     = 0;
};

}  // namespace

bool find_sky_sun(const image4f& sky, const frame3f& frame, vec3f& direction, vec3f& color) {
  auto width = sky.width, rows = sky.height / 2;
  if (width <= 0 || rows <= 0 || sky.pixels.size() != (size_t)sky.width * sky.height) return false;
  auto best = -1.0f;
  auto best_i = 0, best_j = 0;
  for (int i = 0; i < rows; i++)
    for (int j = 0; j < width; j++) {
      auto& p = sky.pixels[(size_t)i * width + j];
      auto l = luminance({p.x, p.y, p.z});
      if (l > best && std::isfinite(l)) best = l, best_i = i, best_j = j;
    }
  if (!(best > 0)) return false;
  // Row i looks at theta = pi (i + 0.5) / height from the zenith, column j
  // at phi = 2 pi (j + 0.5) / width from +x towards +z.
  auto pi = 3.14159265358979f;
  auto theta = pi * (best_i + 0.5f) / sky.height, phi = 2 * pi * (best_j + 0.5f) / width;
  auto local = vec3f{std::cos(phi) * std::sin(theta), std::cos(theta), std::sin(phi) * std::sin(theta)};
  direction = normalize(frame.x * local.x + frame.y * local.y + frame.z * local.z);
  auto& p = sky.pixels[(size_t)best_i * width + best_j];
  color = brightest_one({p.x, p.y, p.z});
  return length(direction) > 0;
}

size_t draw_calls(const draw_list& list) { return list.batches.size() + list.instanced.size() + 1; }

draw_list make_draw_list(const view_scene& view, bool use_sky, const progress_callback& progress,
                         int instancing_threshold) {
  auto list = draw_list{};
  auto& scene = view.scene;
  auto total = (int)scene.instances.size() * 2 + 1;
  if (progress) progress("prepare scene", 0, total);

  // Looks and textures.
  auto looks = std::map<look_key, int>{};
  auto textures = std::unordered_map<const scene_texture*, int>{};
  auto look_of = [&](const scene_material* material) {
    auto key = look_key{{0.7f, 0.7f, 0.7f}, {0, 0, 0}, nullptr};
    if (material) {
      key.color = material->color;
      key.emission = material->emission;
      if (usable_texture(material->color_tex)) key.texture = material->color_tex;
    }
    auto found = looks.find(key);
    if (found != looks.end()) return found->second;
    auto look = draw_look{key.color, key.emission, -1};
    if (key.texture) {
      auto t = textures.find(key.texture);
      if (t == textures.end()) {
        t = textures.emplace(key.texture, (int)list.textures.size()).first;
        list.textures.push_back(key.texture);
      }
      look.texture = t->second;
    }
    list.looks.push_back(look);
    return looks[key] = (int)list.looks.size() - 1;
  };

  // First pass: which shapes are shared, which meshes lie flat and where,
  // and the bounds.
  auto uses = std::unordered_map<const scene_shape*, int>{};
  for (auto& instance : scene.instances)
    if (instance->shape && has_faces(*instance->shape)) uses[instance->shape]++;
  auto shape_bounds = std::unordered_map<const scene_shape*, bbox3f>{};
  auto infos = std::vector<instance_info>{};
  infos.reserve(scene.instances.size());
  auto invalid = false;
  for (size_t i = 0; i < scene.instances.size(); i++) {
    auto& instance = *scene.instances[i];
    if (!instance.shape || !has_faces(*instance.shape)) continue;
    auto& shape = *instance.shape;
    if (!has_valid_indices(shape)) {
      invalid = true;
      continue;
    }
    auto info = instance_info{&instance, look_of(instance.material)};
    auto& box = info.box;
    if (uses[&shape] >= instancing_threshold) {
      auto found = shape_bounds.find(&shape);
      if (found == shape_bounds.end()) {
        auto box = bbox3f{};
        for (auto& p : shape.positions) expand(box, p);
        found = shape_bounds.emplace(&shape, box).first;
      }
      auto& local = found->second;
      for (int k = 0; k < 8; k++)
        expand(box, transform_point(instance.frame, box_corner(local, k)));
    } else {
      auto low = std::numeric_limits<float>::max(), high = -low;
      for (auto& p : shape.positions) {
        auto w = transform_point(instance.frame, p);
        expand(box, w);
        low = std::min(low, w.y), high = std::max(high, w.y);
      }
      info.height = low;
      info.spread = high - low;
    }
    expand(list.bounds, box.min);
    expand(list.bounds, box.max);
    infos.push_back(info);
    if (progress && i % 4096 == 0) progress("prepare scene", (int)i, total);
  }
  if (invalid) list.warnings.push_back("warning: shapes with indices out of range are not shown");

  // Layer ranks of the flat meshes, as the exports lift them.
  auto size = is_empty(list.bounds) ? 1.0f : length(list.bounds.max - list.bounds.min);
  auto layer_instances = std::vector<const scene_instance*>{};
  for (auto& info : infos) {
    info.flat = info.spread >= 0 && info.spread <= size * flat_tolerance;
    layer_instances.push_back(info.instance);
  }
  auto layers = rank_flat_layers(layer_instances);
  auto ranks = std::unordered_map<const scene_instance*, int>{};
  for (size_t k = 0; k < infos.size(); k++) ranks[infos[k].instance] = std::min(layers.ranks[k], max_layer_rank);
  // The focus leaves out flat meshes that cover more than half the plan.
  auto plan_area = [](const bbox3f& b) { return (b.max.x - b.min.x) * (b.max.z - b.min.z); };
  for (auto& info : infos) {
    if (info.flat && plan_area(info.box) > 0.5f * plan_area(list.bounds)) continue;
    expand(list.focus, info.box.min);
    expand(list.focus, info.box.max);
  }
  if (is_empty(list.focus)) list.focus = list.bounds;

  // Tiles of the plan, about 40000 triangles each on average, so that a
  // close view draws only the part of a big city it sees.
  auto total_triangles = size_t{0};
  for (auto& info : infos) {
    auto& shape = *info.instance->shape;
    total_triangles += shape.triangles.size() + 2 * shape.quads.size() + 2 * shape.quadspos.size();
  }
  auto grid = std::clamp((int)std::ceil(std::sqrt((double)total_triangles / 40000)), 1, 32);
  for (auto& info : infos) {
    auto center = (info.box.min + info.box.max) * 0.5f;
    auto cell = [&](float v, float low, float high) {
      auto t = high > low ? (v - low) / (high - low) : 0.0f;
      return std::clamp((int)(t * (float)grid), 0, grid - 1);
    };
    info.tile = cell(center.x, list.focus.min.x, list.focus.max.x) * grid +
                cell(center.z, list.focus.min.z, list.focus.max.z);
  }
  std::stable_sort(infos.begin(), infos.end(),
                   [](const instance_info& a, const instance_info& b) { return a.tile < b.tile; });

  // Second pass: geometry into batches by look and rank, shared shapes
  // into instanced groups by shape and look.
  auto batch_index = std::map<std::pair<int, int>, size_t>{};
  auto batch_tiles = std::unordered_map<size_t, int>{};  // the tile of each batch's last range
  auto group_index = std::map<std::pair<const scene_shape*, int>, size_t>{};
  for (size_t i = 0; i < infos.size(); i++) {
    auto& info = infos[i];
    auto& instance = *info.instance;
    auto& look = list.looks[(size_t)info.look];
    auto texture = look.texture >= 0 ? list.textures[(size_t)look.texture] : nullptr;
    if (uses[instance.shape] >= instancing_threshold) {
      auto key = std::make_pair((const scene_shape*)instance.shape, info.look);
      auto found = group_index.find(key);
      if (found == group_index.end()) {
        auto group = draw_instances{info.look, shape_mesh(*instance.shape, texture), {}};
        if (group.mesh.indices.empty()) continue;
        found = group_index.emplace(key, list.instanced.size()).first;
        list.instanced.push_back(std::move(group));
      }
      auto& group = list.instanced[found->second];
      group.frames.push_back(instance.frame);
      list.triangles += group.mesh.indices.size() / 3;
      list.instance_count++;
      continue;
    }
    auto mesh = shape_mesh(*instance.shape, texture);
    if (mesh.indices.empty()) continue;
    auto rank = ranks[&instance];
    auto key = std::make_pair(info.look, rank);
    auto found = batch_index.find(key);
    if (found == batch_index.end()) {
      found = batch_index.emplace(key, list.batches.size()).first;
      list.batches.push_back({info.look, rank, info.height, {}});
    }
    auto& batch = list.batches[found->second];
    batch.height = std::min(batch.height, info.height);
    auto& out = batch.mesh;
    // 32-bit indices: a batch holds at most 2^32 - 1 vertices.
    if (out.positions.size() + mesh.positions.size() > 0xffffffffu) continue;
    if (batch.ranges.empty() || batch_tiles[found->second] != info.tile) {
      batch.ranges.push_back({out.indices.size(), 0, {}});
      batch_tiles[found->second] = info.tile;
    }
    auto& range = batch.ranges.back();
    expand(range.bounds, info.box.min);
    expand(range.bounds, info.box.max);
    range.count += mesh.indices.size();
    auto base = (uint32_t)out.positions.size();
    auto identity = instance.frame == frame3f{};
    for (auto& p : mesh.positions) out.positions.push_back(identity ? p : transform_point(instance.frame, p));
    if (texture) {
      if (mesh.texcoords.empty()) mesh.texcoords.assign(mesh.positions.size(), vec2f{});
      out.texcoords.insert(out.texcoords.end(), mesh.texcoords.begin(), mesh.texcoords.end());
    }
    for (auto index : mesh.indices) out.indices.push_back(base + index);
    list.triangles += mesh.indices.size() / 3;
    list.instance_count++;
    if (progress && i % 4096 == 0) progress("prepare scene", (int)(infos.size() + i), total);
  }

  // Lighting: the scene's own sun, else the sky's; the sky as background.
  if (use_sky) {
    if (view.has_sun) {
      list.has_sun = true;
      list.sun_direction = normalize(view.sun_direction);
      list.sun_color = brightest_one(view.sun_color);
    }
    for (auto& environment : scene.environments) {
      auto texture = environment->emission_tex;
      if (!texture || texture->hdr.pixels.empty() || !usable_texture(texture)) continue;
      list.sky = texture;
      list.sky_frame = environment->frame;
      // The sky's mean brightness above the horizon sets the exposure, its
      // mean colours above and below tint the soft light.
      auto& image = texture->hdr;
      auto above = vec3f{}, below = vec3f{};
      auto rows = image.height / 2;
      for (int i = 0; i < image.height; i++) {
        auto sum = vec3f{};
        for (int j = 0; j < image.width; j++) {
          auto& p = image.pixels[(size_t)i * image.width + j];
          if (std::isfinite(p.x + p.y + p.z)) sum = sum + vec3f{p.x, p.y, p.z};
        }
        (i < rows ? above : below) = (i < rows ? above : below) + sum;
      }
      auto mean = luminance(above) / std::max(1, rows * image.width);
      list.sky_exposure = mean > 0 && std::isfinite(mean) ? 0.55f / mean : 1;
      if (luminance(above) > 0) {
        auto tint = above * (1 / luminance(above));
        list.sky_ambient = lerp({1, 1, 1}, tint, 0.25f) * 0.26f;
      }
      if (luminance(below) > 0) {
        auto tint = below * (1 / luminance(below));
        list.ground_ambient = lerp({1, 1, 1}, tint, 0.25f) * 0.12f;
      }
      if (!list.has_sun) {
        // The glow around the sun is bluish: sunlight itself stays warm white.
        auto direction = vec3f{}, glow = vec3f{};
        if (find_sky_sun(image, environment->frame, direction, glow)) {
          list.has_sun = true;
          list.sun_direction = direction;
        }
      }
      break;
    }
  }

  if (!scene.cameras.empty()) {
    auto& camera = *scene.cameras.front();
    auto frame = camera.frame;
    if (is_finite(frame.x) && is_finite(frame.y) && is_finite(frame.z) && is_finite(frame.o) &&
        length(cross(frame.x, frame.y)) > 0) {
      list.has_camera = true;
      list.camera = frame;
      list.camera_yfov = camera_yfov(camera);
    }
  }
  if (progress) progress("prepare scene", total, total);
  return list;
}
