#include "generator/buildings.h"

#include "generator/triangulate.h"
#include "support/files.h"

// Level-class textures in creation order, with their image files.
static const char* level_texture_names[][2] = {
    {"texture1", "buildings_texture/1.jpg"},
    {"texture2", "buildings_texture/2.jpg"},
    {"texture3", "buildings_texture/3.jpg"},
    {"texture4", "buildings_texture/4.jpg"},
    {"texture5", "buildings_texture/5.jpg"},
    {"texture6", "buildings_texture/6.jpg"},
    {"texture7", "buildings_texture/7.jpg"},
    {"texture8", "buildings_texture/8.jpg"},
    {"texture8_11", "buildings_texture/8_11.jpg"},
    {"texture10_41", "buildings_texture/10_41.jpg"},
    {"texture40_71", "buildings_texture/40_71.jpg"},
    {"texture70_101", "buildings_texture/70_101.jpg"},
    {"texturemore_101", "buildings_texture/more_101.jpg"},
};

static const auto landmark_cap_color = vec3f{0.725f, 0.463f, 0.361f};
static const auto low_building_color = vec3f{0.538f, 0.426f, 0.347f};
static const auto roof_color         = vec3f{0.351f, 0.096f, 0.091f};

bool load_building_textures(scene_data& scene, const std::string& dirname,
                            building_textures& textures, std::string& error) {
  textures.levels.clear();
  textures.levels.reserve(std::size(level_texture_names));
  for (auto& [name, file] : level_texture_names) {
    auto texture = add_texture(scene, name);
    textures.levels.push_back(texture);
    if (!load_image(path_join(dirname, file), texture->hdr, error)) return false;
  }
  // The landmark image is read only when its building is built.
  textures.landmark = add_texture(scene, "texture_colosseo");
  textures.landmark_path = path_join(dirname, "buildings_texture/colosseo.jpg");
  return true;
}

int effective_levels(const city_feature& record) {
  return record.levels > 0 ? record.levels : 0;
}

scene_texture* level_texture(const building_textures& textures, int levels) {
  // 101 falls between the last two classes and has no façade texture.
  if (levels <= 0 || levels == 101) return nullptr;
  auto index = levels <= 8 ? levels - 1 : levels <= 10 ? 8 : levels <= 40 ? 9
               : levels <= 70 ? 10 : levels <= 100 ? 11 : 12;
  return index < (int)textures.levels.size() ? textures.levels[index] : nullptr;
}

vec3f kind_color(feature_kind kind) {
  switch ((int)kind) {
    case 0: return {0.79f, 0.74f, 0.62f};
    case 1: return {0.26f, 0.26f, 0.28f};
    case 2: return {0.45f, 0.4f, 0.27f};
    case 3:
    case 4: return {0.72f, 0.95f, 1.0f};
    case 5: return {0.337f, 0.49f, 0.274f};
    case 6: return {0.004f, 0.25f, 0.16f};
    case 7: return {0.69f, 0.58f, 0.43f};
    default: return {0.725f, 0.71f, 0.68f};
  }
}

vec3f named_color(const std::string& name) {
  // " light yellow" with its leading space is how the tag rules store it.
  if (name == "yellow") return {0.882f, 0.741f, 0.294f};
  if (name == " light yellow") return {0.922f, 0.925f, 0.498f};
  if (name == "brown") return {0.808f, 0.431f, 0.271f};
  if (name == "light brown") return {0.8f, 0.749f, 0.596f};
  if (name == "light orange") return {0.933f, 0.753f, 0.416f};
  return {1, 1, 1};
}

