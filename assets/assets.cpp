// Writing the assets into the two folders blockgen reads.

#include "assets/assets.h"
#include "scene/shape_io.h"
#include "support/files.h"

bool save_assets(const std::string& folder, std::string& error) {
  auto textures = path_join(folder, "buildings_texture");
  auto trees = path_join(folder, "tree_models");
  if (!make_directory(textures, error)) return false;
  if (!make_directory(trees, error)) return false;
  for (auto& stem : facade_names()) {
    if (!save_image(path_join(textures, stem + ".jpg"), make_facade(stem), error)) return false;
  }
  for (auto& name : tree_names()) {
    if (!save_shape(path_join(trees, name + ".ply"), make_tree(name), error)) return false;
  }
  return true;
}
