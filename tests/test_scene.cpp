#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "scene/scene.h"
#include "scene/sunsky.h"

// A shape holding the given positions, placed once by an instance.
static scene_instance* add_placed_shape(scene_data& scene, const std::vector<vec3f>& positions,
                                        const frame3f& frame = {}) {
  auto instance = add_complete_instance(scene);
  instance->shape->positions = positions;
  instance->frame = frame;
  return instance;
}

static void expect_vec3(const vec3f& actual, const vec3f& expected) {
  EXPECT_FLOAT_EQ(actual.x, expected.x);
  EXPECT_FLOAT_EQ(actual.y, expected.y);
  EXPECT_FLOAT_EQ(actual.z, expected.z);
}

TEST(scene_records, defaults_of_fresh_records) {
  auto scene = scene_data{};
  auto camera = add_camera(scene);
  EXPECT_EQ(camera->frame, frame3f{});
  EXPECT_FALSE(camera->ortho);
  EXPECT_FLOAT_EQ(camera->lens, 0.05f);
  EXPECT_FLOAT_EQ(camera->film, 0.036f);
  EXPECT_FLOAT_EQ(camera->aspect, 1.5f);
  EXPECT_FLOAT_EQ(camera->focus, 10000);
  EXPECT_EQ(camera->aperture, 0);

  auto material = add_material(scene);
  EXPECT_FLOAT_EQ(material->ior, 1.5f);
  EXPECT_FLOAT_EQ(material->trdepth, 0.01f);
  EXPECT_EQ(material->opacity, 1);
  EXPECT_TRUE(material->thin);
  EXPECT_EQ(material->color, (vec3f{0, 0, 0}));
  EXPECT_EQ(material->normal_tex, nullptr);

  auto shape = add_shape(scene);
  EXPECT_EQ(shape->subdivisions, 0);
  EXPECT_TRUE(shape->catmullclark);
  EXPECT_TRUE(shape->smooth);
  EXPECT_EQ(shape->displacement, 0);

  auto instance = add_instance(scene);
  EXPECT_EQ(instance->shape, nullptr);
  EXPECT_EQ(instance->material, nullptr);
  auto environment = add_environment(scene);
  EXPECT_EQ(environment->emission, (vec3f{0, 0, 0}));
  EXPECT_EQ(environment->emission_tex, nullptr);
}

TEST(scene_records, empty_names_take_prefix_and_new_count) {
  auto scene = scene_data{};
  add_camera(scene, "main");
  add_camera(scene);
  EXPECT_EQ(add_camera(scene)->name, "camera3");
  EXPECT_EQ(scene.cameras[0]->name, "main");
  EXPECT_EQ(scene.cameras[1]->name, "camera2");
  // Each array counts on its own.
  EXPECT_EQ(add_environment(scene)->name, "environment1");
  EXPECT_EQ(add_texture(scene)->name, "texture1");
  add_shape(scene, "a");
  add_shape(scene, "b");
  EXPECT_EQ(add_shape(scene)->name, "shape3");
  EXPECT_EQ(add_material(scene, "m")->name, "m");
}

TEST(scene_records, complete_instance_links_three_records_of_one_name) {
  auto scene = scene_data{};
  auto building = add_complete_instance(scene, "building_7");
  EXPECT_EQ(building->name, "building_7");
  ASSERT_EQ(scene.shapes.size(), 1u);
  ASSERT_EQ(scene.materials.size(), 1u);
  EXPECT_EQ(building->shape, scene.shapes[0].get());
  EXPECT_EQ(building->material, scene.materials[0].get());
  EXPECT_EQ(building->shape->name, "building_7");
  EXPECT_EQ(building->material->name, "building_7");

  // Unnamed: each record takes its own prefix and count.
  add_shape(scene);
  auto unnamed = add_complete_instance(scene);
  EXPECT_EQ(unnamed->name, "instance2");
  EXPECT_EQ(unnamed->shape->name, "shape3");
  EXPECT_EQ(unnamed->material->name, "material2");
}

