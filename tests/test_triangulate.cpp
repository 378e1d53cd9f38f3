#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "generator/triangulate.h"

namespace {

// A closed ring: the last point repeats the first.
std::vector<vec2d> closed_square(double x0, double y0, double size) {
  return {{x0, y0}, {x0 + size, y0}, {x0 + size, y0 + size}, {x0, y0 + size}, {x0, y0}};
}

// Signed area of a triangle in the record's (x, y) plane, i.e. scene (x, z).
double triangle_area(const std::vector<vec3f>& p, const vec3i& t) {
  auto& a = p[t.x];
  auto& b = p[t.y];
  auto& c = p[t.z];
  return 0.5 * ((double)(b.x - a.x) * (c.z - a.z) - (double)(c.x - a.x) * (b.z - a.z));
}

struct cap {
  std::vector<vec3f> positions;
  std::vector<vec3i> triangles;
};

cap make_cap(const std::vector<vec2d>& outline, const std::vector<std::vector<vec2d>>& holes,
             float height) {
  auto result = cap{};
  build_cap(outline, holes, height, result.positions, result.triangles);
  return result;
}

}  // namespace

TEST(triangulate, closed_square_leaves_one_copy_of_the_closing_corner_out) {
  auto square = make_cap(closed_square(0, 0, 2), {}, 1.5f);
  ASSERT_EQ(square.positions.size(), 5u);
  ASSERT_EQ(square.triangles.size(), 2u);
  auto used = std::set<int>{};
  auto area = 0.0;
  for (auto& t : square.triangles) {
    used.insert({t.x, t.y, t.z});
    area += std::abs(triangle_area(square.positions, t));
  }
  EXPECT_EQ(used.size(), 4u);
  EXPECT_TRUE(used.count(0) + used.count(4) == 1) << "exactly one copy of the repeated corner";
  EXPECT_DOUBLE_EQ(area, 4.0);
  // Points are placed at scene (x, height, y).
  EXPECT_EQ(square.positions[2], (vec3f{2, 1.5f, 2}));
  for (auto& p : square.positions) EXPECT_EQ(p.y, 1.5f);
}

TEST(triangulate, open_and_closed_rings_fill_the_same_area) {
  auto open = closed_square(0, 0, 3);
  open.pop_back();
  auto result = make_cap(open, {}, 0);
  ASSERT_EQ(result.positions.size(), 4u);
  ASSERT_EQ(result.triangles.size(), 2u);
  auto area = 0.0;
  for (auto& t : result.triangles) area += std::abs(triangle_area(result.positions, t));
  EXPECT_DOUBLE_EQ(area, 9.0);
}

TEST(triangulate, hole_is_left_empty_and_its_points_follow_the_outline) {
  auto result = make_cap(closed_square(0, 0, 10), {closed_square(4, 4, 2)}, 2);
  ASSERT_EQ(result.positions.size(), 10u);
  EXPECT_EQ(result.positions[5], (vec3f{4, 2, 4}));
  EXPECT_EQ(result.positions[7], (vec3f{6, 2, 6}));
  ASSERT_FALSE(result.triangles.empty());

  auto area = 0.0;
  auto touches_hole = false;
  for (auto& t : result.triangles) {
    for (auto i : {t.x, t.y, t.z}) {
      ASSERT_GE(i, 0);
      ASSERT_LT(i, 10);
      touches_hole = touches_hole || i >= 5;
    }
    area += std::abs(triangle_area(result.positions, t));
    auto& a = result.positions[t.x];
    auto& b = result.positions[t.y];
    auto& c = result.positions[t.z];
    auto cx = (a.x + b.x + c.x) / 3, cz = (a.z + b.z + c.z) / 3;
    EXPECT_FALSE(cx > 4 && cx < 6 && cz > 4 && cz < 6)
        << "triangle centred at " << cx << ", " << cz << " lies inside the hole";
  }
  EXPECT_TRUE(touches_hole);
  // The ring between the two squares is covered exactly once.
  EXPECT_NEAR(area, 100.0 - 4.0, 1e-9);
}

TEST(triangulate, rings_index_points_across_all_rings_in_order) {
  auto outer = closed_square(0, 0, 10);
  auto hole = closed_square(4, 4, 2);
  outer.pop_back();
  hole.pop_back();
  auto indices = triangulate_rings({outer, hole});
  ASSERT_EQ(indices.size() % 3, 0u);
  // 8 points, one hole bridged in: 8 triangles.
  EXPECT_EQ(indices.size(), 24u);
  auto used = std::set<uint32_t>(indices.begin(), indices.end());
  EXPECT_EQ(used.size(), 8u);
  EXPECT_EQ(*used.rbegin(), 7u);
}

TEST(triangulate, degenerate_outlines_keep_their_vertices_without_triangles) {
  auto segment = make_cap({{0, 0}, {1, 1}}, {}, 3);
  EXPECT_EQ(segment.positions.size(), 2u);
  EXPECT_TRUE(segment.triangles.empty());

  auto line = make_cap({{0, 0}, {1, 1}, {2, 2}, {0, 0}}, {}, 3);
  EXPECT_EQ(line.positions.size(), 4u);
  EXPECT_TRUE(line.triangles.empty());

  auto none = make_cap({}, {}, 3);
  EXPECT_TRUE(none.positions.empty());
  EXPECT_TRUE(none.triangles.empty());
}

