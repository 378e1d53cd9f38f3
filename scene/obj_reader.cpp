// OBJ scenes through tinyobjloader: objects, faces by material, diffuse
// colours and map_Kd images from the material libraries.

#include "scene/obj_scene.h"

#include <tiny_obj_loader.h>

#include <cmath>
#include <map>
#include <sstream>
#include <unordered_map>

#include "scene/shape.h"
#include "support/files.h"

namespace {

// Material libraries come through the scene's referenced files. The first
// library that cannot be read is remembered: a scene whose materials are
// missing fails rather than showing grey.
struct mtl_reader : tinyobj::MaterialReader {
  const referenced_files& files;
  std::string             folder;
  std::string             failure = "";
  mtl_reader(const referenced_files& files, const std::string& folder)
      : files(files), folder(folder) {}
  bool operator()(const std::string& name, std::vector<tinyobj::material_t>* materials,
                  std::map<std::string, int>* names, std::string* warn,
                  std::string* err) override {
    auto data = std::string{}, error = std::string{};
    if (!files.read(path_join(folder, name), data, error)) {
      if (failure.empty()) failure = error;
      return false;
    }
    auto stream = std::istringstream(data);
    tinyobj::LoadMtl(names, materials, &stream, warn, err);
    return true;
  }
};

std::string clean_path(std::string path) {
  for (auto& c : path)
    if (c == '\\') c = '/';
  return path;
}

}  // namespace

bool parse_obj_scene(const std::string& filename, const std::string& data,
                     const referenced_files& files, loaded_scene& scene, std::string& error) {
  scene = loaded_scene{};
  auto folder = path_dirname(filename);
  auto attrib = tinyobj::attrib_t{};
  auto shapes = std::vector<tinyobj::shape_t>{};
  auto materials = std::vector<tinyobj::material_t>{};
  auto warn = std::string{}, err = std::string{};
  auto reader = mtl_reader(files, folder);
  auto stream = std::istringstream(data);
  // Faces stay polygons: the library's own triangulation reads positions
  // by index before anything could check them.
  auto ok = tinyobj::LoadObj(&attrib, &shapes, &materials, &warn, &err, &stream, &reader,
                             false, false);
  if (!ok) {
    auto line = err.substr(0, err.find('\n'));
    error = filename + ": parse error" + (line.empty() ? "" : " (" + line + ")");
    return false;
  }
  if (!reader.failure.empty() && materials.empty()) {
    error = filename + ": error in " + reader.failure;
    return false;
  }

  auto positions = attrib.vertices.size() / 3, texcoords = attrib.texcoords.size() / 2;
  for (auto& value : attrib.vertices) {
    if (!std::isfinite(value)) {
      error = filename + ": parse error (a vertex coordinate is not a finite number)";
      return false;
    }
  }

  // Materials, with their images read once each.
  auto textures = std::unordered_map<std::string, scene_texture*>{};
  auto default_material = (scene_material*)nullptr;
  auto scene_materials = std::vector<scene_material*>{};
  for (auto& m : materials) {
    auto material = add_material(scene.scene, m.name);
    material->color = {(float)m.diffuse[0], (float)m.diffuse[1], (float)m.diffuse[2]};
    material->emission = {(float)m.emission[0], (float)m.emission[1], (float)m.emission[2]};
    material->opacity = (float)m.dissolve;
    if (!m.diffuse_texname.empty()) {
      auto path = path_join(folder, clean_path(m.diffuse_texname));
      auto found = textures.find(path);
      if (found == textures.end()) {
        auto texture = add_texture(scene.scene, clean_path(m.diffuse_texname));
        auto inner = std::string{};
        if (!files.load_texture(path, *texture, inner)) {
          error = filename + ": error in " + inner;
          return false;
        }
        found = textures.emplace(path, texture).first;
      }
      material->color_tex = found->second;
      // A black diffuse colour beside an image means the image alone.
      if (material->color == vec3f{0, 0, 0}) material->color = {1, 1, 1};
    }
    scene_materials.push_back(material);
  }

  for (auto& source : shapes) {
    auto& mesh = source.mesh;
    // Faces by material, each material's faces one shape.
    auto by_material = std::map<int, std::vector<size_t>>{};
    auto offsets = std::vector<size_t>(mesh.num_face_vertices.size());
    auto offset = size_t{0};
    for (size_t f = 0; f < mesh.num_face_vertices.size(); f++) {
      offsets[f] = offset;
      offset += mesh.num_face_vertices[f];
      auto material = f < mesh.material_ids.size() ? mesh.material_ids[f] : -1;
      if (material < -1 || material >= (int)materials.size()) material = -1;
      by_material[material].push_back(f);
    }
    if (offset != mesh.indices.size()) {
      error = filename + ": parse error (a face of object \"" + source.name +
              "\" has more than 255 corners)";
      return false;
    }
    for (auto& [material_id, faces] : by_material) {
      auto name = source.name;
      if (material_id >= 0 && by_material.size() > 1) name += ":" + materials[material_id].name;
      auto instance = add_instance(scene.scene, name);
      instance->shape = add_shape(scene.scene, name);
      if (material_id >= 0) {
        instance->material = scene_materials[material_id];
      } else {
        if (!default_material) {
          default_material = add_material(scene.scene, "default");
          default_material->color = {0.7f, 0.7f, 0.7f};
        }
        instance->material = default_material;
      }
      auto& shape = *instance->shape;
      auto has_texcoords = true;
      for (auto f : faces)
        for (size_t k = 0; k < mesh.num_face_vertices[f]; k++)
          if (mesh.indices[offsets[f] + k].texcoord_index < 0) has_texcoords = false;
      auto welder = corner_welder{};
      auto corner = [&](const tinyobj::index_t& index, int& vertex) {
        if (index.vertex_index < 0 || (size_t)index.vertex_index >= positions) return false;
        if (has_texcoords && (size_t)index.texcoord_index >= texcoords) return false;
        auto key = corner_key{index.vertex_index, -1, has_texcoords ? index.texcoord_index : -1};
        vertex = welder.weld(key, (int)shape.positions.size(), [&](const corner_key& key) {
          auto p = &attrib.vertices[3 * (size_t)key.position];
          shape.positions.push_back({(float)p[0], (float)p[1], (float)p[2]});
          if (has_texcoords) {
            auto t = &attrib.texcoords[2 * (size_t)key.texcoord];
            // OBJ counts v upwards; ours runs down from the image's top row.
            shape.texcoords.push_back({(float)t[0], 1 - (float)t[1]});
          }
        });
        return true;
      };
      for (auto f : faces) {
        auto count = (size_t)mesh.num_face_vertices[f];
        if (count < 3) continue;  // lines and points are not shown
        auto first = 0, previous = 0, current = 0;
        for (size_t k = 0; k < count; k++) {
          if (!corner(mesh.indices[offsets[f] + k], current)) {
            error = filename + ": parse error (a face of object \"" + source.name +
                    "\" refers to a vertex that does not exist)";
            return false;
          }
          if (k == 0) first = current;
          if (k >= 2) shape.triangles.push_back({first, previous, current});
          previous = current;
        }
      }
    }
  }
  return true;
}
