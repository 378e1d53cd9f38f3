#pragma once
// The fields of each kind of record in the JSON scene document, listed once:
// the key, whether a record writes it (its value differs from a fresh
// record's), how its value is written and how it is read back. The document
// writer and the reader both go by these tables.

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "scene/json_scene.h"
#include "scene/json_text.h"
#include "scene/scene.h"

namespace json_fields {

// One member of a record as the document gives it. Arrays keep only their
// first numbers: no member holds more than 12, so a hostile array of
// millions costs nothing.
struct member_value {
  enum struct type { null, boolean, number, string, array, other };
  type                kind         = type::null;
  bool                boolean      = false;
  double              number       = 0;
  std::string         text         = "";
  std::vector<double> numbers      = {};
  size_t              length       = 0;     // array elements, numbers or not
  bool                numbers_only = true;  // every array element a number
};
constexpr size_t max_kept_numbers = 16;

// The readers of member values: false with what was expected.
inline bool read_value(const member_value& v, float& out, const char*& expected) {
  // Converting a double beyond the float range is undefined: refuse it.
  if (v.kind != member_value::type::number || !(std::fabs(v.number) <= FLT_MAX))
    return expected = "a number in the range of a float", false;
  out = (float)v.number;
  return true;
}
inline bool read_value(const member_value& v, bool& out, const char*& expected) {
  if (v.kind != member_value::type::boolean) return expected = "true or false", false;
  out = v.boolean;
  return true;
}
inline bool read_value(const member_value& v, int& out, const char*& expected) {
  if (v.kind != member_value::type::number || v.number != std::floor(v.number) ||
      v.number < INT32_MIN || v.number > INT32_MAX)
    return expected = "a 32-bit integer", false;
  out = (int)v.number;
  return true;
}
inline bool read_floats(const member_value& v, float* out, size_t count) {
  if (v.kind != member_value::type::array || !v.numbers_only || v.length != count) return false;
  for (size_t k = 0; k < count; k++) {
    if (!(std::fabs(v.numbers[k]) <= FLT_MAX)) return false;
    out[k] = (float)v.numbers[k];
  }
  return true;
}
inline bool read_value(const member_value& v, vec3f& out, const char*& expected) {
  float values[3];
  if (!read_floats(v, values, 3))
    return expected = "an array of 3 numbers in the range of a float", false;
  out = {values[0], values[1], values[2]};
  return true;
}
inline bool read_value(const member_value& v, frame3f& out, const char*& expected) {
  float f[12];
  if (!read_floats(v, f, 12))
    return expected = "an array of 12 numbers in the range of a float", false;
  out = {{f[0], f[1], f[2]}, {f[3], f[4], f[5]}, {f[6], f[7], f[8]}, {f[9], f[10], f[11]}};
  return true;
}

// The writers of member values. `indent` is where the closing bracket of an
// array goes.
inline void append_value(std::string& out, int indent, const vec3f& v) {
  append_json_numbers(out, indent, {v.x, v.y, v.z});
}
inline void append_value(std::string& out, int indent, const frame3f& f) {
  append_json_numbers(out, indent, {f.x.x, f.x.y, f.x.z, f.y.x, f.y.y, f.y.z, f.z.x, f.z.y,
                                    f.z.z, f.o.x, f.o.y, f.o.z});
}
inline void append_value(std::string& out, int, float value) { append_json_number(out, value); }
inline void append_value(std::string& out, int, int value) { append_json_integer(out, value); }
inline void append_value(std::string& out, int, bool value) { out += value ? "true" : "false"; }
inline void append_value(std::string& out, int, const scene_texture* texture) {
  append_json_string(out, texture->name);
}

// Records are members of their kind's object, which is a member of the root.
constexpr int member_indent = 6;

// A field of a kind of record. A value field reads itself; a texture field
// holds a texture's name, which the reader turns into the scene's texture
// of that name and hands to set_texture.
template <typename Record>
struct field {
  const char* key;
  bool (*written)(const Record&);
  void (*append)(std::string&, const Record&);
  bool (*read)(Record&, const member_value&, const char*& expected);
  void (*set_texture)(Record&, scene_texture*);
};

#define JSON_VALUE_FIELD(Record, key, name)                                                 \
  field<Record> {                                                                          \
    key,                                                                                   \
        [](const Record& r) {                                                              \
          static const auto fresh = Record{};                                              \
          return r.name != fresh.name;                                                     \
        },                                                                                 \
        [](std::string& out, const Record& r) { append_value(out, member_indent, r.name); }, \
        [](Record& r, const member_value& v, const char*& expected) {                      \
          return read_value(v, r.name, expected);                                          \
        },                                                                                 \
        nullptr                                                                            \
  }
#define JSON_TEXTURE_FIELD(Record, key, name)                                               \
  field<Record> {                                                                          \
    key, [](const Record& r) { return r.name != nullptr; },                                \
        [](std::string& out, const Record& r) { append_value(out, member_indent, r.name); }, \
        nullptr, [](Record& r, scene_texture* texture) { r.name = texture; }                \
  }

// Each table lists the fields in the byte order of their keys, the order of
// the document.
inline const field<scene_camera> camera_fields[] = {
    JSON_VALUE_FIELD(scene_camera, "aperture", aperture),
    JSON_VALUE_FIELD(scene_camera, "aspect", aspect),
    JSON_VALUE_FIELD(scene_camera, "film", film),
    JSON_VALUE_FIELD(scene_camera, "focus", focus),
    JSON_VALUE_FIELD(scene_camera, "frame", frame),
    JSON_VALUE_FIELD(scene_camera, "lens", lens),
    JSON_VALUE_FIELD(scene_camera, "ortho", ortho),
};
inline const field<scene_environment> environment_fields[] = {
    JSON_VALUE_FIELD(scene_environment, "emission", emission),
    JSON_TEXTURE_FIELD(scene_environment, "emission_tex", emission_tex),
    JSON_VALUE_FIELD(scene_environment, "frame", frame),
};
inline const field<scene_material> material_fields[] = {
    JSON_VALUE_FIELD(scene_material, "coat", coat),
    JSON_TEXTURE_FIELD(scene_material, "coat_tex", coat_tex),
    JSON_VALUE_FIELD(scene_material, "color", color),
    JSON_TEXTURE_FIELD(scene_material, "color_tex", color_tex),
    JSON_VALUE_FIELD(scene_material, "emission", emission),
    JSON_TEXTURE_FIELD(scene_material, "emission_tex", emission_tex),
    JSON_VALUE_FIELD(scene_material, "ior", ior),
    JSON_VALUE_FIELD(scene_material, "metallic", metallic),
    JSON_TEXTURE_FIELD(scene_material, "metallic_tex", metallic_tex),
    JSON_TEXTURE_FIELD(scene_material, "normal_tex", normal_tex),
    JSON_VALUE_FIELD(scene_material, "opacity", opacity),
    JSON_TEXTURE_FIELD(scene_material, "opacity_tex", opacity_tex),
    JSON_VALUE_FIELD(scene_material, "roughness", roughness),
    JSON_TEXTURE_FIELD(scene_material, "roughness_tex", roughness_tex),
    JSON_VALUE_FIELD(scene_material, "scanisotropy", scanisotropy),
    JSON_VALUE_FIELD(scene_material, "scattering", scattering),
    JSON_TEXTURE_FIELD(scene_material, "scattering_tex", scattering_tex),
    JSON_VALUE_FIELD(scene_material, "specular", specular),
    JSON_TEXTURE_FIELD(scene_material, "specular_tex", specular_tex),
    JSON_VALUE_FIELD(scene_material, "thin", thin),
    JSON_VALUE_FIELD(scene_material, "translucency", translucency),
    JSON_TEXTURE_FIELD(scene_material, "translucency_tex", translucency_tex),
    JSON_VALUE_FIELD(scene_material, "transmission", transmission),
    JSON_TEXTURE_FIELD(scene_material, "transmission_tex", transmission_tex),
    JSON_VALUE_FIELD(scene_material, "trdepth", trdepth),
};
// The settings of a shape, which every instance of the shape carries beside
// its own frame, shape and material.
inline const field<json_store_settings> settings_fields[] = {
    JSON_VALUE_FIELD(json_store_settings, "catmullclark", catmullclark),
    JSON_VALUE_FIELD(json_store_settings, "displacement", displacement),
    JSON_TEXTURE_FIELD(json_store_settings, "displacement_tex", displacement_tex),
    JSON_VALUE_FIELD(json_store_settings, "smooth", smooth),
    JSON_VALUE_FIELD(json_store_settings, "subdivisions", subdivisions),
};

#undef JSON_VALUE_FIELD
#undef JSON_TEXTURE_FIELD

// The field of that key, or null.
template <typename Record, size_t N>
const field<Record>* find_field(const field<Record> (&fields)[N], const std::string& key) {
  for (auto& f : fields)
    if (key == f.key) return &f;
  return nullptr;
}

}  // namespace json_fields
