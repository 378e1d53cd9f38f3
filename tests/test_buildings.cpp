#include <gtest/gtest.h>

#include "generator/buildings.h"
#include "scene/image.h"
#include "support/files.h"
#include "test_util.h"

namespace {

const auto building_color = vec3f{0.79f, 0.74f, 0.62f};
const auto low_color      = vec3f{0.538f, 0.426f, 0.347f};
const auto roof_color     = vec3f{0.351f, 0.096f, 0.091f};
const auto yellow         = vec3f{0.882f, 0.741f, 0.294f};
const auto white          = vec3f{1, 1, 1};
const auto no_color       = vec3f{0, 0, 0};
const char* level_names[] = {"texture1",     "texture2",     "texture3",      "texture4",
                             "texture5",     "texture6",     "texture7",      "texture8",
                             "texture8_11",  "texture10_41", "texture40_71",  "texture70_101",
                             "texturemore_101"};
const char* level_files[] = {"1",  "2",     "3",     "4",     "5",      "6",       "7",
                             "8",  "8_11",  "10_41", "40_71", "70_101", "more_101"};

std::vector<vec2d> closed_square(double x0, double y0, double size) {
  return {{x0, y0}, {x0 + size, y0}, {x0 + size, y0 + size}, {x0, y0 + size}, {x0, y0}};
}

city_feature square_building(int levels, int roof_shape = roof_none) {
  auto record = city_feature{};
  record.name = "building_way_7";
  record.kind = feature_kind::building;
  record.levels = levels;
  record.roof_shape = roof_shape;
  record.height = 0.5f;
  record.roof_height = 0.25f;
  record.outline = closed_square(1, 2, 3);
  return record;
}

// The fourteen textures as load_building_textures makes them, without images.
building_textures named_textures(scene_data& scene) {
  auto textures = building_textures{};
  for (auto name : level_names) textures.levels.push_back(add_texture(scene, name));
  textures.landmark = add_texture(scene, "texture_colosseo");
  textures.landmark_path = "no-such-folder/buildings_texture/colosseo.jpg";
  return textures;
}

// Builds one record into a fresh scene with texture-only fixtures.
struct built {
  scene_data        scene;
  building_textures textures;
  bool              ok        = false;
  std::string       error     = "";
  int               triangles = 0;
  int               quads     = 0;

  explicit built(const city_feature& record) {
    textures = named_textures(scene);
    ok = build_area_feature(scene, record, textures, error, triangles, quads);
  }
  scene_instance* instance(size_t i) const {
    return i < scene.instances.size() ? scene.instances[i].get() : nullptr;
  }
  std::string texture_name(size_t i) const {
    auto tex = instance(i)->material->color_tex;
    return tex ? tex->name : "";
  }
};

// A folder with tiny façade images; `skip` names a file left out.
void write_texture_folder(const std::string& dirname, const std::string& skip = "") {
  auto error = std::string{};
  ASSERT_TRUE(make_directory(path_join(dirname, "buildings_texture"), error)) << error;
  auto image = image4b{2, 2, std::vector<vec4b>(4, vec4b{200, 100, 50, 255})};
  for (auto file : level_files) {
    if (file == skip) continue;
    auto path = path_join(dirname, std::string{"buildings_texture/"} + file + ".jpg");
    ASSERT_TRUE(save_image(path, image, error)) << error;
  }
  if (skip != "colosseo") {
    auto path = path_join(dirname, "buildings_texture/colosseo.jpg");
    ASSERT_TRUE(save_image(path, image, error)) << error;
  }
}

}  // namespace

