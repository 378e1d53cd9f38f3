#include "scene/scene_files.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "scene/json_scene.h"
#include "scene/obj_scene.h"
#include "scene/pbrt_scene.h"
#include "scene/shape_io.h"
#include "support/files.h"

// ---------------------------------------------------------------------------
// Dispatch

// The single-shape format keeps only the geometry of the first shape.
static bool save_first_shape(const std::string& filename, const scene_data& scene,
                             std::string& error, const progress_callback& progress) {
  if (scene.shapes.empty()) {
    error = filename + ": empty shape";
    return false;
  }
  if (progress) progress("save scene", 0, 1);
  if (!save_shape(filename, *scene.shapes.front(), error, true)) return false;
  if (progress) progress("save done", 1, 1);
  return true;
}

bool save_scene(const std::string& filename, const scene_data& scene, std::string& error,
                const progress_callback& progress) {
  // Exactly the lower- or upper-case form; ".Json" is no known format.
  auto ext = path_extension(filename);
  if (ext == ".json" || ext == ".JSON") return save_json_scene(filename, scene, error, progress);
  if (ext == ".obj" || ext == ".OBJ") return save_obj_scene(filename, scene, error, progress);
  if (ext == ".pbrt" || ext == ".PBRT") return save_pbrt_scene(filename, scene, error, progress);
  if (ext == ".ply" || ext == ".PLY") return save_first_shape(filename, scene, error, progress);
  error = filename + ": unknown format";
  return false;
}

// ---------------------------------------------------------------------------
// Statistics

// Values are right-aligned in 13 columns; longer values are kept whole.
static std::string pad_value(const std::string& text) {
  return text.size() >= 13 ? text : std::string(13 - text.size(), ' ') + text;
}

static std::string format_count(long long count) { return pad_value(std::to_string(count)); }

static std::string format_vector(const vec3f& v) {
  // "%f" of the largest float takes 46 characters; three of them fit.
  char buffer[256];
  std::snprintf(buffer, sizeof(buffer), "%f %f %f", (double)v.x, (double)v.y, (double)v.z);
  return pad_value(buffer);
}

std::vector<std::string> format_scene_stats(const scene_data& scene) {
  long long points = 0, lines = 0, triangles = 0, quads = 0, fvquads = 0;
  for (auto& shape : scene.shapes) {
    points += (long long)shape->points.size();
    lines += (long long)shape->lines.size();
    triangles += (long long)shape->triangles.size();
    quads += (long long)shape->quads.size();
    fvquads += (long long)shape->quadspos.size();
  }
  long long texels4b = 0, texels4f = 0;
  for (auto& texture : scene.textures) {
    texels4b += (long long)texture->ldr.width * texture->ldr.height;
    texels4f += (long long)texture->hdr.width * texture->hdr.height;
  }
  auto bounds = compute_scene_bounds(scene);

  auto lines_out = std::vector<std::string>{};
  lines_out.push_back("cameras:      " + format_count((long long)scene.cameras.size()));
  lines_out.push_back("shapes:       " + format_count((long long)scene.shapes.size()));
  lines_out.push_back("environments: " + format_count((long long)scene.environments.size()));
  lines_out.push_back("textures:     " + format_count((long long)scene.textures.size()));
  lines_out.push_back("points:       " + format_count(points));
  lines_out.push_back("lines:        " + format_count(lines));
  lines_out.push_back("triangles:    " + format_count(triangles));
  lines_out.push_back("quads:        " + format_count(quads));
  lines_out.push_back("fvquads:     " + format_count(fvquads));
  lines_out.push_back("texels4b:     " + format_count(texels4b));
  lines_out.push_back("texels4f:     " + format_count(texels4f));
  lines_out.push_back("center:       " + format_vector(bbox_center(bounds)));
  lines_out.push_back("size:         " + format_vector(bbox_size(bounds)));
  return lines_out;
}

// ---------------------------------------------------------------------------
// Helpers shared by the writers

static bool is_valid_utf8(const std::string& text) {
  auto bytes = (const unsigned char*)text.data();
  auto size = text.size();
  for (size_t i = 0; i < size;) {
    auto c = bytes[i];
    int extra = 0;
    unsigned int code = 0, least = 0;
    if (c < 0x80) {
      i++;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      extra = 1, code = c & 0x1f, least = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
      extra = 2, code = c & 0x0f, least = 0x800;
    } else if ((c & 0xf8) == 0xf0) {
      extra = 3, code = c & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= size) return false;
    for (int k = 1; k <= extra; k++) {
      if ((bytes[i + k] & 0xc0) != 0x80) return false;
      code = (code << 6) | (bytes[i + k] & 0x3f);
    }
    // Overlong forms, surrogates and code points past Unicode are invalid.
    if (code < least || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return false;
    i += extra + 1;
  }
  return true;
}

static bool is_device_name(const std::string& name) {
  // Windows opens the device for "nul.ply" or "com1.x.hdr" whatever follows.
  auto stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; });
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
      stem[3] >= '0' && stem[3] <= '9')
    return true;
  return false;
}

bool is_valid_file_name(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (!is_valid_utf8(name)) return false;
  for (auto c : name) {
    auto u = (unsigned char)c;
    if (u < 0x20 || u == 0x7f) return false;
    if (std::string("/\\<>:\"|?*").find(c) != std::string::npos) return false;
  }
  return !is_device_name(name);
}

bool check_file_name(const std::string& filename, const std::string& kind,
                     const std::string& name, std::string& error) {
  if (is_valid_file_name(name)) return true;
  error = filename + ": error in " + kind + " name \"" + name + "\" is not a valid file name";
  return false;
}

