// Façade images: one image is one whole wall, ground floor to roof line.
//
// blockgen stretches a façade once over every wall of a building and
// multiplies it by the beige wall colour, so the images are drawn light and
// sober (plaster, brick, stone, concrete, glass) with a clear grid of
// storeys: the low classes show exactly their number of storeys, the tall
// ones a fine grid of about as many. Drawing happens at twice the size and
// is averaged down, which smooths the edges of windows and arches.

#include <algorithm>
#include <cmath>

#include "assets/assets.h"

namespace {

const float pi = 3.14159265358979f;
const int supersampling = 2;

vec3f rgb(float r, float g, float b) { return {r, g, b}; }
vec3f mix(const vec3f& a, const vec3f& b, float t) { return a * (1 - t) + b * t; }

// Colours are sRGB values in 0 ... 1, drawn on a supersampled grid.
struct canvas {
  int                width  = 0;  // output pixels
  int                height = 0;
  std::vector<vec3f> pixels = {};  // supersampled, row by row from the top
};

canvas make_canvas(int width, int height, vec3f color) {
  auto size = (size_t)width * height * supersampling * supersampling;
  return canvas{width, height, std::vector<vec3f>(size, color)};
}

// Calls paint(pixel, u, v) for every subpixel whose centre lies in the box
// [x0, x1) x [y0, y1) (output pixel units); u and v run 0 ... 1 across it.
template <typename Paint>
void paint_box(canvas& image, float x0, float y0, float x1, float y1, Paint paint) {
  auto sw = image.width * supersampling, sh = image.height * supersampling;
  auto sx0 = std::max(0, (int)std::lround(x0 * supersampling));
  auto sx1 = std::min(sw, (int)std::lround(x1 * supersampling));
  auto sy0 = std::max(0, (int)std::lround(y0 * supersampling));
  auto sy1 = std::min(sh, (int)std::lround(y1 * supersampling));
  for (auto sy = sy0; sy < sy1; sy++) {
    for (auto sx = sx0; sx < sx1; sx++) {
      auto x = (sx + 0.5f) / supersampling, y = (sy + 0.5f) / supersampling;
      paint(image.pixels[(size_t)sy * sw + sx], (x - x0) / (x1 - x0), (y - y0) / (y1 - y0));
    }
  }
}

void fill_box(canvas& image, float x0, float y0, float x1, float y1, vec3f color) {
  paint_box(image, x0, y0, x1, y1, [&](vec3f& p, float, float) { p = color; });
}
void shade_box(canvas& image, float x0, float y0, float x1, float y1, float factor) {
  paint_box(image, x0, y0, x1, y1, [&](vec3f& p, float, float) { p = p * factor; });
}

// An opening with a round head: straight jambs from `bottom` up to
// `spring`, a half ellipse of height `rise` above.
template <typename Paint>
void paint_arch(canvas& image, float x0, float x1, float spring, float bottom, float rise,
                Paint paint) {
  auto top = spring - rise, cx = (x0 + x1) / 2, rx = (x1 - x0) / 2;
  paint_box(image, x0, top, x1, bottom, [&](vec3f& p, float u, float v) {
    auto x = x0 + u * (x1 - x0), y = top + v * (bottom - top);
    if (y < spring) {
      auto dx = (x - cx) / rx, dy = (spring - y) / rise;
      if (dx * dx + dy * dy > 1) return;
    }
    paint(p, u, v);
  });
}

// Smooth value noise in -1 ... 1 on a lattice of the given cell size.
float lattice(int x, int y, uint64_t seed) {
  auto rng = asset_random{seed ^ ((uint64_t)(uint32_t)x * 0x9E3779B1ull) ^
                          ((uint64_t)(uint32_t)y << 32)};
  return random_float(rng) * 2 - 1;
}
float value_noise(float x, float y, float cell, uint64_t seed) {
  auto fx = x / cell, fy = y / cell;
  auto ix = (int)std::floor(fx), iy = (int)std::floor(fy);
  auto tx = fx - ix, ty = fy - iy;
  tx = tx * tx * (3 - 2 * tx);
  ty = ty * ty * (3 - 2 * ty);
  auto a = lattice(ix, iy, seed), b = lattice(ix + 1, iy, seed);
  auto c = lattice(ix, iy + 1, seed), d = lattice(ix + 1, iy + 1, seed);
  return (a * (1 - tx) + b * tx) * (1 - ty) + (c * (1 - tx) + d * tx) * ty;
}

// Weathering over the whole canvas: broad blotches, faint vertical rain
// streaks and a fine grain, multiplied into the colours.
void weather(canvas& image, uint64_t seed, float blotches, float streaks, float grain) {
  auto rng = asset_random{seed};
  auto sw = image.width * supersampling, sh = image.height * supersampling;
  for (auto sy = 0; sy < sh; sy++) {
    for (auto sx = 0; sx < sw; sx++) {
      auto x = (float)sx / supersampling, y = (float)sy / supersampling;
      auto f = 1 + blotches * value_noise(x, y, 23, seed + 1) +
               streaks * value_noise(x, y * 0.05f, 3, seed + 2) +
               grain * (random_float(rng) - 0.5f);
      auto& p = image.pixels[(size_t)sy * sw + sx];
      p = p * f;
    }
  }
}

image4b finish(const canvas& image) {
  auto result = image4b{image.width, image.height, {}};
  result.pixels.resize((size_t)image.width * image.height);
  auto sw = image.width * supersampling;
  auto to_byte = [](float v) { return (uint8_t)std::lround(std::clamp(v, 0.0f, 1.0f) * 255); };
  for (auto y = 0; y < image.height; y++) {
    for (auto x = 0; x < image.width; x++) {
      auto sum = vec3f{};
      for (auto dy = 0; dy < supersampling; dy++)
        for (auto dx = 0; dx < supersampling; dx++)
          sum = sum + image.pixels[(size_t)(y * supersampling + dy) * sw + x * supersampling + dx];
      sum = sum * (1.0f / (supersampling * supersampling));
      result.pixels[(size_t)y * image.width + x] = {to_byte(sum.x), to_byte(sum.y), to_byte(sum.z), 255};
    }
  }
  return result;
}

// ---------------------------------------------------------------------------
// Wall finishes

enum struct wall_finish { plaster, brick, stone, concrete };

// Courses of bricks, each brick tinted on its own, in light mortar.
void draw_brick(canvas& image, float y0, float y1, vec3f brick, float course, uint64_t seed) {
  auto rng = asset_random{seed};
  auto mortar = rgb(0.84f, 0.81f, 0.76f);
  auto length = course * 2.6f;
  auto row = 0;
  for (auto y = y0; y < y1; y += course, row++) {
    auto offset = (row % 2) * length * 0.5f;
    for (auto x = -offset; x < image.width; x += length) {
      auto tint = 0.88f + 0.2f * random_float(rng);
      auto color = rgb(brick.x * tint, brick.y * (tint + 0.04f * random_float(rng)), brick.z * tint);
      fill_box(image, x, y, x + length, std::min(y + course, y1), mortar);
      fill_box(image, x + 0.5f, y + 0.5f, x + length, std::min(y + course, y1), color);
    }
  }
}

// Ashlar: long blocks of dressed stone with fine joints.
void draw_ashlar(canvas& image, float x0, float y0, float x1, float y1, vec3f stone,
                 float course, uint64_t seed) {
  auto rng = asset_random{seed};
  for (auto y = y0; y < y1; y += course) {
    auto x = x0 - course * 2 * random_float(rng);
    while (x < x1) {
      auto length = course * (1.8f + 1.4f * random_float(rng));
      auto color = stone * (0.94f + 0.1f * random_float(rng));
      fill_box(image, std::max(x, x0), y, std::min(x + length, x1), std::min(y + course, y1), color);
      // the joint: a shadow line at the bottom and the left of every block
      shade_box(image, std::max(x, x0), std::min(y + course, y1) - 0.5f, std::min(x + length, x1),
                std::min(y + course, y1), 0.86f);
      shade_box(image, std::max(x, x0), y, std::max(x, x0) + 0.5f, std::min(y + course, y1), 0.9f);
      x += length;
    }
  }
}

// Precast panels: one per bay and storey, with dark joints between them.
void draw_panels(canvas& image, float y0, float y1, float panel_width, float panel_height,
                 vec3f concrete, uint64_t seed) {
  auto rng = asset_random{seed};
  for (auto y = y1; y > y0; y -= panel_height) {
    for (auto x = 0.0f; x < image.width; x += panel_width) {
      auto color = concrete * (0.95f + 0.08f * random_float(rng));
      fill_box(image, x, std::max(y - panel_height, y0), x + panel_width, y, color);
      shade_box(image, x, std::max(y - panel_height, y0), x + 0.5f, y, 0.82f);
      shade_box(image, x, y - 0.5f, x + panel_width, y, 0.82f);
    }
  }
}

// ---------------------------------------------------------------------------
// Openings

struct window_look {
  vec3f frame   = {0.93f, 0.92f, 0.88f};
  vec3f glass   = {0.2f, 0.25f, 0.3f};
  vec3f sill    = {0.9f, 0.88f, 0.83f};
  vec3f shutter = {0, 0, 0};
  bool  shutters  = false;
  bool  bars      = true;   // glazing bars: a cross in every window
  bool  arched    = false;  // round head
  bool  balcony   = false;  // french window behind a railing on a slab
  vec3f railing   = {0.2f, 0.2f, 0.2f};
};

// Glass that reflects a brighter sky at the top; some rooms show curtains.
void paint_glass(vec3f& p, float, float v, vec3f glass, float curtain) {
  auto sky = mix(glass, rgb(0.62f, 0.68f, 0.74f), 0.55f);
  p = mix(sky, glass, std::min(1.0f, v * 1.6f));
  if (curtain > 0 && v > 0.1f) p = mix(p, rgb(0.78f, 0.74f, 0.66f), curtain);
  if (v < 0.12f) p = p * 0.75f;  // the shadow of the lintel
}

void draw_window(canvas& image, float x0, float y0, float x1, float y1, const window_look& look,
                 asset_random& rng) {
  auto w = x1 - x0, h = y1 - y0;
  auto border = std::max(0.5f, w * 0.09f);
  auto curtain = random_float(rng) < 0.3f ? 0.35f + 0.3f * random_float(rng) : 0.0f;
  auto rise = look.arched ? w * 0.5f : 0.0f;
  auto spring = y0 + rise;

  if (look.shutters) {
    // open shutters folded back on both sides, with slats
    for (auto side : {x0 - w * 0.5f, x1}) {
      fill_box(image, side, y0, side + w * 0.5f, y1, look.shutter);
      for (auto y = y0 + 1.0f; y < y1; y += 1.5f) shade_box(image, side, y, side + w * 0.5f, y + 0.5f, 0.8f);
    }
  }
  // surround, then the glass inside it
  paint_arch(image, x0 - border * 0.6f, x1 + border * 0.6f, spring, y1, rise + border * 0.6f,
             [&](vec3f& p, float, float) { p = mix(p, look.sill, 0.7f); });
  paint_arch(image, x0, x1, spring, y1, rise, [&](vec3f& p, float, float) { p = look.frame; });
  paint_arch(image, x0 + border, x1 - border, spring, y1 - border, std::max(0.0f, rise - border),
             [&](vec3f& p, float, float v) { paint_glass(p, 0, v, look.glass, curtain); });
  if (look.bars && w > 3) {
    auto cx = (x0 + x1) / 2;
    fill_box(image, cx - 0.25f, y0 + border, cx + 0.25f, y1 - border, look.frame);
    if (h > 6) fill_box(image, x0 + border, y0 + h * 0.36f, x1 - border, y0 + h * 0.36f + 0.5f, look.frame);
  }
  if (look.balcony) {
    // slab under the window and a railing across its lower part
    auto slab = std::max(1.0f, h * 0.1f);
    fill_box(image, x0 - w * 0.3f, y1, x1 + w * 0.3f, y1 + slab, look.sill);
    shade_box(image, x0 - w * 0.3f, y1 + slab, x1 + w * 0.3f, y1 + slab + 0.5f, 0.8f);
    auto top = y1 - h * 0.42f;
    fill_box(image, x0 - w * 0.3f, top, x1 + w * 0.3f, top + 0.5f, look.railing);
    for (auto x = x0 - w * 0.3f; x < x1 + w * 0.3f; x += 1.5f)
      fill_box(image, x, top, x + 0.5f, y1, look.railing);
  } else {
    // a sill that sticks out, with its shadow
    auto sill = std::max(0.5f, h * 0.07f);
    fill_box(image, x0 - border * 1.5f, y1, x1 + border * 1.5f, y1 + sill, look.sill);
    shade_box(image, x0 - border, y1 + sill, x1 + border, y1 + sill + 0.5f, 0.88f);
  }
}

void draw_door(canvas& image, float x0, float y0, float x1, float y1, vec3f wood, vec3f frame) {
  auto w = x1 - x0;
  fill_box(image, x0 - 1, y0 - 1, x1 + 1, y1, frame);
  paint_box(image, x0, y0, x1, y1, [&](vec3f& p, float u, float) {
    p = wood * (u < 0.5f ? 1.0f : 0.92f);  // two leaves
  });
  // a glazed transom over the leaves, and panels in them
  paint_box(image, x0 + 0.5f, y0 + 0.5f, x1 - 0.5f, y0 + (y1 - y0) * 0.18f,
            [&](vec3f& p, float, float v) { paint_glass(p, 0, v, rgb(0.2f, 0.24f, 0.28f), 0); });
  for (auto side : {x0 + w * 0.12f, x0 + w * 0.6f}) {
    shade_box(image, side, y0 + (y1 - y0) * 0.28f, side + w * 0.28f, y0 + (y1 - y0) * 0.6f, 0.85f);
    shade_box(image, side, y0 + (y1 - y0) * 0.68f, side + w * 0.28f, y0 + (y1 - y0) * 0.92f, 0.85f);
  }
  shade_box(image, x0, y1 - 0.5f, x1, y1, 0.6f);  // threshold
}

// A shop window: dark frame, goods on display, an awning and a sign above.
void draw_shop(canvas& image, float x0, float y0, float x1, float y1, vec3f awning,
               asset_random& rng) {
  auto frame = rgb(0.3f, 0.27f, 0.24f);
  fill_box(image, x0, y0, x1, y1, frame);
  paint_box(image, x0 + 1, y0 + 1, x1 - 1, y1 - 1.5f, [&](vec3f& p, float, float v) {
    paint_glass(p, 0, v, rgb(0.18f, 0.2f, 0.22f), 0);
  });
  // goods on shelves behind the glass
  auto w = x1 - x0, h = y1 - y0;
  for (auto i = 0; i < 7; i++) {
    auto gx = x0 + 2 + (w - 6) * random_float(rng), gy = y0 + h * (0.45f + 0.4f * random_float(rng));
    auto tone = rgb(0.4f + 0.5f * random_float(rng), 0.35f + 0.4f * random_float(rng), 0.3f + 0.4f * random_float(rng));
    fill_box(image, gx, gy, gx + 1 + w * 0.08f, gy + h * 0.08f, tone * 0.7f);
  }
  fill_box(image, x0, y1 - 1.5f, x1, y1, frame * 1.3f);  // stall riser
  // a striped awning, its shadow below it
  auto ah = std::max(2.0f, h * 0.22f);
  auto stripe = std::max(1.0f, w / 10);
  paint_box(image, x0 - 1, y0 - ah, x1 + 1, y0, [&](vec3f& p, float u, float v) {
    auto band = (int)(u * (w + 2) / stripe) % 2;
    p = band ? awning : mix(awning, rgb(0.95f, 0.93f, 0.88f), 0.75f);
    if (v > 0.8f) p = p * 0.8f;
  });
  shade_box(image, x0, y0, x1, y0 + ah * 0.3f, 0.7f);
}

// ---------------------------------------------------------------------------
// Masonry façades: the low and middle classes

struct masonry_style {
  int         width    = 256;
  int         height   = 256;
  int         storeys  = 1;
  int         bays     = 4;
  wall_finish finish   = wall_finish::plaster;
  vec3f       wall     = {0.93f, 0.88f, 0.76f};
  vec3f       trim     = {0.95f, 0.94f, 0.9f};
  vec3f       plinth   = {0.7f, 0.68f, 0.64f};
  vec3f       awning   = {0.6f, 0.2f, 0.18f};
  window_look window   = {};
  float       window_width  = 0.42f;  // of a bay
  float       window_height = 0.52f;  // of a storey
  float       ground_ratio  = 1.35f;  // ground storey height / upper storey height
  float       cornice       = 0.05f;  // of the wall height
  int         door_bay      = 1;      // the bay with the entrance
  bool        shops         = true;   // shop fronts in the other ground bays
  bool        rusticated    = false;  // banded stone ground floor
  uint64_t    seed          = 1;
};

image4b draw_masonry(const masonry_style& style) {
  auto rng = asset_random{style.seed};
  auto image = make_canvas(style.width, style.height, style.wall);
  auto W = (float)style.width, H = (float)style.height;
  auto cornice = std::max(4.0f, H * style.cornice);
  auto storey = (H - cornice) / (style.storeys - 1 + style.ground_ratio);
  auto ground = storey * style.ground_ratio;
  auto ground_top = H - ground;
  auto bay = W / style.bays;

  // the wall itself
  switch (style.finish) {
    case wall_finish::plaster: break;
    case wall_finish::brick:
      draw_brick(image, cornice, H, style.wall, std::clamp(storey / 14, 1.0f, 2.5f), style.seed + 7);
      break;
    case wall_finish::stone:
      draw_ashlar(image, 0, cornice, W, H, style.wall, std::clamp(storey / 5, 2.0f, 8.0f), style.seed + 7);
      break;
    case wall_finish::concrete:
      draw_panels(image, cornice, H, bay, storey, style.wall, style.seed + 7);
      break;
  }
  if (style.rusticated)
    draw_ashlar(image, 0, ground_top, W, H, mix(style.wall, style.trim, 0.5f), ground / 5, style.seed + 9);

  // cornice at the roof line: a moulded band with a soft shadow under it
  paint_box(image, 0, 0, W, cornice, [&](vec3f& p, float, float v) {
    p = style.trim * (v < 0.3f ? 0.97f : v < 0.6f ? 1.0f : 0.94f);
  });
  shade_box(image, 0, cornice, W, cornice + 1, 0.9f);
  // string course between the ground floor and the storeys above
  if (style.storeys > 1) {
    fill_box(image, 0, ground_top - std::max(1.0f, storey * 0.06f), W, ground_top, style.trim);
  }
  // plinth along the foot of the wall, a stone a little darker than the wall
  fill_box(image, 0, H - std::max(2.0f, ground * 0.07f), W, H, mix(style.wall, style.plinth, 0.5f));

  // upper storeys: one window per bay, sill at about a third of the storey
  for (auto level = 1; level < style.storeys; level++) {
    auto floor = ground_top - storey * (level - 1);
    auto top = floor - storey * (style.window.balcony ? 0.86f : 0.82f);
    auto bottom = style.window.balcony ? floor - storey * 0.1f : top + storey * style.window_height;
    for (auto b = 0; b < style.bays; b++) {
      auto cx = bay * (b + 0.5f), half = bay * style.window_width / 2;
      draw_window(image, cx - half, top, cx + half, bottom, style.window, rng);
    }
  }

  // ground floor: an entrance, shop fronts or plain windows
  for (auto b = 0; b < style.bays; b++) {
    auto cx = bay * (b + 0.5f);
    auto sidewalk = H - std::max(2.0f, ground * 0.07f);
    if (b == style.door_bay) {
      auto half = bay * 0.24f;
      draw_door(image, cx - half, ground_top + ground * 0.22f, cx + half, sidewalk, rgb(0.45f, 0.3f, 0.2f),
                style.trim);
    } else if (style.shops) {
      auto half = bay * 0.4f;
      draw_shop(image, cx - half, ground_top + ground * 0.3f, cx + half, sidewalk - 0.5f, style.awning, rng);
    } else {
      auto half = bay * style.window_width / 2;
      auto look = style.window;
      look.balcony = false;
      draw_window(image, cx - half, ground_top + ground * 0.22f, cx + half, sidewalk - ground * 0.25f, look, rng);
    }
  }
  weather(image, style.seed + 3, 0.035f, 0.02f, 0.05f);
  return finish(image);
}

// ---------------------------------------------------------------------------
// Towers: ribbon windows and curtain walls

struct tower_style {
  int      width     = 256;
  int      height    = 512;
  int      storeys   = 50;  // office storeys, the lobby and the crown come on top
  float    spandrel  = 0.3f;  // of a storey
  float    lobby     = 20;    // pixels
  float    crown     = 12;
  float    mullion   = 8;     // pixels between mullions
  int      pier_every = 4;    // mullions between two piers (0: no piers)
  vec3f    glass     = {0.28f, 0.36f, 0.42f};
  vec3f    frame     = {0.8f, 0.8f, 0.78f};  // spandrels and piers
  vec3f    sky       = {0.7f, 0.78f, 0.86f};  // reflected at the top
  uint64_t seed      = 1;
};

image4b draw_tower(const tower_style& style) {
  auto rng = asset_random{style.seed};
  auto W = (float)style.width, H = (float)style.height;
  auto image = make_canvas(style.width, style.height, style.frame);
  auto storey = (H - style.lobby - style.crown) / style.storeys;
  auto glass_top = style.crown, glass_bottom = H - style.lobby;

  // the glass, with a reflected sky fading down the tower and drifting clouds
  paint_box(image, 0, glass_top, W, glass_bottom, [&](vec3f& p, float u, float v) {
    auto cloud = 0.5f + 0.5f * value_noise(u * W, v * H, 40, style.seed + 11);
    auto reflection = std::clamp(0.55f - 0.5f * v + 0.35f * (u - 0.5f) + 0.25f * cloud, 0.0f, 0.8f);
    p = mix(style.glass, style.sky, reflection);
  });
  // panels: every mullion bay of every storey slightly different, some lit
  for (auto level = 0; level < style.storeys; level++) {
    auto y1 = glass_bottom - storey * level, y0 = y1 - storey;
    for (auto x = 0.0f; x < W; x += style.mullion) {
      auto tone = 0.92f + 0.14f * random_float(rng);
      auto lit = random_float(rng) < 0.03f;
      paint_box(image, x, y0, x + style.mullion, y1, [&](vec3f& p, float, float) {
        p = lit ? mix(p, rgb(0.85f, 0.8f, 0.62f), 0.4f) : p * tone;
      });
    }
    // the spandrel hides the floor slab: a light band at the foot of the storey
    auto band = std::max(1.0f, storey * style.spandrel);
    fill_box(image, 0, y1 - band, W, y1, style.frame);
    shade_box(image, 0, y1 - band, W, y1 - band + 0.5f, 0.9f);
  }
  // mullions and piers run the full height
  auto count = 0;
  for (auto x = 0.0f; x < W; x += style.mullion, count++) {
    auto pier = style.pier_every > 0 && count % style.pier_every == 0;
    auto half = pier ? std::max(1.0f, style.mullion * 0.2f) : 0.25f;
    fill_box(image, x - half, glass_top, x + half, glass_bottom, pier ? style.frame : style.frame * 0.85f);
  }
  // crown: plant room behind vertical louvres and a coping at the top edge
  paint_box(image, 0, 0, W, style.crown, [&](vec3f& p, float u, float v) {
    auto fin = (int)(u * W) % 2 == 0;
    p = style.frame * (v < 0.2f ? 1.0f : fin ? 0.78f : 0.68f);
  });
  // lobby: tall glazing between piers, entrance doors in the middle
  paint_box(image, 0, glass_bottom, W, H, [&](vec3f& p, float u, float v) {
    auto x = u * W;
    auto between = std::fmod(x, W / 8) > 2.5f;
    p = between ? mix(rgb(0.16f, 0.18f, 0.2f), rgb(0.55f, 0.5f, 0.42f), v * 0.5f) : style.frame * 0.9f;
  });
  fill_box(image, W * 0.44f, H - style.lobby * 0.7f, W * 0.56f, H, rgb(0.12f, 0.12f, 0.13f));
  shade_box(image, 0, H - 1.5f, W, H, 0.7f);
  weather(image, style.seed + 3, 0.02f, 0.01f, 0.04f);
  return finish(image);
}

// ---------------------------------------------------------------------------
// The landmark: tiers of arcades in travertine under a closed attic

image4b draw_arcades() {
  const int width = 512, height = 256;
  auto W = (float)width, H = (float)height;
  auto stone = rgb(0.88f, 0.81f, 0.67f);
  auto image = make_canvas(width, height, stone);
  auto rng = asset_random{9001};
  const int bays = 10;
  auto bay = W / bays;

  // from the top: attic, then three arcades, each under its entablature
  struct tier { float top, bottom; };
  auto attic = tier{0, H * 0.17f};
  auto arcades = std::vector<tier>{{H * 0.2f, H * 0.43f}, {H * 0.46f, H * 0.7f}, {H * 0.73f, H * 0.97f}};
  auto cornice = [&](float y0, float y1) {
    paint_box(image, 0, y0, W, y1, [&](vec3f& p, float, float v) {
      p = stone * (v < 0.25f ? 1.05f : v < 0.5f ? 0.93f : v < 0.8f ? 1.0f : 0.85f);
    });
  };
  cornice(attic.bottom, arcades[0].top);
  cornice(arcades[0].bottom, arcades[1].top);
  cornice(arcades[1].bottom, arcades[2].top);
  fill_box(image, 0, H * 0.97f, W, H, stone * 0.8f);  // steps at the foot

  for (auto& t : arcades) {
    auto h = t.bottom - t.top;
    for (auto b = 0; b < bays; b++) {
      auto x0 = bay * b, cx = x0 + bay / 2;
      // the opening: a deep vault, lit a little from the far side
      auto half = bay * 0.3f, spring = t.top + h * 0.42f;
      paint_arch(image, cx - half - 1.5f, cx + half + 1.5f, spring, t.bottom, half + 1.5f,
                 [&](vec3f& p, float, float) { p = stone * 1.06f; });  // archivolt
      paint_arch(image, cx - half, cx + half, spring, t.bottom, half, [&](vec3f& p, float u, float v) {
        p = mix(rgb(0.16f, 0.13f, 0.1f), rgb(0.42f, 0.35f, 0.27f), std::max(0.0f, u - 0.55f) + v * 0.25f);
      });
      // an engaged column on each pier, lit from the left, capital and base
      auto col = bay * 0.075f;
      paint_box(image, x0 - col, t.top, x0 + col, t.bottom, [&](vec3f& p, float u, float) {
        p = stone * (0.72f + 0.4f * std::sin(pi * std::min(1.0f, u * 1.3f)));
      });
      fill_box(image, x0 - col * 1.5f, t.top, x0 + col * 1.5f, t.top + h * 0.06f, stone * 1.04f);
      fill_box(image, x0 - col * 1.4f, t.bottom - h * 0.04f, x0 + col * 1.4f, t.bottom, stone * 0.95f);
    }
  }
  // the attic: flat pilasters and a small square window in every other bay
  for (auto b = 0; b < bays; b++) {
    auto x0 = bay * b, cx = x0 + bay / 2;
    fill_box(image, x0 - bay * 0.05f, attic.top + 3, x0 + bay * 0.05f, attic.bottom, stone * 1.04f);
    shade_box(image, x0 + bay * 0.05f, attic.top + 3, x0 + bay * 0.05f + 1, attic.bottom, 0.85f);
    if (b % 2 == 0) {
      fill_box(image, cx - bay * 0.1f, attic.top + H * 0.06f, cx + bay * 0.1f, attic.top + H * 0.11f,
               rgb(0.2f, 0.16f, 0.12f));
    }
    // corbels that once carried the awning masts
    fill_box(image, cx - 1, attic.bottom - 4, cx + 1, attic.bottom - 1, stone * 0.8f);
  }
  fill_box(image, 0, 0, W, 3, stone * 1.03f);
  // travertine is full of small pits, and the stone is stained in patches
  for (auto i = 0; i < 1800; i++) {
    auto x = W * random_float(rng), y = H * random_float(rng);
    shade_box(image, x, y, x + 0.5f + random_float(rng), y + 0.5f, 0.75f);
  }
  weather(image, 9002, 0.09f, 0.05f, 0.06f);
  return finish(image);
}

// ---------------------------------------------------------------------------
// The catalogue of façades

window_look look(vec3f frame, vec3f sill, bool bars) {
  auto result = window_look{};
  result.frame = frame;
  result.sill = sill;
  result.bars = bars;
  return result;
}

image4b draw_class(const std::string& stem) {
  auto white = rgb(0.94f, 0.93f, 0.89f), stone_trim = rgb(0.88f, 0.85f, 0.78f);
  auto style = masonry_style{};
  style.window = look(white, white, true);
  if (stem == "1") {
    // a single-storey row of shops
    style.storeys = 1, style.bays = 3, style.wall = rgb(0.92f, 0.79f, 0.58f), style.seed = 11;
    style.cornice = 0.1f, style.awning = rgb(0.55f, 0.2f, 0.16f);
    return draw_masonry(style);
  }
  if (stem == "2") {
    style.storeys = 2, style.bays = 4, style.wall = rgb(0.94f, 0.89f, 0.77f), style.seed = 12;
    style.window.shutters = true, style.window.shutter = rgb(0.36f, 0.5f, 0.38f);
    style.window_width = 0.34f, style.window_height = 0.55f, style.awning = rgb(0.2f, 0.35f, 0.28f);
    return draw_masonry(style);
  }
  if (stem == "3") {
    style.storeys = 3, style.bays = 4, style.finish = wall_finish::brick, style.seed = 13;
    style.wall = rgb(0.8f, 0.52f, 0.42f), style.window = look(white, stone_trim, true);
    style.awning = rgb(0.25f, 0.3f, 0.45f);
    return draw_masonry(style);
  }
  if (stem == "4") {
    style.storeys = 4, style.bays = 4, style.wall = rgb(0.94f, 0.82f, 0.76f), style.seed = 14;
    style.window.shutters = true, style.window.shutter = rgb(0.55f, 0.38f, 0.26f);
    style.window_width = 0.32f, style.shops = false;
    return draw_masonry(style);
  }
  if (stem == "5") {
    style.storeys = 5, style.bays = 5, style.finish = wall_finish::stone, style.seed = 15;
    style.wall = rgb(0.89f, 0.83f, 0.71f), style.window = look(rgb(0.42f, 0.3f, 0.2f), stone_trim, true);
    style.window.arched = true, style.window_width = 0.34f, style.window_height = 0.62f, style.door_bay = 2;
    return draw_masonry(style);
  }
  if (stem == "6") {
    style.storeys = 6, style.bays = 5, style.wall = rgb(0.88f, 0.87f, 0.84f), style.seed = 16;
    style.rusticated = true, style.door_bay = 2, style.awning = rgb(0.45f, 0.15f, 0.2f);
    return draw_masonry(style);
  }
  if (stem == "7") {
    style.storeys = 7, style.bays = 6, style.finish = wall_finish::concrete, style.seed = 17;
    style.wall = rgb(0.82f, 0.81f, 0.78f), style.window = look(rgb(0.3f, 0.3f, 0.32f), rgb(0.86f, 0.86f, 0.84f), false);
    style.window.balcony = true, style.window_width = 0.5f, style.door_bay = 2, style.cornice = 0.03f;
    return draw_masonry(style);
  }
  if (stem == "8") {
    style.storeys = 8, style.bays = 6, style.wall = rgb(0.95f, 0.94f, 0.9f), style.seed = 18;
    style.trim = rgb(0.85f, 0.84f, 0.8f), style.window = look(white, rgb(0.82f, 0.8f, 0.76f), true);
    style.window.shutters = true, style.window.shutter = rgb(0.5f, 0.58f, 0.62f);
    style.window_width = 0.32f, style.door_bay = 3;
    return draw_masonry(style);
  }
  if (stem == "8_11") {
    style.height = 512, style.storeys = 10, style.bays = 6, style.finish = wall_finish::brick;
    style.wall = rgb(0.84f, 0.66f, 0.52f), style.window = look(white, rgb(0.86f, 0.85f, 0.82f), true);
    style.window_width = 0.46f, style.door_bay = 2, style.cornice = 0.03f, style.seed = 19;
    return draw_masonry(style);
  }
  if (stem == "10_41") {
    // a housing block of precast panels with loggias
    style.height = 512, style.storeys = 20, style.bays = 8, style.finish = wall_finish::concrete;
    style.wall = rgb(0.86f, 0.84f, 0.78f), style.window = look(rgb(0.9f, 0.9f, 0.88f), rgb(0.8f, 0.79f, 0.76f), false);
    style.window.balcony = true, style.window.railing = rgb(0.45f, 0.42f, 0.38f);
    style.window_width = 0.55f, style.ground_ratio = 1.6f, style.cornice = 0.02f, style.door_bay = 3;
    style.seed = 20;
    return draw_masonry(style);
  }
  auto tower = tower_style{};
  if (stem == "40_71") {
    // offices: stone-clad spandrels and piers with ribbon windows
    tower.storeys = 48, tower.spandrel = 0.35f, tower.mullion = 8, tower.pier_every = 4;
    tower.frame = rgb(0.84f, 0.82f, 0.76f), tower.glass = rgb(0.26f, 0.33f, 0.38f), tower.seed = 21;
    return draw_tower(tower);
  }
  if (stem == "70_101") {
    tower.storeys = 78, tower.lobby = 14, tower.crown = 10, tower.spandrel = 0.22f;
    tower.mullion = 6, tower.pier_every = 0, tower.frame = rgb(0.78f, 0.8f, 0.8f);
    tower.glass = rgb(0.22f, 0.36f, 0.38f), tower.seed = 22;
    return draw_tower(tower);
  }
  if (stem == "more_101") {
    tower.storeys = 108, tower.lobby = 10, tower.crown = 8, tower.spandrel = 0.3f;
    tower.mullion = 5, tower.pier_every = 6, tower.frame = rgb(0.8f, 0.81f, 0.83f);
    tower.glass = rgb(0.2f, 0.26f, 0.36f), tower.sky = rgb(0.72f, 0.8f, 0.9f), tower.seed = 23;
    return draw_tower(tower);
  }
  if (stem == "colosseo") return draw_arcades();
  return {};
}

}  // namespace

const std::vector<std::string>& facade_names() {
  static const auto names = std::vector<std::string>{
      "1", "2", "3", "4", "5", "6", "7", "8", "8_11", "10_41", "40_71", "70_101", "more_101", "colosseo"};
  return names;
}

image4b make_facade(const std::string& stem) { return draw_class(stem); }