TEST(buildings, five_storey_square_gets_cap_and_textured_walls) {
  auto b = built{square_building(5)};
  ASSERT_TRUE(b.ok) << b.error;
  ASSERT_EQ(b.scene.instances.size(), 2u);
  auto cap = b.instance(0);
  EXPECT_EQ(cap->name, "building_way_7");
  EXPECT_EQ(cap->shape->name, "building_way_7");
  EXPECT_EQ(cap->material->name, "building_way_7");
  ASSERT_EQ(cap->shape->positions.size(), 5u);
  for (auto& p : cap->shape->positions) EXPECT_EQ(p.y, 0.5f);
  EXPECT_EQ(cap->shape->triangles.size(), 2u);
  EXPECT_EQ(cap->material->color, building_color);
  EXPECT_EQ(cap->frame, frame3f{});

  auto walls = b.instance(1);
  EXPECT_EQ(walls->name, "building_way_7_1");
  auto& v = walls->shape->positions;
  auto& q = walls->shape->quads;
  ASSERT_EQ(v.size(), 15u);
  ASSERT_EQ(q.size(), 5u);
  EXPECT_TRUE(walls->shape->triangles.empty());
  // The first quad closes the loop: last vertex, first vertex, then the
  // ground under each; it has zero width since the ring repeats its start.
  EXPECT_EQ(q[0], (vec4i{4, 0, 5, 6}));
  EXPECT_EQ(v[5], (vec3f{1, 0, 2}));
  EXPECT_EQ(v[6], (vec3f{1, 0, 2}));
  EXPECT_EQ(q[2], (vec4i{1, 2, 9, 10}));
  EXPECT_EQ(v[9], (vec3f{4, 0, 5}));
  EXPECT_EQ(v[10], (vec3f{4, 0, 2}));
  EXPECT_EQ(walls->material->color, building_color);
  EXPECT_EQ(b.texture_name(1), "texture5");
  EXPECT_EQ(b.triangles, 2);
  EXPECT_EQ(b.quads, 5);
}

TEST(buildings, counters_add_up_over_records) {
  auto scene = scene_data{};
  auto textures = named_textures(scene);
  auto error = std::string{};
  auto triangles = 10, quads = 20;
  ASSERT_TRUE(build_area_feature(scene, square_building(5), textures, error, triangles, quads));
  ASSERT_TRUE(build_area_feature(scene, square_building(4, roof_pointed), textures, error,
                                 triangles, quads));
  // Roof base and roof triangles are not counted.
  EXPECT_EQ(triangles, 14);
  EXPECT_EQ(quads, 30);
}

TEST(buildings, low_buildings_get_the_low_cap_colour) {
  auto b = built{square_building(2)};
  EXPECT_EQ(b.instance(0)->material->color, low_color);
  EXPECT_EQ(b.texture_name(1), "texture2");
  auto unknown = built{square_building(0)};
  EXPECT_EQ(unknown.instance(0)->material->color, low_color);
  auto three = built{square_building(3)};
  EXPECT_EQ(three.instance(0)->material->color, building_color);
}

TEST(buildings, low_flat_roof_becomes_a_pyramid) {
  auto b = built{square_building(6, roof_flat)};
  ASSERT_TRUE(b.ok);
  ASSERT_EQ(b.scene.instances.size(), 4u);
  EXPECT_EQ(b.instance(0)->material->color, no_color);
  EXPECT_EQ(b.instance(0)->shape->triangles.size(), 2u);

  auto base = b.instance(2);
  EXPECT_EQ(base->name, "building_way_7");
  EXPECT_NE(base->shape, b.instance(0)->shape);
  EXPECT_EQ(base->material->color, roof_color);
  EXPECT_EQ(base->shape->positions, b.instance(0)->shape->positions);
  EXPECT_EQ(base->shape->triangles.size(), 2u);

  auto roof = b.instance(3);
  EXPECT_EQ(roof->name, "building_way_7_roof");
  EXPECT_EQ(roof->material->color, roof_color);
  auto& v = roof->shape->positions;
  auto& t = roof->shape->triangles;
  ASSERT_EQ(v.size(), 15u);
  ASSERT_EQ(t.size(), 10u);
  // Mean of the five stored points, the repeated corner counted twice.
  auto cx = (1.0f + 4.0f + 4.0f + 1.0f + 1.0f) / 5.0f;
  auto cz = (2.0f + 2.0f + 5.0f + 5.0f + 2.0f) / 5.0f;
  auto apex = vec3f{cx, 0.75f, cz};
  for (size_t i = 5; i < 15; i++) EXPECT_EQ(v[i], apex) << i;
  EXPECT_EQ(t[0], (vec3i{4, 0, 5}));
  EXPECT_EQ(t[1], (vec3i{5, 6, 4}));
  EXPECT_EQ(t[2], (vec3i{0, 1, 7}));
  EXPECT_EQ(t[3], (vec3i{7, 8, 0}));
  EXPECT_EQ(b.triangles, 2);
}

TEST(buildings, pointed_roof_keeps_the_cap_colour_rules) {
  auto b = built{square_building(12, roof_pointed)};
  ASSERT_EQ(b.scene.instances.size(), 4u);
  EXPECT_EQ(b.instance(0)->material->color, building_color);
  EXPECT_EQ(b.instance(3)->name, "building_way_7_roof");
  EXPECT_EQ(b.texture_name(1), "texture10_41");
}