TEST(triangulate, non_finite_points_give_no_triangles) {
  auto outline = closed_square(0, 0, 1);
  outline[2].x = std::nan("");
  auto result = make_cap(outline, {}, 0);
  EXPECT_EQ(result.positions.size(), 5u);
  EXPECT_TRUE(result.triangles.empty());

  auto huge = make_cap(closed_square(0, 0, 1), {{{1e300, 0}, {1e300, 1}, {0, 1}}}, 0);
  EXPECT_EQ(huge.positions.size(), 8u);
  EXPECT_TRUE(huge.triangles.empty());
}

TEST(triangulate, coordinates_are_stored_and_triangulated_as_floats) {
  auto result = make_cap({{12.3456789012, -7.0000000001}, {13, 0}, {12, 1}}, {}, 0);
  ASSERT_EQ(result.positions.size(), 3u);
  EXPECT_EQ(result.positions[0].x, (float)12.3456789012);
  EXPECT_EQ(result.positions[0].z, (float)-7.0000000001);

  // A sliver that is a real triangle in doubles but collinear once the
  // points are rounded to floats: the cap follows the stored floats.
  auto sliver = std::vector<vec2d>{{1000, 1000}, {1001, 1000}, {1002, 1000.00001}};
  ASSERT_EQ((float)1000.00001, 1000.0f);
  EXPECT_EQ(triangulate_rings({sliver}).size(), 3u);
  EXPECT_TRUE(make_cap(sliver, {}, 0).triangles.empty());
}

namespace {

// Points on a circle of radius r; every second one pulled in to r_in makes
// a star whose spikes defeat ear clipping.
std::vector<vec2d> star(size_t count, double r, double r_in) {
  auto ring = std::vector<vec2d>(count);
  for (size_t i = 0; i < count; i++) {
    auto angle = 2 * M_PI * (double)i / (double)count, radius = i % 2 ? r_in : r;
    ring[i] = {radius * std::cos(angle), radius * std::sin(angle)};
  }
  return ring;
}

// A ring through random points, crossing itself everywhere; with `grid` > 0
// the points are drawn from a grid of grid x grid, repeating each other.
std::vector<vec2d> random_ring(size_t count, int grid) {
  auto state = 12345ull;
  auto next  = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (double)(state >> 11) / (double)(1ull << 53);
  };
  auto ring = std::vector<vec2d>(count);
  for (auto& p : ring) {
    p = {next(), next()};
    if (grid > 0) p = {std::floor(p.x * grid), std::floor(p.y * grid)};
  }
  return ring;
}

double cap_area(const cap& result) {
  auto area = 0.0;
  for (auto& t : result.triangles) area += std::abs(triangle_area(result.positions, t));
  return area;
}

}  // namespace

// Rings that made ear clipping take minutes: each finishes well within the
// test's time limit, keeps every vertex and gets a fill over them.
TEST(triangulate, large_rings_are_filled_in_time_linear_in_their_points) {
  auto squares = std::vector<std::vector<vec2d>>{};
  for (int i = 0; i < 100000; i++) squares.push_back(closed_square(i % 300 * 0.003, i / 300 * 0.003, 0.001));
  struct hostile {
    const char*                     name;
    std::vector<vec2d>              outline;
    std::vector<std::vector<vec2d>> holes;
  };
  for (auto& [name, outline, holes] : {
           hostile{"star of 10^6 points", star(1000000, 1, 0.01), {}},
           hostile{"self-crossing ring of 2*10^5 points", random_ring(200000, 0), {}},
           hostile{"ring of 10^5 repeated points", random_ring(100000, 10), {}},
           hostile{"10^5 holes", closed_square(-1, -1, 3), squares},
       }) {
    SCOPED_TRACE(name);
    auto result = make_cap(outline, holes, 1);
    auto points = outline.size();
    for (auto& hole : holes) points += hole.size();
    EXPECT_EQ(result.positions.size(), points);
    EXPECT_FALSE(result.triangles.empty());
    for (auto& t : result.triangles) {
      for (auto i : {t.x, t.y, t.z}) ASSERT_TRUE(i >= 0 && (size_t)i < points);
    }
  }
  // The star's fill runs over its outer points: nearly the whole disc.
  EXPECT_NEAR(cap_area(make_cap(star(1000000, 1, 0.01), {}, 0)), M_PI, 0.01);
  // Without its holes thinned away, the square keeps all of its fill.
  EXPECT_NEAR(cap_area(make_cap(closed_square(-1, -1, 3), squares, 0)), 9.0, 1e-6);
}

TEST(triangulate, only_caps_above_the_limit_are_thinned) {
  // A convex ring of n points fills with n - 2 triangles on all its points.
  auto whole = make_cap(star(max_fill_points, 1, 1), {}, 0);
  EXPECT_EQ(whole.triangles.size(), max_fill_points - 2);
  auto thinned = make_cap(star(max_fill_points + 2, 1, 1), {}, 0);
  EXPECT_EQ(thinned.positions.size(), max_fill_points + 2);
  EXPECT_EQ(thinned.triangles.size(), (max_fill_points + 2) / 2 - 2);
  for (auto& t : thinned.triangles) {
    for (auto i : {t.x, t.y, t.z}) EXPECT_EQ(i % 2, 0);  // every second point
  }
  EXPECT_NEAR(cap_area(thinned), cap_area(whole), 1e-3);
}