TEST(scene_records, sky_is_a_sunsky_texture_shown_by_an_environment) {
  auto scene = scene_data{};
  const auto angle = 3.14159265f / 4;
  auto environment = add_sky(scene, angle);
  ASSERT_EQ(scene.textures.size(), 1u);
  ASSERT_EQ(scene.environments.size(), 1u);
  EXPECT_EQ(environment, scene.environments[0].get());
  EXPECT_EQ(environment->name, "sky");
  EXPECT_EQ(environment->emission, (vec3f{1, 1, 1}));
  auto texture = scene.textures[0].get();
  EXPECT_EQ(environment->emission_tex, texture);
  EXPECT_EQ(texture->name, "sky");
  EXPECT_TRUE(texture->ldr.pixels.empty());
  auto expected = make_sunsky(1024, 512, angle, 3, false, 1, 1, {0.2f, 0.2f, 0.2f});
  ASSERT_EQ(texture->hdr.width, 1024);
  ASSERT_EQ(texture->hdr.height, 512);
  EXPECT_TRUE(texture->hdr.pixels == expected.pixels);
}

TEST(scene_bounds, single_point_is_its_own_box) {
  auto scene = scene_data{};
  auto p = vec3f{1.5f, -2, 3};
  add_placed_shape(scene, {p});
  auto box = compute_scene_bounds(scene);
  EXPECT_EQ(box.min, p);
  EXPECT_EQ(box.max, p);
  EXPECT_EQ(bbox_center(box), p);
  EXPECT_EQ(bbox_size(box), (vec3f{0, 0, 0}));
}

TEST(scene_bounds, corners_are_mapped_by_the_instance_frame) {
  auto scene = scene_data{};
  // A unit box turned a quarter around y (x -> -z, z -> x) and moved.
  auto frame = frame3f{{0, 0, -1}, {0, 1, 0}, {1, 0, 0}, {10, 0, 5}};
  add_placed_shape(scene, {{0, 0, 0}, {1, 2, 3}}, frame);
  auto box = compute_scene_bounds(scene);
  expect_vec3(box.min, {10, 0, 4});
  expect_vec3(box.max, {13, 2, 5});
  expect_vec3(bbox_center(box), {11.5f, 1, 4.5f});
  expect_vec3(bbox_size(box), {3, 2, 1});
}

TEST(scene_bounds, shared_shape_counts_once_per_instance) {
  auto scene = scene_data{};
  auto tree = add_placed_shape(scene, {{-1, 0, -1}, {1, 4, 1}});
  auto copy = add_instance(scene, "tree_2");
  copy->shape = tree->shape;
  copy->frame.o = {20, 0, -30};
  auto box = compute_scene_bounds(scene);
  expect_vec3(box.min, {-1, 0, -31});
  expect_vec3(box.max, {21, 4, 1});
}

TEST(scene_bounds, without_instances_the_box_is_empty) {
  auto scene = scene_data{};
  add_shape(scene)->positions = {{1, 2, 3}, {4, 5, 6}};
  auto box = compute_scene_bounds(scene);
  const auto big = std::numeric_limits<float>::max();
  EXPECT_EQ(box.min, (vec3f{big, big, big}));
  EXPECT_EQ(box.max, (vec3f{-big, -big, -big}));
  EXPECT_EQ(bbox_center(box), (vec3f{0, 0, 0}));
  auto size = bbox_size(box);
  EXPECT_TRUE(std::isinf(size.x) && size.x < 0);
  EXPECT_TRUE(std::isinf(size.y) && size.y < 0);
  EXPECT_TRUE(std::isinf(size.z) && size.z < 0);
}

TEST(scene_bounds, instances_without_geometry_add_nothing) {
  auto scene = scene_data{};
  add_placed_shape(scene, {{1, 1, 1}, {2, 3, 4}});
  add_instance(scene, "no_shape");                    // null shape
  add_placed_shape(scene, {}, frame3f{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {100, 100, 100}});
  auto box = compute_scene_bounds(scene);
  expect_vec3(box.min, {1, 1, 1});
  expect_vec3(box.max, {2, 3, 4});
  expect_vec3(bbox_center(box), {1.5f, 2, 2.5f});
}

TEST(scene_bounds, shape_outside_the_scene_arrays_still_counts) {
  auto scene = scene_data{};
  auto outside = scene_shape{};
  outside.positions = {{-5, 0, 0}};
  add_placed_shape(scene, {{1, 1, 1}});
  add_instance(scene)->shape = &outside;
  auto box = compute_scene_bounds(scene);
  expect_vec3(box.min, {-5, 0, 0});
  expect_vec3(box.max, {1, 1, 1});
}
