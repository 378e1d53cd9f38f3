// The glTF writer's records: nodes for instances, cameras and the sun,
// metallic-roughness materials and their PNG images, and the text they are
// written in.

#include <stb_image_write.h>

#include <algorithm>
#include <cmath>

#include "scene/gltf_writer.h"
#include "scene/image.h"
#include "scene/json_text.h"
#include "scene/scene_files.h"
#include "scene/sunsky.h"
#include "support/format.h"

namespace gltf_writing {

float unit(float v) { return std::isfinite(v) ? std::min(std::max(v, 0.0f), 1.0f) : 0.0f; }

void json_text::separate() {
  if (after_key) {
    after_key = false;
  } else if (!first.empty()) {
    if (!first.back()) out += ',';
    first.back() = false;
  }
}

void json_text::key(const char* name) {
  separate();
  out += '"', out += name, out += "\":";
  after_key = true;
}

void json_text::number(float value) {
  separate();
  append_json_float(out, std::isfinite(value) ? value : 0.0f);
}

void json_text::integer(long long value) { separate(), append_int(out, value); }

void json_text::string(std::string_view text) {
  separate();
  if (!is_valid_utf8(text)) invalid = true;
  append_json_string(out, text);
}

void json_text::numbers(std::initializer_list<float> values) {
  begin_array();
  for (auto v : values) number(v);
  end_array();
}

void append_matrix(json_text& json, const frame3f& f) {
  json.key("matrix");
  json.numbers({f.x.x, f.x.y, f.x.z, 0, f.y.x, f.y.y, f.y.z, 0, f.z.x, f.z.y, f.z.z, 0, f.o.x,
                f.o.y, f.o.z, 1});
}

void begin_node(json_text& json, std::string_view name) {
  json.begin_object();
  json.member("name", name);
}

namespace {

// A frame glTF can take as a node matrix: rotation, scale and translation,
// which is what frames with perpendicular axes of some length are.
bool is_trs(const frame3f& f) {
  if (!is_finite(f)) return false;
  auto lx = length(f.x), ly = length(f.y), lz = length(f.z);
  if (!(lx > 0 && ly > 0 && lz > 0)) return false;
  const auto tolerance = 1e-5f;
  return std::abs(dot(f.x, f.y)) <= tolerance * lx * ly &&
         std::abs(dot(f.y, f.z)) <= tolerance * ly * lz &&
         std::abs(dot(f.z, f.x)) <= tolerance * lz * lx;
}

// The rotation part of a frame made orthonormal, looking down -z with y up:
// what cameras and lights take from their frames.
frame3f orthonormal(const frame3f& f) {
  auto z = normalize(f.z);
  auto x = normalize(cross(f.y, z));
  if (!(length(x) > 0.5f))
    x = normalize(cross(std::abs(z.y) < 0.9f ? vec3f{0, 1, 0} : vec3f{1, 0, 0}, z));
  auto y = cross(z, x);
  return {x, y, z, f.o};
}

void append_to_string(void* context, void* data, int size) {
  ((std::string*)context)->append((const char*)data, (size_t)size);
}

// The 8-bit pixels of a texture; float pixels are converted to sRGB, or
// scaled without the curve for data such as normal maps.
image4b texture_pixels(const scene_texture& texture, bool linear) {
  if (texture.hdr.pixels.empty()) return texture.ldr;
  if (!linear) return linear_to_srgb(texture.hdr);
  auto image = image4b{texture.hdr.width, texture.hdr.height, {}};
  image.pixels.reserve(texture.hdr.pixels.size());
  auto byte = [](float v) { return (uint8_t)std::lround(unit(v) * 255); };
  for (auto& p : texture.hdr.pixels)
    image.pixels.push_back({byte(p.x), byte(p.y), byte(p.z), byte(p.w)});
  return image;
}

float texture_aspect(const scene_texture& texture) {
  auto w = texture.hdr.pixels.empty() ? texture.ldr.width : texture.hdr.width;
  auto h = texture.hdr.pixels.empty() ? texture.ldr.height : texture.hdr.height;
  return (w > 0 && h > 0) ? (float)w / (float)h : 1.0f;
}

bool has_geometry(const scene_shape& shape) {
  return !shape.positions.empty() &&
         (!shape.points.empty() || !shape.lines.empty() || !shape.triangles.empty() ||
          !shape.quads.empty() || !shape.quadspos.empty());
}

bool is_textured(const scene_material* m) {
  return m && (has_pixels(m->color_tex) || has_pixels(m->emission_tex) || has_pixels(m->normal_tex));
}

}  // namespace

bool has_pixels(const scene_texture* texture) {
  return texture && (!texture->hdr.pixels.empty() || !texture->ldr.pixels.empty());
}

// -- materials and images -----------------------------------------------------

int gltf_builder::image_index(const scene_texture& texture, bool linear) {
  auto key = std::make_pair(&texture, linear);
  auto found = image_of.find(key);
  if (found != image_of.end()) return found->second;
  images.push_back({&texture, linear, ""});
  image_of.emplace(key, (int)images.size() - 1);
  return (int)images.size() - 1;
}

void gltf_builder::texture_member(json_text& json, const char* key, const scene_texture& texture,
                                  bool linear) {
  json.key(key);
  json.begin_object(), json.member("index", image_index(texture, linear)), json.end_object();
}

// The material as glTF keeps it; materials that come out the same text are
// one material, named after the first.
int gltf_builder::material_index(const scene_material* record, std::string_view name) {
  auto found = material_of.find(record);
  if (found != material_of.end()) return found->second;
  auto grey = scene_material{};
  grey.color = {0.5f, 0.5f, 0.5f};
  auto& m = record ? *record : grey;
  if (!record) name = "default";

  auto json = json_text{};
  json.begin_object();
  json.key("pbrMetallicRoughness");
  json.begin_object();
  json.key("baseColorFactor");
  json.numbers({unit(m.color.x), unit(m.color.y), unit(m.color.z), unit(m.opacity)});
  if (has_pixels(m.color_tex)) texture_member(json, "baseColorTexture", *m.color_tex, false);
  // A surface without specular or metallic weight is diffuse only: no
  // highlight at all, and the roughest surface where that is unknown.
  auto diffuse = unit(m.specular) == 0 && unit(m.metallic) == 0;
  json.member("metallicFactor", unit(m.metallic));
  json.member("roughnessFactor", diffuse ? 1.0f : unit(m.roughness));
  json.end_object();
  auto emission = std::max({m.emission.x, m.emission.y, m.emission.z});
  if (is_finite(m.emission) && emission > 0) {
    // Factors stop at 1; a brighter emission keeps its colour and moves its
    // strength to the extension made for it.
    auto scale = emission > 1 ? 1 / emission : 1.0f;
    json.key("emissiveFactor");
    json.numbers(
        {unit(m.emission.x * scale), unit(m.emission.y * scale), unit(m.emission.z * scale)});
  }
  if (has_pixels(m.emission_tex)) {
    if (!(is_finite(m.emission) && emission > 0))
      json.key("emissiveFactor"), json.numbers({1, 1, 1});
    texture_member(json, "emissiveTexture", *m.emission_tex, false);
  }
  if (has_pixels(m.normal_tex)) texture_member(json, "normalTexture", *m.normal_tex, true);
  if (unit(m.opacity) < 1) json.member("alphaMode", "BLEND");
  if (m.thin) json.key("doubleSided"), json.boolean(true);
  auto strong = is_finite(m.emission) && emission > 1;
  if (strong || diffuse) {
    json.key("extensions");
    json.begin_object();
    if (strong) {
      extensions.insert("KHR_materials_emissive_strength");
      json.key("KHR_materials_emissive_strength");
      json.begin_object(), json.member("emissiveStrength", emission), json.end_object();
    }
    if (diffuse) {
      extensions.insert("KHR_materials_specular");
      json.key("KHR_materials_specular");
      json.begin_object(), json.member("specularFactor", 0.0f), json.end_object();
    }
    json.end_object();
  }
  json.end_object();

  auto [known, added] = material_by_text.try_emplace(json.out, (int)materials.size());
  if (added) {
    auto named = json_text{};
    named.begin_object(), named.member("name", name), named.end_object();
    invalid = invalid || named.invalid;
    named.out.pop_back();  // the name first, then the members above
    materials.push_back(named.out + "," + json.out.substr(1));
  }
  material_of.emplace(record, known->second);
  return known->second;
}

bool gltf_builder::encode_images(const progress_callback& progress, int total) {
  for (size_t j = 0; j < images.size(); j++) {
    auto& image = images[j];
    auto pixels = texture_pixels(*image.texture, image.linear);
    auto ok = pixels.width > 0 && pixels.height > 0 &&
              pixels.pixels.size() == (size_t)pixels.width * (size_t)pixels.height &&
              pixels.width <= INT32_MAX / 4;
    if (ok) {
      ok = stbi_write_png_to_func(append_to_string, &image.png, pixels.width, pixels.height, 4,
                                  pixels.pixels.data(), pixels.width * 4) != 0;
    }
    if (!ok || image.png.empty()) {
      error = filename + ": error in texture \"" + image.texture->name + "\": cannot encode PNG";
      return false;
    }
    if (progress) progress("save texture", 2 + (int)j, total);
  }
  return true;
}

// -- nodes ----------------------------------------------------------------------

bool gltf_builder::add_node(json_text& json) {
  json.end_object();
  invalid = invalid || json.invalid;
  nodes.pending += node_count++ ? ",\n" : "\n";
  nodes.pending += json.out;
  return nodes.flush(false, error);
}

// Keyed instance `index` of the plan: a node, and the mesh of its shape
// and material (the first time they are shown together).
bool gltf_builder::add_instance(size_t index) {
  auto& instance = plan.instances[index];
  auto frame = keyed_frame(store, plan, index);
  auto name = store_name(store, instance.name);
  if (!is_finite(frame)) {
    error = filename + ": error in instance \"" + std::string{name} +
            "\": the frame is not finite";
    return false;
  }
  auto trs = is_trs(frame);
  auto node = json_text{};
  begin_node(node, name);
  if (instance.shape != json_store_none) {
    // A shape shown once is taken, prepared and written at once; one shown
    // by several instances keeps its geometry for the others.
    auto shared = uses[instance.shape] > 1;
    auto shape = (const scene_shape*)nullptr;
    auto take = [&] {
      if (!shape) shape = export_store_shape(filename, store, plan, instance.shape, scratch, error);
      return shape != nullptr;
    };
    auto m = keyed_material(store, plan, instance);
    auto material_name =
        instance.material != json_store_none ? store_name(store, instance.material) : "";
    auto textured = is_textured(m);
    // What the key needs of the shape is known once it was taken.
    auto& known = shape_facts[instance.shape];
    if (!shared || !(known & fact_known)) {
      if (!take()) return false;
      known = fact_known | (has_geometry(*shape) ? fact_geometry : 0) |
              (shape->texcoords.empty() ? 0 : fact_texcoords);
    }
    if (known & fact_geometry) {
      auto material = material_index(m, material_name);
      auto aspect = 0.0f;
      if (textured && !(known & fact_texcoords)) {
        auto image = has_pixels(m->color_tex)      ? m->color_tex
                     : has_pixels(m->emission_tex) ? m->emission_tex
                                                   : m->normal_tex;
        aspect = texture_aspect(*image);
      }
      auto entry = geometry_entry{};
      auto geometry = -1;
      auto key = std::make_tuple(instance.shape, aspect, trs ? SIZE_MAX : index);
      auto found = shared ? geometry_of.find(key) : geometry_of.end();
      if (found != geometry_of.end()) {
        geometry = found->second;
        entry = kept[(size_t)geometry];
      } else {
        if (!take() || !add_geometry(*shape, aspect, trs ? nullptr : &frame, entry)) return false;
        if (shared) {
          geometry = (int)kept.size();
          kept.push_back(entry);
          geometry_of.emplace(key, geometry);
        }
      }
      if (!entry.empty()) {
        auto mesh = (int)mesh_count;
        auto added = true;
        if (geometry >= 0) {
          auto [at, fresh] = shown_as.try_emplace({geometry, material}, mesh);
          mesh = at->second, added = fresh;
        }
        if (added && !add_mesh(entry, material, textured, store_name(store, store.shapes[instance.shape].name)))
          return false;
        node.member("mesh", mesh);
      }
    }
  }
  if (trs && frame != frame3f{}) append_matrix(node, frame);
  return add_node(node);
}

bool gltf_builder::add_mesh(const geometry_entry& g, int material, bool textured,
                            std::string_view name) {
  auto json = json_text{};
  json.begin_object();
  json.member("name", name);
  json.key("primitives");
  json.begin_array();
  auto primitive = [&](int positions, int indices, int mode, bool surface) {
    json.begin_object();
    json.key("attributes");
    json.begin_object();
    json.member("POSITION", positions);
    if (surface && g.normals >= 0) json.member("NORMAL", g.normals);
    if (surface && textured && g.texcoords >= 0) json.member("TEXCOORD_0", g.texcoords);
    if (surface && g.colors >= 0) json.member("COLOR_0", g.colors);
    json.end_object();
    json.member("indices", indices);
    json.member("material", material);
    if (mode != mode_triangles) json.member("mode", mode);
    json.end_object();
  };
  if (g.faces >= 0) primitive(g.positions, g.faces, mode_triangles, true);
  if (g.lines >= 0) primitive(g.line_positions, g.lines, mode_lines, false);
  if (g.points >= 0) primitive(g.line_positions, g.points, mode_points, false);
  json.end_array();
  json.end_object();
  invalid = invalid || json.invalid;
  meshes.pending += mesh_count++ ? ",\n" : "\n";
  meshes.pending += json.out;
  return meshes.flush(false, error);
}

void gltf_builder::add_camera(const scene_camera& camera) {
  auto fresh = scene_camera{};
  auto aspect = camera.aspect > 0 && std::isfinite(camera.aspect) ? camera.aspect : fresh.aspect;
  auto film = camera.film > 0 && std::isfinite(camera.film) ? camera.film : fresh.film;
  auto lens = camera.lens > 0 && std::isfinite(camera.lens) ? camera.lens : fresh.lens;
  auto json = json_text{};
  json.begin_object();
  json.member("name", camera.name);
  if (camera.ortho) {
    // The view's extent at the focus distance; everything of the scene lies
    // within reach of the far plane.
    auto focus = camera.focus > 0 && std::isfinite(camera.focus) ? camera.focus : fresh.focus;
    auto& bounds = plan.bounds;
    auto reach = length(bbox_size(bounds)) + length(bbox_center(bounds) - camera.frame.o);
    json.member("type", "orthographic");
    json.key("orthographic");
    json.begin_object();
    auto half = film / 2 * focus / lens;
    json.member("xmag", half), json.member("ymag", half / aspect);
    json.member("znear", 0.0f);
    json.member("zfar", std::isfinite(reach) && reach > 0 ? 2 * reach : 1000.0f);
    json.end_object();
  } else {
    // Film is the width of the image; its height sets the vertical field.
    json.member("type", "perspective");
    json.key("perspective");
    json.begin_object();
    json.member("aspectRatio", aspect);
    json.member("yfov", 2 * std::atan(film / aspect / (2 * lens)));
    json.member("znear", 0.01f);
    json.end_object();
  }
  json.end_object();
  invalid = invalid || json.invalid;
  cameras.push_back(json.out);
  auto node = json_text{};
  begin_node(node, camera.name);
  node.member("camera", (int)cameras.size() - 1);
  append_matrix(node, orthonormal(is_finite(camera.frame) ? camera.frame : frame3f{}));
  add_node(node);
}

void gltf_builder::add_sun(const scene_environment& environment) {
  auto direction = vec3f{};
  if (!environment_sun_direction(environment, direction)) return;
  // White sunlight as strong as the environment's emission.
  auto strength =
      std::max({environment.emission.x, environment.emission.y, environment.emission.z});
  auto json = json_text{};
  json.begin_object();
  json.member("name", environment.name);
  json.member("type", "directional");
  json.member("intensity", std::isfinite(strength) && strength > 0 ? strength : 1.0f);
  json.end_object();
  invalid = invalid || json.invalid;
  lights.push_back(json.out);
  extensions.insert("KHR_lights_punctual");
  // The light shines down the node's -z: its z axis points at the sun.
  auto up = std::abs(direction.y) < 0.9f ? vec3f{0, 1, 0} : vec3f{1, 0, 0};
  auto x = normalize(cross(up, direction));
  auto node = json_text{};
  begin_node(node, environment.name);
  append_matrix(node, frame3f{x, cross(direction, x), direction, {0, 0, 0}});
  node.key("extensions");
  node.begin_object();
  node.key("KHR_lights_punctual");
  node.begin_object(), node.member("light", (int)lights.size() - 1), node.end_object();
  node.end_object();
  add_node(node);
}

}  // namespace gltf_writing
