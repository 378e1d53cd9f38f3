#include "scene/scene_files.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "scene/image.h"
#include "support/files.h"
#include "support/format.h"

const char* const scene_generator_name = "blockgen city generator";

bool is_valid_utf8(std::string_view text) {
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

std::vector<scene_material> materials_by_name(const scene_data& scene) {
  auto materials = merge_materials_by_name(scene);
  std::stable_sort(
      materials.begin(), materials.end(),
      [](const scene_material& a, const scene_material& b) { return a.name < b.name; });
  return materials;
}

std::vector<scene_instance> instances_by_name(const scene_data& scene) {
  auto last_shape = std::unordered_map<std::string, scene_shape*>{};
  for (auto& shape : scene.shapes) last_shape[shape->name] = shape.get();
  auto merged = std::vector<scene_instance>{};
  auto index = std::unordered_map<std::string, size_t>{};
  for (auto instance : records_by_name(scene.instances)) {
    auto [found, added] = index.try_emplace(instance->name, merged.size());
    if (added) {
      merged.push_back(scene_instance{});
      merged.back().name = instance->name;
    }
    auto& out = merged[found->second];
    if (instance->frame != frame3f{}) out.frame = instance->frame;
    if (instance->shape) {
      auto named = last_shape.find(instance->shape->name);
      out.shape = named != last_shape.end() ? named->second : instance->shape;
    }
    if (instance->material) out.material = instance->material;
  }
  return merged;
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

pending_scene_file::~pending_scene_file() {
  if (published || temp.empty()) return;
  remove_file(temp);
  remove_file(path);
}

bool write_scene_file(pending_scene_file& file, const std::string& path, const std::string& text,
                      std::string& error) {
  file.path = path;
  return save_text_hidden(path, text, file.temp, error);
}

bool publish_scene_file(pending_scene_file& file, std::string& error) {
  if (!publish_file(file.temp, file.path, error)) return false;
  file.published = true;
  return true;
}

// One face corner: "p", "p/t", "p//n" or "p/t/n"; negative = absent.
static void append_corner(std::string& out, const obj_offsets& base, int p, int t, int n) {
  out += ' ';
  append_int(out, (long long)base.positions + p + 1);
  if (t < 0 && n < 0) return;
  out += '/';
  if (t >= 0) append_int(out, (long long)base.texcoords + t + 1);
  if (n < 0) return;
  out += '/';
  append_int(out, (long long)base.normals + n + 1);
}

void append_obj_elements(std::string& out, const std::vector<int>& points,
                         const std::vector<vec2i>& lines, const std::vector<vec3i>& triangles,
                         const std::vector<vec4i>& quads, const std::vector<vec4i>& quadspos,
                         const std::vector<vec4i>& quadsnorm,
                         const std::vector<vec4i>& quadstexcoord, const obj_offsets& base,
                         bool has_texcoords, bool has_normals, bool first_kind_only) {
  auto indexed = [&](int i) {
    append_corner(out, base, i, has_texcoords ? i : -1, has_normals ? i : -1);
  };
  auto written = false;
  auto next_kind = [&](bool present) {
    if (!present || (first_kind_only && written)) return false;
    written = true;
    return true;
  };
  // Face-varying quads stand alone: their indices address each list apart.
  auto indexed_elements = !triangles.empty() || !quads.empty() ||
                          !lines.empty() || !points.empty();
  if (!quadspos.empty() && (!first_kind_only || !indexed_elements)) {
    {
      auto has_t = !quadstexcoord.empty(), has_n = !quadsnorm.empty();
      auto corner = [](const vec4i& q, int k) {
        return k == 0 ? q.x : k == 1 ? q.y : k == 2 ? q.z : q.w;
      };
      for (size_t i = 0; i < quadspos.size(); i++) {
        auto& p = quadspos[i];
        auto corners = p.w == p.z ? 3 : 4;
        out += 'f';
        for (auto k = 0; k < corners; k++) {
          append_corner(out, base, corner(p, k),
                        has_t && i < quadstexcoord.size() ? corner(quadstexcoord[i], k) : -1,
                        has_n && i < quadsnorm.size() ? corner(quadsnorm[i], k) : -1);
        }
        out += '\n';
      }
    }
    return;
  }
  if (next_kind(!triangles.empty())) {
    for (auto& t : triangles) {
      out += 'f', indexed(t.x), indexed(t.y), indexed(t.z), out += '\n';
    }
  }
  if (next_kind(!quads.empty())) {
    for (auto& q : quads) {
      out += 'f', indexed(q.x), indexed(q.y), indexed(q.z);
      if (q.w != q.z) indexed(q.w);
      out += '\n';
    }
  }
  if (next_kind(!lines.empty())) {
    for (auto& l : lines) {
      out += 'l';
      append_corner(out, base, l.x, -1, -1);
      append_corner(out, base, l.y, -1, -1);
      out += '\n';
    }
  }
  if (next_kind(!points.empty())) {
    for (auto p : points) {
      out += 'p';
      append_corner(out, base, p, -1, -1);
      out += '\n';
    }
  }
}

void append_obj_elements(std::string& out, const scene_shape& shape, const obj_offsets& base,
                         bool has_texcoords, bool has_normals, bool first_kind_only) {
  append_obj_elements(out, shape.points, shape.lines, shape.triangles, shape.quads,
                      shape.quadspos, shape.quadsnorm, shape.quadstexcoord, base, has_texcoords,
                      has_normals, first_kind_only);
}

template <typename T>
static size_t make_names_valid(std::vector<std::unique_ptr<T>>& records, const std::string& prefix,
                               bool strip_extension) {
  auto taken = std::set<std::string>{};
  for (auto& record : records)
    if (is_valid_file_name(record->name)) taken.insert(record->name);
  auto changed = size_t{0};
  for (size_t i = 0; i < records.size(); i++) {
    auto& name = records[i]->name;
    if (is_valid_file_name(name)) continue;
    auto fixed = name.substr(name.find_last_of("/\\") == std::string::npos
                                 ? 0
                                 : name.find_last_of("/\\") + 1);
    if (strip_extension && fixed.rfind('.') != std::string::npos && fixed.rfind('.') > 0)
      fixed = fixed.substr(0, fixed.rfind('.'));
    for (auto& c : fixed)
      if ((unsigned char)c < 32 || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
        c = '_';
    if (!is_valid_file_name(fixed) || taken.count(fixed)) fixed = prefix + std::to_string(i + 1);
    while (taken.count(fixed)) fixed += "_";
    taken.insert(fixed);
    name = fixed;
    changed++;
  }
  return changed;
}

size_t make_file_names_valid(scene_data& scene) {
  return make_names_valid(scene.shapes, "shape", false) +
         make_names_valid(scene.textures, "texture", true);
}