TEST(buildings, tall_or_courtyard_flat_roofs_stay_flat) {
  auto tall = built{square_building(8, roof_flat)};
  ASSERT_EQ(tall.scene.instances.size(), 2u);
  EXPECT_EQ(tall.instance(0)->material->color, building_color);

  auto record = square_building(6, roof_flat);
  record.holes = {closed_square(2, 3, 1)};
  auto courtyard = built{record};
  ASSERT_EQ(courtyard.scene.instances.size(), 2u);
  EXPECT_EQ(courtyard.instance(0)->material->color, building_color);
}

TEST(buildings, pointed_roof_over_a_courtyard_keeps_the_cap) {
  auto record = square_building(5, roof_pointed);
  record.holes = {closed_square(2, 3, 1)};
  auto b = built{record};
  ASSERT_TRUE(b.ok);
  // No empty roof base sharing the cap's name: it would replace the cap
  // when the scene is saved.
  ASSERT_EQ(b.scene.instances.size(), 2u);
  EXPECT_EQ(b.scene.shapes.size(), 2u);
  EXPECT_EQ(b.instance(0)->shape->positions.size(), 10u);
  EXPECT_FALSE(b.instance(0)->shape->triangles.empty());
  EXPECT_EQ(b.instance(1)->name, "building_way_7_1");
}

TEST(buildings, walls_run_along_outline_and_hole_as_one_loop) {
  auto record = square_building(5);
  record.holes = {closed_square(2, 3, 1)};
  auto b = built{record};
  auto& v = b.instance(1)->shape->positions;
  auto& q = b.instance(1)->shape->quads;
  ASSERT_EQ(v.size(), 30u);
  ASSERT_EQ(q.size(), 10u);
  EXPECT_EQ(b.quads, 10);
  // Last hole point back to the first outline point ...
  EXPECT_EQ(q[0], (vec4i{9, 0, 10, 11}));
  EXPECT_EQ(v[11], (vec3f{2, 0, 3}));
  // ... and last outline point over to the first hole point.
  EXPECT_EQ(q[5], (vec4i{4, 5, 20, 21}));
  EXPECT_EQ(v[20], (vec3f{2, 0, 3}));
  EXPECT_EQ(v[21], (vec3f{1, 0, 2}));
}

TEST(buildings, storeys_choose_the_facade_texture) {
  auto scene = scene_data{};
  auto textures = named_textures(scene);
  auto name_of = [&](int levels) {
    auto texture = level_texture(textures, levels);
    return texture ? texture->name : std::string{"none"};
  };
  EXPECT_EQ(name_of(0), "none");
  EXPECT_EQ(name_of(-4), "none");
  EXPECT_EQ(name_of(1), "texture1");
  EXPECT_EQ(name_of(8), "texture8");
  EXPECT_EQ(name_of(9), "texture8_11");
  EXPECT_EQ(name_of(10), "texture8_11");
  EXPECT_EQ(name_of(11), "texture10_41");
  EXPECT_EQ(name_of(40), "texture10_41");
  EXPECT_EQ(name_of(41), "texture40_71");
  EXPECT_EQ(name_of(70), "texture40_71");
  EXPECT_EQ(name_of(71), "texture70_101");
  EXPECT_EQ(name_of(100), "texture70_101");
  EXPECT_EQ(name_of(101), "none");
  EXPECT_EQ(name_of(102), "texturemore_101");
  EXPECT_EQ(name_of(5000), "texturemore_101");
  // Walls share the scene's texture records.
  EXPECT_EQ(level_texture(textures, 3), scene.textures[2].get());

  EXPECT_EQ(built{square_building(101)}.texture_name(1), "");
  EXPECT_EQ(built{square_building(0)}.texture_name(1), "");
  EXPECT_EQ(built{square_building(-2)}.texture_name(1), "");
  EXPECT_EQ(built{square_building(-2)}.instance(0)->material->color, low_color);

  // A class whose texture was never created leaves the walls untextured.
  textures.levels.resize(5);
  EXPECT_EQ(level_texture(textures, 6), nullptr);
  EXPECT_EQ(level_texture(textures, 5), scene.textures[4].get());
}

