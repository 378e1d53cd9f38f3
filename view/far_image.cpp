#include "view/far_image.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "scene/image.h"
#include "view/draw_list.h"

namespace {

// Surfaces that face the sky less than this (the cosine of their slope)
// are walls seen edge on: they cover nothing from above.
constexpr float min_facing = 0.05f;
// Stacked flat layers lie millimetres apart: each rank counts as this
// share of the plan's size higher, so a road wins over the ground it lies
// on and never over a roof.
constexpr float rank_height = 1e-6f;
// A far tile is seen at a low slope, about this one (the tangent of 20
// degrees): the ground between tall buildings hides behind their walls,
// which show instead, about a third as bright as what faces the sky.
// (Both chosen so that a far city from its framing view has the tone of
// its full meshes.)
constexpr float view_slope = 0.35f;
constexpr float wall_light = 0.35f;

// The mean linear colour of an image, so that a textured look shows from
// afar in the colour it has up close.
vec3f mean_color(const scene_texture& texture) {
  auto sum = vec3f{};
  auto count = size_t{0};
  if (!texture.hdr.pixels.empty()) {
    for (auto& p : texture.hdr.pixels)
      if (std::isfinite(p.x + p.y + p.z)) sum = sum + vec3f{p.x, p.y, p.z}, count++;
  } else {
    for (auto& p : texture.ldr.pixels) {
      auto c = srgb_to_linear(p);
      sum = sum + vec3f{c.x, c.y, c.z}, count++;
    }
  }
  return count ? sum * (1.0f / (float)count) : vec3f{1, 1, 1};
}

// Draws one triangle into rows [row0, row1) of the picture: every texel
// whose centre it covers, or for a triangle smaller than a texel the texel
// of its centre, where it lies higher than what is there.
void draw_triangle(far_image_maker& r, int row0, int row1, const vec3f& p0, const vec3f& p1, const vec3f& p2,
                   float rank, int look) {
  auto& image = r.image;
  // Texel coordinates: a texel's centre lies at (i + 0.5, j + 0.5).
  auto v0 = (p0.z - r.z0) * r.texels_per_z, v1 = (p1.z - r.z0) * r.texels_per_z;
  auto v2 = (p2.z - r.z0) * r.texels_per_z;
  auto lo_v = std::min({v0, v1, v2}), hi_v = std::max({v0, v1, v2});
  if (!(hi_v >= (float)row0 && lo_v < (float)row1)) return;
  auto u0 = (p0.x - r.x0) * r.texels_per_x, u1 = (p1.x - r.x0) * r.texels_per_x;
  auto u2 = (p2.x - r.x0) * r.texels_per_x;
  auto lo_u = std::min({u0, u1, u2}), hi_u = std::max({u0, u1, u2});
  if (!(hi_u >= 0 && lo_u < (float)image.width)) return;
  if (!std::isfinite(p0.y + p1.y + p2.y)) return;
  auto n = cross(p1 - p0, p2 - p0);
  auto square = dot(n, n);
  if (!(square > 0) || !std::isfinite(square)) return;
  if (n.y * n.y < min_facing * min_facing * square) {
    // A wall: its colour counts towards its tile's walls, in the band of
    // its centre.
    auto cu = (u0 + u1 + u2) / 3, cv = (v0 + v1 + v2) / 3;
    if (cu >= 0 && cu < (float)image.width && cv >= (float)row0 && cv < (float)row1) {
      auto tile = (size_t)((int)cu / far_tile_texels) * (size_t)r.grid + (size_t)(row0 / far_tile_texels);
      auto weight = std::sqrt(square);
      r.wall_sum[tile] = r.wall_sum[tile] + r.look_linear[(size_t)look] * weight;
      r.wall_weight[tile] += weight;
    }
    return;
  }
  if (n.y < 0) n = -n;
  n = n * (1 / std::sqrt(square));
  auto channel = [](float c) { return (uint8_t)std::clamp(128.0f + 127.0f * c, 0.0f, 255.0f); };
  auto facing = vec4b{channel(n.x), channel(n.y), channel(n.z), 255};
  auto& color = r.look_srgb[(size_t)look];
  auto write = [&](int i, int j, float y) {
    auto k = (size_t)j * (size_t)image.width + (size_t)i;
    if (y < r.top[k]) return;
    // Surfaces level with each other: the same one wins in whatever order
    // they come (a list drawn in parts gives the picture of the whole).
    if (y == r.top[k] && std::make_tuple(color.x, color.y, color.z, facing.x, facing.y, facing.z) <=
                             std::make_tuple(image.albedo[k].x, image.albedo[k].y, image.albedo[k].z,
                                             image.facing[k].x, image.facing[k].y, image.facing[k].z))
      return;
    r.top[k] = y;
    image.albedo[k] = color;
    image.facing[k] = facing;
  };
  auto area = (u1 - u0) * (v2 - v0) - (u2 - u0) * (v1 - v0);
  // Clamped as floats first, so that no coordinate past the int range is
  // converted.
  auto i0 = (int)std::max(0.0f, std::ceil(lo_u - 0.5f));
  auto i1 = (int)std::min((float)(image.width - 1), std::floor(hi_u - 0.5f));
  auto j0 = (int)std::max((float)row0, std::ceil(lo_v - 0.5f));
  auto j1 = (int)std::min((float)(row1 - 1), std::floor(hi_v - 0.5f));
  if (i0 > i1 || j0 > j1 || std::fabs(area) < 1e-12f) {
    // Smaller than a texel (or a sliver between centres): its centre's.
    auto cu = (u0 + u1 + u2) / 3, cv = (v0 + v1 + v2) / 3;
    if (cu >= 0 && cu < (float)image.width && cv >= (float)row0 && cv < (float)row1)
      write((int)cu, (int)cv, (p0.y + p1.y + p2.y) / 3 + rank);
    return;
  }
  auto inv = 1 / area;
  // Along a row the barycentric weights of texel centres change linearly:
  // each row's texels inside are those between where they turn negative.
  auto slope1 = (v2 - v0) * inv, slope2 = -(v1 - v0) * inv, slope0 = -slope1 - slope2;
  for (int j = j0; j <= j1; j++) {
    auto v = (float)j + 0.5f;
    auto u = (float)i0 + 0.5f;
    auto w1 = ((u - u0) * (v2 - v0) - (u2 - u0) * (v - v0)) * inv;
    auto w2 = ((u1 - u0) * (v - v0) - (u - u0) * (v1 - v0)) * inv;
    auto w0 = 1 - w1 - w2;
    // Steps from i0 over which every weight stays at or above zero.
    auto first = 0.0f, last = (float)(i1 - i0);
    auto clip = [&](float w, float slope) {
      if (slope > 0) first = std::max(first, -w / slope);
      else if (slope < 0) last = std::min(last, -w / slope);
      else if (w < 0) last = -1;
    };
    clip(w0, slope0), clip(w1, slope1), clip(w2, slope2);
    if (!(first <= last)) continue;  // both now lie in 0 ... i1 - i0
    for (int step = (int)std::ceil(first); step <= (int)std::floor(last); step++) {
      auto s1 = w1 + slope1 * (float)step, s2 = w2 + slope2 * (float)step, s0 = 1 - s1 - s2;
      // Rounding at the span's ends: a centre just outside is left out.
      if (s0 < -1e-4f || s1 < -1e-4f || s2 < -1e-4f) continue;
      write(i0 + step, j, s0 * p0.y + s1 * p1.y + s2 * p2.y + rank);
    }
  }
}

bool overlaps_rows(const bbox3f& b, const far_image_maker& r, int row0, int row1) {
  auto v_lo = (b.min.z - r.z0) * r.texels_per_z, v_hi = (b.max.z - r.z0) * r.texels_per_z;
  return v_hi >= (float)row0 - 1 && v_lo <= (float)row1 + 1;
}

// The coarsest of a mesh's levels that strays less than `error` from it
// and keeps some of it.
const draw_level& level_within(const draw_level* levels, int count, float error) {
  auto k = 0;
  while (k + 1 < count && levels[k + 1].error <= error && levels[k + 1].count > 0) k++;
  return levels[k];
}

// One band of rows: every mesh of the list that reaches into it, each at
// the coarsest level that strays less than two texels (where the picture
// is drawn a texel is about a pixel, and a level may stray two).
void draw_band(far_image_maker& r, const draw_list& list, int row0, int row1) {
  auto error = 2 / std::max(r.texels_per_x, r.texels_per_z);
  auto corners = std::vector<vec3f>{};
  for (auto& batch : list.batches) {
    if (batch.look < 0 || (size_t)batch.look >= r.look_srgb.size()) continue;
    auto rank = r.rank_step * (float)batch.layer;
    for (auto& range : batch.ranges) {
      if (range.level_count < 1 || !overlaps_rows(range.bounds, r, row0, row1)) continue;
      auto& level = level_within(range.levels, range.level_count, error);
      if ((size_t)range.base_vertex + range.vertex_count > batch.positions.size() ||
          level.first + level.count > batch.indices.size())
        continue;
      auto* p = batch.positions.data() + range.base_vertex;
      auto* index = batch.indices.data() + level.first;
      for (size_t k = 0; k + 2 < level.count; k += 3) {
        if (index[k] >= range.vertex_count || index[k + 1] >= range.vertex_count ||
            index[k + 2] >= range.vertex_count)
          continue;
        draw_triangle(r, row0, row1, p[index[k]], p[index[k + 1]], p[index[k + 2]], rank, batch.look);
      }
    }
  }
  for (auto& group : list.instanced) {
    if (group.look < 0 || (size_t)group.look >= r.look_srgb.size()) continue;
    auto& mesh = group.mesh;
    auto& level = level_within(group.levels, group.level_count, error);
    if (level.first > mesh.indices.size()) continue;
    auto* index = mesh.indices.data() + level.first;
    auto count = std::min(level.count, mesh.indices.size() - level.first);
    corners.resize(mesh.positions.size());
    for (auto& run : group.runs) {
      if (!overlaps_rows(run.bounds, r, row0, row1)) continue;
      for (auto f = run.first; f < run.first + run.count && f < group.frames.size(); f++) {
        auto& frame = group.frames[f];
        for (size_t v = 0; v < mesh.positions.size(); v++) corners[v] = transform_point(frame, mesh.positions[v]);
        for (size_t k = 0; k + 2 < count; k += 3) {
          auto a = index[k], b = index[k + 1], c = index[k + 2];
          if (a >= corners.size() || b >= corners.size() || c >= corners.size()) continue;
          draw_triangle(r, row0, row1, corners[a], corners[b], corners[c], 0, group.look);
        }
      }
    }
  }
}

// Ground hidden behind tall neighbours from afar takes the colour of their
// walls, by the share of the eight directions in which one rises above
// the slope a far view looks down at.
void hide_behind_walls(far_image_maker& r, const std::vector<vec3f>& walls, float texel_size, int row0,
                       int row1) {
  auto& image = r.image;

  static const int steps[] = {1, 2, 3, 4, 6, 8};
  static const int directions[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
  for (int j = row0; j < row1; j++)
    for (int i = 0; i < image.width; i++) {
      auto k = (size_t)j * (size_t)image.width + (size_t)i;
      auto y = r.top[k];
      if (!std::isfinite(y)) continue;
      auto hidden = 0;
      for (auto& d : directions) {
        auto diagonal = d[0] != 0 && d[1] != 0 ? 1.41421356f : 1.0f;
        for (auto s : steps) {
          auto x = i + d[0] * s, z = j + d[1] * s;
          if (x < 0 || z < 0 || x >= image.width || z >= image.height) break;
          auto rise = r.top[(size_t)z * (size_t)image.width + (size_t)x] - y;
          if (rise > view_slope * texel_size * diagonal * (float)s) {
            hidden++;
            break;
          }
        }
      }
      if (hidden == 0) continue;
      auto& wall = walls[(size_t)(i / far_tile_texels) * (size_t)r.grid + (size_t)(j / far_tile_texels)];
      if (!(wall.x >= 0)) continue;  // a tile without walls
      auto own = srgb_to_linear(image.albedo[k]);
      auto t = (float)hidden / 8;
      auto mixed = lerp({own.x, own.y, own.z}, wall, t);
      image.albedo[k] = linear_to_srgb(vec4f{mixed.x, mixed.y, mixed.z, own.w});
    }
}

// A tile's cell of a plan cut into grid x grid tiles.
bbox3f plan_cell(const bbox3f& plan, int grid, int tile) {
  grid = std::max(1, grid);
  auto sx = (plan.max.x - plan.min.x) / (float)grid, sz = (plan.max.z - plan.min.z) / (float)grid;
  auto cx = tile / grid, cz = tile % grid;
  return {{plan.min.x + sx * (float)cx, plan.min.y, plan.min.z + sz * (float)cz},
          {plan.min.x + sx * (float)(cx + 1), plan.max.y, plan.min.z + sz * (float)(cz + 1)}};
}

}  // namespace

bbox3f tile_cell(const draw_list& list, int tile) { return plan_cell(list.focus, list.tile_grid, tile); }

far_image_maker start_far_image(const draw_list& list) {
  auto maker = far_image_maker{};
  auto& focus = list.focus;
  if (!(focus.min.x < focus.max.x && focus.min.z < focus.max.z)) return maker;
  auto& image = maker.image;
  maker.grid = std::max(1, list.tile_grid);
  image.width = image.height = maker.grid * far_tile_texels;
  auto texels = (size_t)image.width * (size_t)image.height;
  image.albedo.assign(texels, vec4b{});
  image.facing.assign(texels, vec4b{});
  maker.top.assign(texels, -std::numeric_limits<float>::infinity());
  maker.plan = focus;
  maker.x0 = focus.min.x, maker.z0 = focus.min.z;
  maker.texels_per_x = (float)image.width / (focus.max.x - focus.min.x);
  maker.texels_per_z = (float)image.height / (focus.max.z - focus.min.z);
  maker.rank_step = rank_height * std::max(focus.max.x - focus.min.x, focus.max.z - focus.min.z);
  for (auto& look : list.looks) {
    auto c = look.color;
    if (look.texture >= 0 && (size_t)look.texture < list.textures.size() && list.textures[(size_t)look.texture])
      c = c * mean_color(*list.textures[(size_t)look.texture]);
    c = c + look.emission;
    maker.look_srgb.push_back(linear_to_srgb(vec4f{c.x, c.y, c.z, 1}));
    maker.look_linear.push_back(c);
  }
  maker.wall_sum.assign((size_t)maker.grid * (size_t)maker.grid, vec3f{});
  maker.wall_weight.assign((size_t)maker.grid * (size_t)maker.grid, 0.0f);
  return maker;
}

void draw_far_image(far_image_maker& maker, const draw_list& list, int threads) {
  if (maker.top.empty()) return;
  // A band of rows per tile row, each written by its job alone.
  run_jobs((size_t)maker.grid, threads, [&](size_t band, bool) {
    draw_band(maker, list, (int)band * far_tile_texels, (int)(band + 1) * far_tile_texels);
  });
}

far_image finish_far_image(far_image_maker& maker, int threads) {
  auto& image = maker.image;
  auto grid = maker.grid;
  if (maker.top.empty()) return {};
  auto walls = std::vector<vec3f>(maker.wall_sum.size(), vec3f{-1, -1, -1});
  for (size_t t = 0; t < walls.size(); t++)
    if (maker.wall_weight[t] > 0) walls[t] = maker.wall_sum[t] * (wall_light / maker.wall_weight[t]);
  auto texel_size = 0.5f * (1 / maker.texels_per_x + 1 / maker.texels_per_z);
  run_jobs((size_t)grid, threads, [&](size_t band, bool) {
    hide_behind_walls(maker, walls, texel_size, (int)band * far_tile_texels, (int)(band + 1) * far_tile_texels);
  });

  // Each tile's cell and the heights of what covers it.
  image.tiles.assign((size_t)grid * (size_t)grid, bbox3f{});
  for (int cx = 0; cx < grid; cx++)
    for (int cz = 0; cz < grid; cz++) {
      auto low = std::numeric_limits<float>::infinity(), high = -low;
      for (int j = cz * far_tile_texels; j < (cz + 1) * far_tile_texels; j++)
        for (int i = cx * far_tile_texels; i < (cx + 1) * far_tile_texels; i++) {
          auto y = maker.top[(size_t)j * (size_t)image.width + (size_t)i];
          if (!std::isfinite(y)) continue;
          low = std::min(low, y), high = std::max(high, y);
        }
      if (!(low <= high)) continue;
      auto cell = plan_cell(maker.plan, grid, cx * grid + cz);
      cell.min.y = low, cell.max.y = high;
      image.tiles[(size_t)(cx * grid + cz)] = cell;
    }
  auto result = std::move(image);
  maker = far_image_maker{};
  return result;
}

void make_far_image(draw_list& list, int threads) {
  auto maker = start_far_image(list);
  draw_far_image(maker, list, threads);
  list.far = finish_far_image(maker, threads);
}