std::string texture_file(const scene_texture& texture) {
  return "textures/" + texture.name + (texture.hdr.pixels.empty() ? ".png" : ".hdr");
}

std::vector<bool> textures_to_save(const scene_data& scene) {
  auto used = std::unordered_set<const scene_texture*>{};
  for (auto& environment : scene.environments) used.insert(environment->emission_tex);
  for (auto& shape : scene.shapes) used.insert(shape->displacement_tex);
  for (auto& m : scene.materials) {
    for (auto texture : {m->emission_tex, m->color_tex, m->specular_tex, m->metallic_tex,
                         m->roughness_tex, m->transmission_tex, m->translucency_tex,
                         m->scattering_tex, m->coat_tex, m->opacity_tex, m->normal_tex})
      used.insert(texture);
  }
  auto save = std::vector<bool>(scene.textures.size());
  for (size_t j = 0; j < scene.textures.size(); j++) {
    auto& texture = *scene.textures[j];
    save[j] = !texture.hdr.pixels.empty() || !texture.ldr.pixels.empty() ||
              used.count(&texture) != 0;
  }
  return save;
}

bool save_scene_textures(const std::string& filename, const scene_data& scene,
                         std::string& error, const progress_callback& progress, int done,
                         int total) {
  if (scene.textures.empty()) return true;
  auto dirname = path_dirname(filename);
  auto inner = std::string{};
  if (!make_directory(path_join(dirname, "textures"), inner)) {
    error = filename + ": error in " + inner;
    return false;
  }
  auto save = textures_to_save(scene);
  for (size_t j = 0; j < scene.textures.size(); j++) {
    auto& texture = *scene.textures[j];
    auto path = path_join(dirname, texture_file(texture));
    if (save[j] && !save_texture_image(path, texture.hdr, texture.ldr, inner)) {
      error = filename + ": error in " + inner;
      return false;
    }
    if (progress) progress("save texture", done + (int)j + 1, total);
  }
  return true;
}

std::vector<scene_material> merge_materials_by_name(const scene_data& scene) {
  auto merged = std::vector<scene_material>{};
  auto index = std::unordered_map<std::string, size_t>{};
  const auto def = scene_material{};
  for (auto& record : scene.materials) {
    auto& m = *record;
    auto found = index.find(m.name);
    if (found == index.end()) {
      found = index.emplace(m.name, merged.size()).first;
      merged.push_back(scene_material{});
      merged.back().name = m.name;
    }
    auto& out = merged[found->second];
    auto lay = [](auto& to, const auto& from, const auto& fallback) {
      if (from != fallback) to = from;
    };
    lay(out.emission, m.emission, def.emission);
    lay(out.color, m.color, def.color);
    lay(out.specular, m.specular, def.specular);
    lay(out.roughness, m.roughness, def.roughness);
    lay(out.metallic, m.metallic, def.metallic);
    lay(out.ior, m.ior, def.ior);
    lay(out.coat, m.coat, def.coat);
    lay(out.transmission, m.transmission, def.transmission);
    lay(out.translucency, m.translucency, def.translucency);
    lay(out.scattering, m.scattering, def.scattering);
    lay(out.scanisotropy, m.scanisotropy, def.scanisotropy);
    lay(out.trdepth, m.trdepth, def.trdepth);
    lay(out.opacity, m.opacity, def.opacity);
    lay(out.thin, m.thin, def.thin);
    lay(out.emission_tex, m.emission_tex, def.emission_tex);
    lay(out.color_tex, m.color_tex, def.color_tex);
    lay(out.specular_tex, m.specular_tex, def.specular_tex);
    lay(out.metallic_tex, m.metallic_tex, def.metallic_tex);
    lay(out.roughness_tex, m.roughness_tex, def.roughness_tex);
    lay(out.transmission_tex, m.transmission_tex, def.transmission_tex);
    lay(out.translucency_tex, m.translucency_tex, def.translucency_tex);
    lay(out.scattering_tex, m.scattering_tex, def.scattering_tex);
    lay(out.coat_tex, m.coat_tex, def.coat_tex);
    lay(out.opacity_tex, m.opacity_tex, def.opacity_tex);
    lay(out.normal_tex, m.normal_tex, def.normal_tex);
  }
  return merged;
}

bool has_valid_indices(const scene_shape& shape) {
  auto in = [](int index, size_t size) { return index >= 0 && (size_t)index < size; };
  if (!shape.quadspos.empty()) {
    auto check_quads = [&](const std::vector<vec4i>& quads, size_t size) {
      if (quads.empty()) return true;
      if (quads.size() != shape.quadspos.size()) return false;
      for (auto& q : quads)
        if (!in(q.x, size) || !in(q.y, size) || !in(q.z, size) || !in(q.w, size)) return false;
      return true;
    };
    return check_quads(shape.quadspos, shape.positions.size()) &&
           check_quads(shape.quadsnorm, shape.normals.size()) &&
           check_quads(shape.quadstexcoord, shape.texcoords.size());
  }
  auto size = shape.positions.size();
  if (!shape.normals.empty()) size = std::min(size, shape.normals.size());
  if (!shape.texcoords.empty()) size = std::min(size, shape.texcoords.size());
  for (auto i : shape.points)
    if (!in(i, size)) return false;
  for (auto& l : shape.lines)
    if (!in(l.x, size) || !in(l.y, size)) return false;
  for (auto& t : shape.triangles)
    if (!in(t.x, size) || !in(t.y, size) || !in(t.z, size)) return false;
  for (auto& q : shape.quads)
    if (!in(q.x, size) || !in(q.y, size) || !in(q.z, size) || !in(q.w, size)) return false;
  return true;
}

std::string format_float(float value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}