TEST(buildings, landmark_colours_come_from_the_colour_tag) {
  auto record = square_building(5);
  record.landmark = 1;
  record.colour = "yellow";
  auto yellow_one = built{record};
  EXPECT_EQ(yellow_one.instance(0)->material->color, yellow);
  EXPECT_EQ(yellow_one.instance(1)->material->color, yellow);
  EXPECT_EQ(yellow_one.texture_name(1), "");

  // A low landmark is not painted as a low building.
  record.levels = 1;
  record.colour = "";
  auto untagged = built{record};
  EXPECT_EQ(untagged.instance(0)->material->color, white);
  EXPECT_EQ(untagged.instance(1)->material->color, white);

  record.colour = "null";
  auto null_one = built{record};
  EXPECT_EQ(null_one.instance(0)->material->color, building_color);
  EXPECT_EQ(null_one.instance(1)->material->color, building_color);
  EXPECT_EQ(null_one.texture_name(1), "");
}

TEST(buildings, named_and_kind_colours) {
  EXPECT_EQ(named_color("yellow"), yellow);
  EXPECT_EQ(named_color(" light yellow"), (vec3f{0.922f, 0.925f, 0.498f}));
  EXPECT_EQ(named_color("light yellow"), white);
  EXPECT_EQ(named_color("brown"), (vec3f{0.808f, 0.431f, 0.271f}));
  EXPECT_EQ(named_color("light brown"), (vec3f{0.8f, 0.749f, 0.596f}));
  EXPECT_EQ(named_color("light orange"), (vec3f{0.933f, 0.753f, 0.416f}));
  EXPECT_EQ(named_color("Yellow"), white);
  EXPECT_EQ(named_color(""), white);

  EXPECT_EQ(kind_color(feature_kind::building), building_color);
  EXPECT_EQ(kind_color(feature_kind::road), (vec3f{0.26f, 0.26f, 0.28f}));
  EXPECT_EQ(kind_color(feature_kind::pedestrian), (vec3f{0.45f, 0.4f, 0.27f}));
  EXPECT_EQ(kind_color(feature_kind::water), (vec3f{0.72f, 0.95f, 1.0f}));
  EXPECT_EQ(kind_color(feature_kind::waterway), (vec3f{0.72f, 0.95f, 1.0f}));
  EXPECT_EQ(kind_color(feature_kind::green), (vec3f{0.337f, 0.49f, 0.274f}));
  EXPECT_EQ(kind_color(feature_kind::forest), (vec3f{0.004f, 0.25f, 0.16f}));
  EXPECT_EQ(kind_color((feature_kind)7), (vec3f{0.69f, 0.58f, 0.43f}));
  EXPECT_EQ(kind_color(feature_kind::tree), (vec3f{0.725f, 0.71f, 0.68f}));
  EXPECT_EQ(kind_color(feature_kind::ignored), (vec3f{0.725f, 0.71f, 0.68f}));
}

TEST(buildings, roads_and_water_get_their_surfaces_and_no_walls) {
  auto road = square_building(5);
  road.kind = feature_kind::road;
  auto r = built{road};
  ASSERT_EQ(r.scene.instances.size(), 1u);
  auto m = r.instance(0)->material;
  EXPECT_EQ(m->color, (vec3f{0.26f, 0.26f, 0.28f}));
  EXPECT_EQ(m->specular, 0.7f);
  EXPECT_EQ(m->roughness, 0.9f);
  EXPECT_EQ(m->metallic, 0.0f);
  EXPECT_EQ(m->transmission, 0.0f);
  EXPECT_EQ(r.quads, 0);

  for (auto kind : {feature_kind::water, feature_kind::waterway}) {
    auto water = square_building(5);
    water.kind = kind;
    auto w = built{water};
    ASSERT_EQ(w.scene.instances.size(), 1u);
    auto m = w.instance(0)->material;
    EXPECT_EQ(m->color, (vec3f{0.72f, 0.95f, 1.0f}));
    EXPECT_EQ(m->specular, 1.0f);
    EXPECT_EQ(m->roughness, 0.1f);
    EXPECT_EQ(m->metallic, 0.8f);
    EXPECT_EQ(m->transmission, 0.99f);
  }

  // Surfaces apply even when the roof rule skips the cap colour.
  auto odd = square_building(2, roof_flat);
  odd.kind = feature_kind::road;
  auto o = built{odd};
  EXPECT_EQ(o.instance(0)->material->color, no_color);
  EXPECT_EQ(o.instance(0)->material->roughness, 0.9f);
  EXPECT_EQ(o.scene.instances.size(), 3u);

  auto green = square_building(5);
  green.kind = feature_kind::green;
  auto g = built{green};
  EXPECT_EQ(g.instance(0)->material->color, (vec3f{0.337f, 0.49f, 0.274f}));
  EXPECT_EQ(g.instance(0)->material->roughness, 0.0f);
}