// Vertical walls from the cap down to the ground. The loop closes over all
// cap vertices at once, outline and holes together.
static bool build_walls(scene_data& scene, const city_feature& record,
                        const std::vector<vec3f>& cap, building_textures& textures,
                        std::string& error, int& quads) {
  auto instance = add_complete_instance(scene, record.name + "_1");
  auto material = instance->material;
  material->color = kind_color(record.kind);

  auto n = (int)cap.size();
  auto& positions = instance->shape->positions;
  auto& faces = instance->shape->quads;
  positions.reserve(3 * cap.size());
  positions.assign(cap.begin(), cap.end());
  faces.reserve(cap.size());
  for (auto i = 0; i < n; i++) {
    auto p = i == 0 ? n - 1 : i - 1;
    auto a = (int)positions.size();
    positions.push_back({cap[i].x, 0, cap[i].z});
    auto b = (int)positions.size();
    positions.push_back({cap[p].x, 0, cap[p].z});
    faces.push_back({p, i, a, b});
  }
  quads += n;

  if (record.landmark == 1 && record.name == landmark_record_name) {
    // Read once and shared by every part of the landmark.
    if (textures.landmark && textures.landmark->hdr.pixels.empty()) {
      if (!load_image(textures.landmark_path, textures.landmark->hdr, error)) return false;
    }
    material->color_tex = textures.landmark;
  } else if (record.landmark == 1) {
    if (record.colour != "null") material->color = named_color(record.colour);
  } else {
    material->color_tex = level_texture(textures, effective_levels(record));
  }
  return true;
}

// A pyramid over the outline: one triangle from each edge to the apex above
// the mean point, and a second, zero-area one per edge that the roof files
// have always carried.
static void build_roof(scene_data& scene, const city_feature& record) {
  auto base = add_complete_instance(scene, record.name);
  base->material->color = roof_color;
  auto& base_shape = *base->shape;
  build_cap(record.outline, {}, record.height, base_shape.positions, base_shape.triangles);
  auto& outline = base_shape.positions;

  auto m = (int)outline.size();
  auto cx = 0.0f, cz = 0.0f;
  for (auto& point : outline) cx += point.x, cz += point.z;
  if (m > 0) cx /= (float)m, cz /= (float)m;
  auto apex = vec3f{cx, record.height + record.roof_height, cz};

  auto roof = add_complete_instance(scene, record.name + "_roof");
  roof->material->color = roof_color;
  auto& positions = roof->shape->positions;
  auto& triangles = roof->shape->triangles;
  positions.reserve(3 * outline.size());
  positions.assign(outline.begin(), outline.end());
  triangles.reserve(2 * outline.size());
  for (auto i = 0; i < m; i++) {
    auto p = i == 0 ? m - 1 : i - 1;
    auto a = (int)positions.size();
    positions.push_back(apex);
    auto b = (int)positions.size();
    positions.push_back(apex);
    triangles.push_back({p, i, a});
    triangles.push_back({a, b, p});
  }
}

bool build_area_feature(scene_data& scene, const city_feature& record,
                        building_textures& textures, std::string& error, int& triangles,
                        int& quads) {
  auto levels = effective_levels(record);
  auto cap = add_complete_instance(scene, record.name);
  auto material = cap->material;
  auto positions = std::vector<vec3f>{};
  auto faces = std::vector<vec3i>{};
  build_cap(record.outline, record.holes, record.height, positions, faces);

  // Low flat roofs without courtyards are shown pointed; their cap is then
  // hidden under the roof base and keeps the default colour.
  auto flat_to_pointed = record.roof_shape == roof_flat && record.holes.empty() && levels < 8;
  auto pointed = record.roof_shape == roof_pointed || flat_to_pointed;
  if (!flat_to_pointed) {
    if (record.name == landmark_record_name) {
      material->color = landmark_cap_color;
    } else if (record.kind == feature_kind::building && levels < 3 && record.landmark != 1) {
      material->color = low_building_color;
    } else if (record.landmark == 1 && record.colour != "null") {
      material->color = named_color(record.colour);
    } else {
      material->color = kind_color(record.kind);
    }
  }
  if (record.kind == feature_kind::road) {
    material->specular = 0.7f;
    material->roughness = 0.9f;
  } else if (record.kind == feature_kind::water || record.kind == feature_kind::waterway) {
    material->specular = 1.0f;
    material->roughness = 0.1f;
    material->metallic = 0.8f;
    material->transmission = 0.99f;
  }
  triangles += (int)faces.size();

  auto walls_ok = true;
  if (record.kind == feature_kind::building)
    walls_ok = build_walls(scene, record, positions, textures, error, quads);
  cap->shape->positions = std::move(positions);
  cap->shape->triangles = std::move(faces);
  if (!walls_ok) return false;

  // A roof base for a record with courtyards would be empty, and as it shares
  // the cap's name it would replace the cap in the saved scene: such records
  // keep their flat cap and get no roof.
  if (pointed && record.holes.empty()) build_roof(scene, record);
  return true;
}
