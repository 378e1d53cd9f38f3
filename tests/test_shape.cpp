#include <gtest/gtest.h>

#include <cmath>

#include "scene/scene.h"
#include "scene/shape.h"

// Walls as the city builds them: the top outline first, then for each edge
// the two corners on the ground, each quad (top prev, top this, ground
// this, ground prev).
static scene_shape make_walls(const std::vector<vec3f>& top) {
  auto shape = scene_shape{};
  auto n = (int)top.size();
  shape.positions = top;
  for (auto i = 0; i < n; i++) {
    auto p = i == 0 ? n - 1 : i - 1;
    auto a = (int)shape.positions.size();
    shape.positions.push_back({top[i].x, 0, top[i].z});
    auto b = (int)shape.positions.size();
    shape.positions.push_back({top[p].x, 0, top[p].z});
    shape.quads.push_back({p, i, a, b});
  }
  return shape;
}

static vec2f texcoord_at(const textured_mesh& mesh, const vec3f& p, int face) {
  for (int k = 0; k < 4; k++) {
    auto i = (size_t)(4 * face + k);
    if (mesh.positions[i] == p) return mesh.texcoords[i];
  }
  ADD_FAILURE() << "corner not found";
  return {};
}

TEST(facade_texcoords, walls_show_storeys_level_and_windows_unstretched) {
  // A 3 x 2 box, 1.5 high, with an image twice as tall as wide.
  struct box_case {
    float aspect;
    float expected_u_first_wall;
  } cases[] = {{0.5f, 3 / (1.5f * 0.5f)}, {2.0f, 3 / (1.5f * 2.0f)}, {-1.0f, 3 / 1.5f}};
  for (auto& c : cases) {
    auto walls = make_walls({{0, 1.5f, 0}, {3, 1.5f, 0}, {3, 1.5f, 2}, {0, 1.5f, 2}});
    auto mesh = make_facade_texcoords(walls, c.aspect);
    ASSERT_EQ(mesh.positions.size(), 16u);
    ASSERT_EQ(mesh.texcoords.size(), 16u);
    ASSERT_EQ(mesh.triangles.size(), 8u);
    // Face 1 runs from (0,_,0) to (3,_,0): the image repeats along its
    // length, top row at the top.
    auto top_start = texcoord_at(mesh, {0, 1.5f, 0}, 1);
    auto top_end = texcoord_at(mesh, {3, 1.5f, 0}, 1);
    auto ground_end = texcoord_at(mesh, {3, 0, 0}, 1);
    EXPECT_FLOAT_EQ(top_start.y, 0);
    EXPECT_FLOAT_EQ(ground_end.y, 1);
    EXPECT_NEAR(top_end.x - top_start.x, c.expected_u_first_wall, 1e-5) << c.aspect;
    EXPECT_FLOAT_EQ(ground_end.x, top_end.x);
    // The next wall continues where this one ends (modulo whole images).
    auto next_start = texcoord_at(mesh, {3, 1.5f, 0}, 2);
    auto gap = next_start.x - top_end.x;
    EXPECT_NEAR(gap - std::round(gap), 0, 1e-4);
  }
}

TEST(facade_texcoords, flat_faces_and_bad_indices) {
  auto flat = scene_shape{};
  flat.positions = {{0, 0, 0}, {4, 0, 0}, {4, 0, 2}, {9, 9, 9}};
  flat.triangles = {{0, 1, 2}, {0, 1, 7}};  // the second addresses nothing
  auto mesh = make_facade_texcoords(flat, 1);
  ASSERT_EQ(mesh.triangles.size(), 1u);
  // A flat shape is scaled by its larger side in plan.
  EXPECT_FLOAT_EQ(mesh.texcoords[1].x, 1);
  EXPECT_FLOAT_EQ(mesh.texcoords[2].y, 0.5f);
  EXPECT_TRUE(make_facade_texcoords(scene_shape{}, 1).positions.empty());
}

TEST(shape_ops, quads_to_triangles_keeps_degenerate_quads_single) {
  auto triangles = quads_to_triangles({{0, 1, 2}}, {{0, 1, 2, 3}, {4, 5, 6, 6}});
  auto expected = std::vector<vec3i>{{0, 1, 2}, {0, 1, 2}, {0, 2, 3}, {4, 5, 6}};
  EXPECT_EQ(triangles.size(), expected.size());
  for (size_t i = 0; i < expected.size() && i < triangles.size(); i++)
    EXPECT_EQ(triangles[i], expected[i]) << i;
}