TEST(buildings, only_the_exact_landmark_name_gets_its_colour_and_image) {
  auto record = square_building(5);
  record.name = "building_relation_18348181";
  record.landmark = 1;
  auto near_miss = built{record};
  ASSERT_TRUE(near_miss.ok);
  EXPECT_EQ(near_miss.instance(0)->material->color, white);
  EXPECT_EQ(near_miss.texture_name(1), "");

  // Not marked as a landmark: landmark cap colour, ordinary façade.
  record.name = "building_relation_1834818";
  record.landmark = 0;
  auto plain = built{record};
  ASSERT_TRUE(plain.ok);
  EXPECT_EQ(plain.instance(0)->material->color, (vec3f{0.725f, 0.463f, 0.361f}));
  EXPECT_EQ(plain.texture_name(1), "texture5");
}

TEST(buildings, missing_landmark_image_fails_after_cap_and_walls) {
  auto record = square_building(5);
  record.name = "building_relation_1834818";
  record.landmark = 1;
  auto b = built{record};
  EXPECT_FALSE(b.ok);
  EXPECT_EQ(b.error.rfind("no-such-folder/buildings_texture/colosseo.jpg", 0), 0u) << b.error;
  ASSERT_EQ(b.scene.instances.size(), 2u);
  EXPECT_EQ(b.instance(0)->shape->positions.size(), 5u);
  EXPECT_EQ(b.instance(1)->shape->quads.size(), 5u);
}

TEST(buildings, textures_load_in_order_with_the_landmark_left_for_later) {
  auto dir = scratch_dir("textures");
  write_texture_folder(dir.str());
  auto scene = scene_data{};
  auto textures = building_textures{};
  auto error = std::string{};
  ASSERT_TRUE(load_building_textures(scene, dir.str(), textures, error)) << error;
  ASSERT_EQ(scene.textures.size(), 14u);
  ASSERT_EQ(textures.levels.size(), 13u);
  for (size_t i = 0; i < 13; i++) {
    EXPECT_EQ(scene.textures[i]->name, level_names[i]);
    EXPECT_EQ(textures.levels[i], scene.textures[i].get());
    EXPECT_EQ(scene.textures[i]->hdr.width, 2);
    EXPECT_EQ(scene.textures[i]->hdr.pixels.size(), 4u);
  }
  EXPECT_EQ(scene.textures[13]->name, "texture_colosseo");
  EXPECT_EQ(textures.landmark, scene.textures[13].get());
  EXPECT_TRUE(textures.landmark->hdr.pixels.empty());
  EXPECT_EQ(textures.landmark_path, path_join(dir.str(), "buildings_texture/colosseo.jpg"));

  // The landmark's image is read when its record is built.
  auto record = square_building(5);
  record.name = "building_relation_1834818";
  record.landmark = 1;
  auto triangles = 0, quads = 0;
  ASSERT_TRUE(build_area_feature(scene, record, textures, error, triangles, quads)) << error;
  auto walls = scene.instances[1].get();
  EXPECT_EQ(walls->material->color_tex, textures.landmark);
  EXPECT_EQ(walls->material->color, building_color);
  EXPECT_EQ(textures.landmark->hdr.pixels.size(), 4u);
  EXPECT_EQ(scene.instances[0]->material->color, (vec3f{0.725f, 0.463f, 0.361f}));
  EXPECT_EQ(scene.textures.size(), 14u);
}

TEST(buildings, texture_loading_stops_at_the_first_failure) {
  auto dir = scratch_dir("textures");
  write_texture_folder(dir.str(), "5");
  auto scene = scene_data{};
  auto textures = building_textures{};
  auto error = std::string{};
  EXPECT_FALSE(load_building_textures(scene, dir.str(), textures, error));
  EXPECT_EQ(error.rfind(path_join(dir.str(), "buildings_texture/5.jpg"), 0), 0u) << error;
  ASSERT_EQ(scene.textures.size(), 5u);
  EXPECT_EQ(scene.textures[4]->name, "texture5");
  EXPECT_TRUE(scene.textures[4]->hdr.pixels.empty());
  EXPECT_FALSE(scene.textures[3]->hdr.pixels.empty());
}
