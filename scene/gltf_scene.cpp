#include "scene/gltf_scene.h"

#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>
#include <unordered_map>

#include "scene/export_scene.h"
#include "scene/image.h"
#include "scene/scene_files.h"
#include "scene/shape.h"
#include "support/files.h"
#include "support/format.h"

namespace {

const int array_buffer = 34962, element_array_buffer = 34963;
const int unsigned_byte = 5121, unsigned_short = 5123, unsigned_int = 5125, float_type = 5126;
const int mode_points = 0, mode_lines = 1, mode_triangles = 4;

float dot(const vec3f& a, const vec3f& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
vec3f cross(const vec3f& a, const vec3f& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float length(const vec3f& a) { return std::sqrt(dot(a, a)); }
vec3f normalize(const vec3f& a) {
  auto l = length(a);
  return l > 0 ? a * (1 / l) : a;
}
bool is_finite(const vec3f& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}
bool is_finite(const frame3f& f) {
  return is_finite(f.x) && is_finite(f.y) && is_finite(f.z) && is_finite(f.o);
}
// A factor of the material model: glTF wants it within 0 ... 1.
float unit(float v) { return std::isfinite(v) ? std::min(std::max(v, 0.0f), 1.0f) : 0.0f; }

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

// ---------------------------------------------------------------------------
// The document, written as text while it is built: a city holds hundreds of
// thousands of nodes and accessors, too many for a tree of JSON values.

struct json_text {
  std::string       out       = "";
  std::vector<bool> first     = {};  // per open container: nothing in it yet
  bool              after_key = false;

  void separate() {
    if (after_key) {
      after_key = false;
    } else if (!first.empty()) {
      if (!first.back()) out += ',';
      first.back() = false;
    }
  }
  void open(char c) { separate(), out += c, first.push_back(true); }
  void close(char c) { out += c, first.pop_back(); }
  // The next item of a list on a line of its own.
  void next_line() { separate(), out += '\n', after_key = true; }
  // A value written already, such as an object of an earlier json_text.
  void raw(const std::string& text) { separate(), out += text; }
  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void key(const char* name) {
    separate();
    out += '"', out += name, out += "\":";
    after_key = true;
  }
  void number(float value) {
    separate();
    append_float(out, std::isfinite(value) ? value : 0.0f);
  }
  void integer(long long value) { separate(), append_int(out, value); }
  void boolean(bool value) { separate(), out += value ? "true" : "false"; }
  // Plain names go as they are; others through the JSON library, which
  // escapes them and refuses invalid UTF-8 (an exception the writer's guard
  // turns into an error).
  void string(const std::string& text) {
    separate();
    auto plain = std::all_of(text.begin(), text.end(), [](char c) {
      return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    });
    if (plain) {
      out += '"', out += text, out += '"';
    } else {
      out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    }
  }
  void numbers(std::initializer_list<float> values) {
    begin_array();
    for (auto v : values) number(v);
    end_array();
  }
  void member(const char* name, float value) { key(name), number(value); }
  void member(const char* name, long long value) { key(name), integer(value); }
  void member(const char* name, int value) { key(name), integer(value); }
  void member(const char* name, size_t value) { key(name), integer((long long)value); }
  void member(const char* name, const char* text) { key(name), string(text); }
  void member(const char* name, const std::string& text) { key(name), string(text); }
};

void append_matrix(json_text& json, const frame3f& f) {
  json.key("matrix");
  json.numbers({f.x.x, f.x.y, f.x.z, 0, f.y.x, f.y.y, f.y.z, 0, f.z.x, f.z.y, f.z.z, 0, f.o.x,
                f.o.y, f.o.z, 1});
}

// URIs of the files beside a ".gltf": everything but unreserved characters
// and "/" is percent-encoded, so names with spaces or non-ASCII letters work.
std::string uri_of(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  auto uri = std::string{};
  for (auto c : path) {
    auto u = (unsigned char)c;
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      uri += c;
    } else {
      uri += '%', uri += hex[u >> 4], uri += hex[u & 15];
    }
  }
  return uri;
}

// ---------------------------------------------------------------------------
// Binary data: one buffer view per kind of data, so that every accessor of a
// kind shares it (a view per accessor would double the document of a city).

enum view_kind { positions_view, normals_view, texcoords_view, colors_view, index8_view,
                 index16_view, index32_view, view_kinds };
const int view_strides[view_kinds] = {12, 12, 8, 16, 0, 0, 0};

struct accessor_entry {
  view_kind   view       = positions_view;
  size_t      offset     = 0;
  int         component  = float_type;
  size_t      count      = 0;
  const char* type       = "VEC3";
  bool        has_bounds = false;
  vec3f       min = {}, max = {};
};

// The accessors of one shape as it is shown: its faces, lines and points
// over its vertex arrays. Faces of face-varying or façade-textured shapes
// have vertices of their own; lines and points keep the shape's.
struct geometry_entry {
  int positions = -1, normals = -1, texcoords = -1, colors = -1;
  int faces = -1, lines = -1, points = -1;
  int line_positions = -1;
  bool empty() const { return faces < 0 && lines < 0 && points < 0; }
};

struct mesh_entry {
  int                geometry = 0;
  int                material = 0;
  bool               textured = false;
  const std::string* name     = nullptr;
};

struct node_entry {
  const std::string* name   = nullptr;
  int                mesh   = -1;
  int                camera = -1;
  int                light  = -1;
  bool               matrix = false;
  frame3f            frame  = {};
};

struct image_entry {
  const scene_texture* texture = nullptr;
  bool                 linear  = false;  // normal maps keep their values
  std::string          png     = "";
};

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

bool has_pixels(const scene_texture* texture) {
  return texture && (!texture->hdr.pixels.empty() || !texture->ldr.pixels.empty());
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

struct gltf_builder {
  const std::string& filename;
  const scene_data&  scene;
  std::string&       error;

  std::string                 views[view_kinds] = {};
  std::vector<accessor_entry> accessors         = {};
  std::vector<geometry_entry> geometries        = {};
  std::vector<mesh_entry>     meshes            = {};
  std::vector<std::string>    materials         = {};  // each a JSON object
  std::vector<image_entry>    images            = {};
  std::vector<node_entry>     nodes             = {};
  std::vector<std::string>    cameras           = {};
  std::vector<std::string>    lights            = {};
  std::set<std::string>       extensions        = {};

  std::map<std::tuple<const scene_shape*, float, const scene_instance*>, int> geometry_of = {};
  std::map<std::pair<int, int>, int>                    shown_as    = {};
  std::unordered_map<const scene_material*, int>        material_of = {};
  std::unordered_map<std::string, int>                  material_by_text = {};
  std::map<std::pair<const scene_texture*, bool>, int> image_of    = {};
  // Materials as the JSON scene file keys them, by name.
  std::vector<scene_material>                          merged      = {};
  std::unordered_map<std::string, const scene_material*> merged_of = {};

  gltf_builder(const std::string& filename, const scene_data& scene, std::string& error)
      : filename(filename), scene(scene), error(error), merged(materials_by_name(scene)) {
    for (auto& material : merged) merged_of.emplace(material.name, &material);
  }

  // -- accessors ------------------------------------------------------------

  template <typename T>
  int add_vertices(view_kind view, const std::vector<T>& values, const char* type) {
    auto& bytes = views[view];
    auto entry = accessor_entry{view, bytes.size(), float_type, values.size(), type};
    bytes.append((const char*)values.data(), values.size() * sizeof(T));
    accessors.push_back(entry);
    return (int)accessors.size() - 1;
  }

  int add_positions(const std::vector<vec3f>& positions) {
    auto index = add_vertices(positions_view, positions, "VEC3");
    auto& entry = accessors[(size_t)index];
    entry.has_bounds = true;
    entry.min = entry.max = positions.front();
    for (auto& p : positions) {
      entry.min = {std::min(entry.min.x, p.x), std::min(entry.min.y, p.y),
                   std::min(entry.min.z, p.z)};
      entry.max = {std::max(entry.max.x, p.x), std::max(entry.max.y, p.y),
                   std::max(entry.max.z, p.z)};
    }
    return index;
  }

  // Indices in the smallest type that holds the largest; the largest value
  // of each type is left out, as readers take it for a primitive restart.
  int add_indices(const int* indices, size_t count) {
    auto largest = 0;
    for (size_t i = 0; i < count; i++) largest = std::max(largest, indices[i]);
    auto view = largest < 255 ? index8_view : largest < 65535 ? index16_view : index32_view;
    auto size = view == index8_view ? 1 : view == index16_view ? 2 : 4;
    auto& bytes = views[view];
    auto entry = accessor_entry{view, bytes.size(),
                                view == index8_view    ? unsigned_byte
                                : view == index16_view ? unsigned_short
                                                       : unsigned_int,
                                count, "SCALAR"};
    bytes.resize(bytes.size() + count * (size_t)size);
    auto out = bytes.data() + entry.offset;
    for (size_t i = 0; i < count; i++) {
      auto value = (uint32_t)indices[i];
      if (size == 1) out[i] = (char)(uint8_t)value;
      else if (size == 2) std::memcpy(out + 2 * i, &value, 2);  // little-endian hosts
      else std::memcpy(out + 4 * i, &value, 4);
    }
    accessors.push_back(entry);
    return (int)accessors.size() - 1;
  }

  // -- geometry -------------------------------------------------------------

  // The accessors of a shape; `aspect` > 0 asks for façade texture
  // coordinates, `bake` places the shape in the world when its instance's
  // frame cannot be a node matrix.
  bool add_geometry(const scene_shape& shape, float aspect, const frame3f* bake, int& result) {
    if (!has_valid_indices(shape)) {
      error = filename + ": error in shape \"" + shape.name + "\": index out of range";
      return false;
    }
    for (auto& p : shape.positions) {
      if (!is_finite(p)) {
        error = filename + ": error in shape \"" + shape.name + "\": a position is not finite";
        return false;
      }
    }
    auto entry = geometry_entry{};
    auto count = shape.positions.size();
    auto placed_positions = [&](const std::vector<vec3f>& positions) {
      if (!bake) return add_positions(positions);
      auto placed = positions;
      for (auto& p : placed) p = transform_point(*bake, p);
      return add_positions(placed);
    };
    // Normals turn with the inverse transpose of the frame and must be of
    // unit length; a zero normal points up.
    auto turn = [&](std::vector<vec3f> normals) {
      for (auto& n : normals) {
        if (bake) {
          auto& f = *bake;
          auto det = dot(f.x, cross(f.y, f.z));
          n = (cross(f.y, f.z) * n.x + cross(f.z, f.x) * n.y + cross(f.x, f.y) * n.z) *
              (det < 0 ? -1.0f : 1.0f);
        }
        n = is_finite(n) && length(n) > 0 ? normalize(n) : vec3f{0, 1, 0};
      }
      return normals;
    };
    auto clamp_colors = [](std::vector<vec4f> colors) {
      for (auto& c : colors) c = {unit(c.x), unit(c.y), unit(c.z), unit(c.w)};
      return colors;
    };
    auto add_shape_vertices = [&](geometry_entry& g) {
      g.positions = placed_positions(shape.positions);
      if (shape.normals.size() == count)
        g.normals = add_vertices(normals_view, turn(shape.normals), "VEC3");
      if (shape.texcoords.size() == count)
        g.texcoords = add_vertices(texcoords_view, shape.texcoords, "VEC2");
      if (shape.colors.size() == count)
        g.colors = add_vertices(colors_view, clamp_colors(shape.colors), "VEC4");
    };

    auto faces = std::vector<vec3i>{};
    auto own_vertices = false;
    if (aspect > 0 && shape.texcoords.empty()) {
      auto mesh = make_facade_texcoords(shape, aspect);
      if (!mesh.triangles.empty()) {
        entry.positions = placed_positions(mesh.positions);
        entry.texcoords = add_vertices(texcoords_view, mesh.texcoords, "VEC2");
        faces = std::move(mesh.triangles);
        own_vertices = true;
      }
    } else if (!shape.quadspos.empty()) {
      auto quads = std::vector<vec4i>{};
      auto positions = std::vector<vec3f>{};
      auto normals = std::vector<vec3f>{};
      auto texcoords = std::vector<vec2f>{};
      if (!make_indexed_quads(shape.quadspos, shape.quadsnorm, shape.quadstexcoord,
                              shape.positions, shape.normals, shape.texcoords, quads, positions,
                              normals, texcoords)) {
        error = filename + ": error in shape \"" + shape.name + "\": index out of range";
        return false;
      }
      entry.positions = placed_positions(positions);
      if (!normals.empty()) entry.normals = add_vertices(normals_view, turn(normals), "VEC3");
      if (!texcoords.empty()) entry.texcoords = add_vertices(texcoords_view, texcoords, "VEC2");
      faces = quads_to_triangles({}, quads);
      own_vertices = true;
    } else {
      faces = quads_to_triangles(shape.triangles, shape.quads);
    }
    if (!own_vertices) add_shape_vertices(entry);
    if (!faces.empty()) entry.faces = add_indices(&faces.front().x, 3 * faces.size());

    if (!shape.lines.empty() || !shape.points.empty()) {
      if (own_vertices) {
        entry.line_positions = placed_positions(shape.positions);
      } else {
        entry.line_positions = entry.positions;
      }
    }
    if (!shape.lines.empty())
      entry.lines = add_indices(&shape.lines.front().x, 2 * shape.lines.size());
    if (!shape.points.empty()) entry.points = add_indices(shape.points.data(), shape.points.size());
    geometries.push_back(entry);
    result = (int)geometries.size() - 1;
    return true;
  }

  // -- materials and images -------------------------------------------------

  int image_index(const scene_texture& texture, bool linear) {
    auto key = std::make_pair(&texture, linear);
    auto found = image_of.find(key);
    if (found != image_of.end()) return found->second;
    images.push_back({&texture, linear, ""});
    image_of.emplace(key, (int)images.size() - 1);
    return (int)images.size() - 1;
  }

  void texture_member(json_text& json, const char* key, const scene_texture& texture,
                      bool linear) {
    json.key(key);
    json.begin_object(), json.member("index", image_index(texture, linear)), json.end_object();
  }

  // The material as glTF keeps it; materials that come out the same text
  // are one material, named after the first.
  int material_index(const scene_material* record) {
    auto found = material_of.find(record);
    if (found != material_of.end()) return found->second;
    auto grey = scene_material{};
    grey.name = "default";
    grey.color = {0.5f, 0.5f, 0.5f};
    auto& m = record ? *record : grey;

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
      // Factors stop at 1; a brighter emission keeps its colour and moves
      // its strength to the extension made for it.
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
      named.begin_object(), named.member("name", m.name), named.end_object();
      named.out.pop_back();  // the name first, then the members above
      materials.push_back(named.out + "," + json.out.substr(1));
    }
    material_of.emplace(record, known->second);
    return known->second;
  }

  static bool is_textured(const scene_material* m) {
    return m &&
           (has_pixels(m->color_tex) || has_pixels(m->emission_tex) || has_pixels(m->normal_tex));
  }

  // -- scene ----------------------------------------------------------------

  bool add_instance(const scene_instance& instance) {
    auto node = node_entry{&instance.name};
    if (!is_finite(instance.frame)) {
      error = filename + ": error in instance \"" + instance.name + "\": the frame is not finite";
      return false;
    }
    auto trs = is_trs(instance.frame);
    node.matrix = trs && instance.frame != frame3f{};
    node.frame = instance.frame;
    auto shape = instance.shape;
    if (shape && has_geometry(*shape)) {
      auto m = instance.material ? merged_of.at(instance.material->name) : nullptr;
      auto material = material_index(m);
      auto textured = is_textured(m);
      auto aspect = 0.0f;
      if (textured && shape->texcoords.empty()) {
        auto image = has_pixels(m->color_tex) ? m->color_tex
                     : has_pixels(m->emission_tex) ? m->emission_tex : m->normal_tex;
        aspect = texture_aspect(*image);
      }
      auto key = std::make_tuple(shape, aspect, trs ? nullptr : &instance);
      auto found = geometry_of.find(key);
      if (found == geometry_of.end()) {
        auto geometry = 0;
        if (!add_geometry(*shape, aspect, trs ? nullptr : &instance.frame, geometry)) return false;
        found = geometry_of.emplace(key, geometry).first;
      }
      auto geometry = found->second;
      if (!geometries[(size_t)geometry].empty()) {
        auto [mesh, added] = shown_as.try_emplace({geometry, material}, (int)meshes.size());
        if (added) meshes.push_back({geometry, material, textured, &shape->name});
        node.mesh = mesh->second;
      }
    }
    nodes.push_back(node);
    return true;
  }

  void add_camera(const scene_camera& camera) {
    auto fresh = scene_camera{};
    auto aspect = camera.aspect > 0 && std::isfinite(camera.aspect) ? camera.aspect : fresh.aspect;
    auto film = camera.film > 0 && std::isfinite(camera.film) ? camera.film : fresh.film;
    auto lens = camera.lens > 0 && std::isfinite(camera.lens) ? camera.lens : fresh.lens;
    auto json = json_text{};
    json.begin_object();
    json.member("name", camera.name);
    if (camera.ortho) {
      // The view's extent at the focus distance; everything of the scene
      // lies within reach of the far plane.
      auto focus = camera.focus > 0 && std::isfinite(camera.focus) ? camera.focus : fresh.focus;
      auto bounds = compute_scene_bounds(scene);
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
    cameras.push_back(json.out);
    auto node = node_entry{&camera.name};
    node.camera = (int)cameras.size() - 1;
    node.matrix = true;
    node.frame = orthonormal(is_finite(camera.frame) ? camera.frame : frame3f{});
    nodes.push_back(node);
  }

  void add_sun(const scene_environment& environment) {
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
    lights.push_back(json.out);
    extensions.insert("KHR_lights_punctual");
    // The light shines down the node's -z: its z axis points at the sun.
    auto node = node_entry{&environment.name};
    node.light = (int)lights.size() - 1;
    node.matrix = true;
    auto up = std::abs(direction.y) < 0.9f ? vec3f{0, 1, 0} : vec3f{1, 0, 0};
    auto x = normalize(cross(up, direction));
    node.frame = {x, cross(direction, x), direction, {0, 0, 0}};
    nodes.push_back(node);
  }

  bool encode_images(const progress_callback& progress, int total) {
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

  // -- the document ---------------------------------------------------------

  int views_used() const {
    auto count = 0;
    for (auto& view : views) count += view.empty() ? 0 : 1;
    return count;
  }

  // The buffer: the views that hold data, each at a multiple of 4 bytes,
  // then the images when they go into the buffer too.
  int                 view_index[view_kinds] = {};
  size_t              view_offset[view_kinds] = {};
  std::vector<size_t> image_offset            = {};
  size_t              buffer_length           = 0;

  void lay_out_buffer(bool with_images) {
    auto aligned = [](size_t n) { return (n + 3) / 4 * 4; };
    auto offset = size_t{0}, count = size_t{0};
    for (int v = 0; v < view_kinds; v++) {
      view_index[v] = views[v].empty() ? -1 : (int)count++;
      view_offset[v] = offset;
      offset += aligned(views[v].size());
    }
    image_offset.clear();
    for (auto& image : images) {
      image_offset.push_back(offset);
      if (with_images) offset += aligned(image.png.size());
    }
    buffer_length = offset;
  }

  // Appends the buffer, freeing the views on the way.
  void append_buffer(std::string& out, bool with_images) {
    auto start = out.size();
    for (int v = 0; v < view_kinds; v++) {
      out.resize(start + view_offset[v], '\0');
      out += views[v];
      std::string().swap(views[v]);
    }
    for (size_t j = 0; with_images && j < images.size(); j++) {
      out.resize(start + image_offset[j], '\0');
      out += images[j].png;
    }
    out.resize(start + buffer_length, '\0');
  }

  std::string document(const std::string& buffer_uri, const std::vector<std::string>& image_uris) {

    auto json = json_text{};
    json.out.reserve(256 + 160 * accessors.size() + 96 * nodes.size() + 64 * meshes.size());
    json.begin_object();
    json.key("asset");
    json.begin_object();
    json.member("generator", scene_generator_name);
    json.member("version", "2.0");
    if (!scene.copyright.empty()) json.member("copyright", scene.copyright);
    json.end_object();
    if (!extensions.empty()) {
      json.key("extensionsUsed");
      json.begin_array();
      for (auto& name : extensions) json.string(name);
      json.end_array();
    }
    if (!lights.empty()) {
      json.key("extensions");
      json.begin_object();
      json.key("KHR_lights_punctual");
      json.begin_object();
      json.key("lights");
      json.begin_array();
      for (auto& light : lights) json.raw(light);
      json.end_array();
      json.end_object();
      json.end_object();
    }

    json.member("scene", 0);
    json.key("scenes");
    json.begin_array();
    json.begin_object();
    if (!nodes.empty()) {
      json.key("nodes");
      json.begin_array();
      for (size_t i = 0; i < nodes.size(); i++) json.integer((long long)i);
      json.end_array();
    }
    auto extras = scene_extras_json(scene);
    if (!extras.empty()) json.key("extras"), json.raw(extras);
    json.end_object();
    json.end_array();

    if (!nodes.empty()) {
      json.key("nodes");
      json.begin_array();
      for (auto& node : nodes) {
        json.next_line();
        json.begin_object();
        json.member("name", *node.name);
        if (node.mesh >= 0) json.member("mesh", node.mesh);
        if (node.camera >= 0) json.member("camera", node.camera);
        if (node.matrix) append_matrix(json, node.frame);
        if (node.light >= 0) {
          json.key("extensions");
          json.begin_object();
          json.key("KHR_lights_punctual");
          json.begin_object(), json.member("light", node.light), json.end_object();
          json.end_object();
        }
        json.end_object();
      }
      json.end_array();
    }
    auto list = [&](const char* name, const std::vector<std::string>& items) {
      if (items.empty()) return;
      json.key(name);
      json.begin_array();
      for (auto& item : items) json.next_line(), json.raw(item);
      json.end_array();
    };
    list("cameras", cameras);

    if (!meshes.empty()) {
      json.key("meshes");
      json.begin_array();
      for (auto& mesh : meshes) {
        auto& g = geometries[(size_t)mesh.geometry];
        json.next_line();
        json.begin_object();
        json.member("name", *mesh.name);
        json.key("primitives");
        json.begin_array();
        auto primitive = [&](int positions, int indices, int mode, bool surface) {
          json.begin_object();
          json.key("attributes");
          json.begin_object();
          json.member("POSITION", positions);
          if (surface && g.normals >= 0) json.member("NORMAL", g.normals);
          if (surface && mesh.textured && g.texcoords >= 0) json.member("TEXCOORD_0", g.texcoords);
          if (surface && g.colors >= 0) json.member("COLOR_0", g.colors);
          json.end_object();
          json.member("indices", indices);
          json.member("material", mesh.material);
          if (mode != mode_triangles) json.member("mode", mode);
          json.end_object();
        };
        if (g.faces >= 0) primitive(g.positions, g.faces, mode_triangles, true);
        if (g.lines >= 0) primitive(g.line_positions, g.lines, mode_lines, false);
        if (g.points >= 0) primitive(g.line_positions, g.points, mode_points, false);
        json.end_array();
        json.end_object();
      }
      json.end_array();
    }
    list("materials", materials);

    if (!images.empty()) {
      json.key("samplers");
      json.begin_array();
      json.begin_object();
      json.member("magFilter", 9729);  // linear
      json.member("minFilter", 9987);  // linear, mipmaps linear
      json.end_object();
      json.end_array();
      json.key("textures");
      json.begin_array();
      for (size_t j = 0; j < images.size(); j++) {
        json.begin_object(), json.member("sampler", 0), json.member("source", j), json.end_object();
      }
      json.end_array();
      json.key("images");
      json.begin_array();
      for (size_t j = 0; j < images.size(); j++) {
        json.begin_object();
        json.member("name", images[j].texture->name);
        if (image_uris.empty()) {
          json.member("bufferView", (size_t)views_used() + j);
          json.member("mimeType", "image/png");
        } else {
          json.member("uri", image_uris[j]);
        }
        json.end_object();
      }
      json.end_array();
    }

    if (!accessors.empty()) {
      json.key("accessors");
      json.begin_array();
      for (auto& a : accessors) {
        json.next_line();
        json.begin_object();
        json.member("bufferView", view_index[a.view]);
        if (a.offset) json.member("byteOffset", a.offset);
        json.member("componentType", a.component);
        json.member("count", a.count);
        json.member("type", a.type);
        if (a.has_bounds) {
          json.key("min"), json.numbers({a.min.x, a.min.y, a.min.z});
          json.key("max"), json.numbers({a.max.x, a.max.y, a.max.z});
        }
        json.end_object();
      }
      json.end_array();
    }

    if (buffer_length > 0) {
      json.key("bufferViews");
      json.begin_array();
      for (int v = 0; v < view_kinds; v++) {
        if (view_index[v] < 0) continue;
        json.begin_object();
        json.member("buffer", 0);
        json.member("byteOffset", view_offset[v]);
        json.member("byteLength", views[v].size());
        if (view_strides[v]) json.member("byteStride", view_strides[v]);
        json.member("target", v <= colors_view ? array_buffer : element_array_buffer);
        json.end_object();
      }
      if (image_uris.empty()) {
        for (size_t j = 0; j < images.size(); j++) {
          json.begin_object();
          json.member("buffer", 0);
          json.member("byteOffset", image_offset[j]);
          json.member("byteLength", images[j].png.size());
          json.end_object();
        }
      }
      json.end_array();
      json.key("buffers");
      json.begin_array();
      json.begin_object();
      json.member("byteLength", buffer_length);
      if (!buffer_uri.empty()) json.member("uri", buffer_uri);
      json.end_object();
      json.end_array();
    }
    json.end_object();
    json.out += '\n';
    return json.out;
  }
};

}  // namespace

bool environment_sun_direction(const scene_environment& environment, vec3f& direction) {
  auto texture = environment.emission_tex;
  if (!has_pixels(texture)) return false;
  auto hdr = !texture->hdr.pixels.empty();
  auto width = hdr ? texture->hdr.width : texture->ldr.width;
  auto height = hdr ? texture->hdr.height : texture->ldr.height;
  auto count = hdr ? texture->hdr.pixels.size() : texture->ldr.pixels.size();
  if (width <= 0 || height <= 0 || count != (size_t)width * (size_t)height) return false;
  // The brightest pixel, by luminance.
  auto best = size_t{0};
  auto brightest = -1.0f;
  for (size_t i = 0; i < count; i++) {
    auto p = hdr ? texture->hdr.pixels[i] : srgb_to_linear(texture->ldr.pixels[i]);
    auto luminance = 0.2126f * p.x + 0.7152f * p.y + 0.0722f * p.z;
    if (std::isfinite(luminance) && luminance > brightest) brightest = luminance, best = i;
  }
  if (brightest < 0) return false;
  const auto pi = 3.14159265358979f;
  auto theta = ((float)(best / (size_t)width) + 0.5f) / (float)height * pi;
  auto phi = ((float)(best % (size_t)width) + 0.5f) / (float)width * 2 * pi;
  auto       local =
      vec3f{std::cos(phi) * std::sin(theta), std::cos(theta), std::sin(phi) * std::sin(theta)};
  auto& f = environment.frame;
  direction = normalize(f.x * local.x + f.y * local.y + f.z * local.z);
  return is_finite(direction) && length(direction) > 0;
}

static bool save_gltf_files(const std::string& filename, const scene_data& scene,
                            std::string& error, const progress_callback& progress) {
  auto binary = has_extension(filename, ".glb");
  auto builder = gltf_builder{filename, scene, error};

  // Images are counted once the materials are known: a first pass over the
  // instances lays out everything but the pixels.
  // Records as the JSON scene file keys them, so that a scene and the scene
  // read back from its JSON file give the same file.
  if (progress) progress("save scene", 0, 2);
  for (auto camera : records_by_name(scene.cameras)) builder.add_camera(*camera);
  // The nodes keep pointers to the names of these records.
  auto instances = instances_by_name(scene);
  for (auto& instance : instances)
    if (!builder.add_instance(instance)) return false;
  for (auto environment : records_by_name(scene.environments))
    if (environment->emission != vec3f{0, 0, 0}) builder.add_sun(*environment);
  auto total = 2 + (int)builder.images.size();
  if (progress) progress("save scene", 1, total);
  if (!builder.encode_images(progress, total)) return false;

  auto dirname = path_dirname(filename);
  auto basename = filename.substr(dirname.empty() ? 0 : dirname.size() + 1);
  auto stem = basename.substr(0, basename.size() - path_extension(basename).size());
  auto image_files = std::vector<std::string>{}, image_uris = std::vector<std::string>{};
  if (!binary) {
    for (auto& image : builder.images) {
      if (!check_file_name(filename, "texture", image.texture->name, error)) return false;
      auto file = "textures/" + image.texture->name + (image.linear ? ".data.png" : ".png");
      image_files.push_back(path_join(dirname, file));
      image_uris.push_back(uri_of(file));
    }
  }
  builder.lay_out_buffer(binary);
  auto buffer_length = builder.buffer_length;
  auto text = builder.document(binary ? "" : uri_of(stem + ".bin"), image_uris);

  if (binary) {
    // Header, the JSON chunk padded with spaces, the binary chunk (whose
    // parts all end at multiples of 4 bytes).
    while (text.size() % 4) text += ' ';
    auto total_length = (uint64_t)12 + 8 + text.size() + (buffer_length ? 8 + buffer_length : 0);
    if (total_length > UINT32_MAX) {
      error = filename + ": too large for a GLB file (4 GiB); a .gltf file can hold it";
      return false;
    }
    auto file = std::string{};
    file.reserve((size_t)total_length);
    auto word = [&](uint32_t value) { file.append((const char*)&value, 4); };
    file += "glTF", word(2), word((uint32_t)total_length);
    word((uint32_t)text.size()), file += "JSON", file += text;
    std::string().swap(text);
    if (buffer_length) {
      word((uint32_t)buffer_length), file.append("BIN\0", 4);
      builder.append_buffer(file, true);
    }
    if (!save_file(filename, file, error)) return false;
  } else {
    // The document appears under its name only once its buffer and images
    // are written.
    auto document = pending_scene_file{};
    if (!write_scene_file(document, filename, text, error)) return false;
    auto inner = std::string{};
    if (buffer_length) {
      auto bin = std::string{};
      bin.reserve(buffer_length);
      builder.append_buffer(bin, false);
      if (!save_file(path_join(dirname, stem + ".bin"), bin, inner)) {
        error = filename + ": error in " + inner;
        return false;
      }
    }
    if (!image_files.empty() && !make_directory(path_join(dirname, "textures"), inner)) {
      error = filename + ": error in " + inner;
      return false;
    }
    for (size_t j = 0; j < image_files.size(); j++) {
      if (!save_file(image_files[j], builder.images[j].png, inner)) {
        error = filename + ": error in " + inner;
        return false;
      }
    }
    if (!publish_scene_file(document, error)) return false;
  }
  if (progress) progress("save done", total, total);
  return true;
}

bool save_gltf_scene(const std::string& filename, const scene_data& scene, std::string& error,
                     const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] {
    try {
      return save_gltf_files(filename, scene, error, progress);
    } catch (const nlohmann::json::exception&) {
      error = filename + ": invalid UTF-8 in a record name or the copyright";
      return false;
    }
  });
}
