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
