#pragma once
// The one list of file formats the programs know, by extension: whether a
// name is a scene, a shape or an image, and whether it is read, written or
// both. Extensions match exactly in lower or upper case (".json" or
// ".JSON", never ".Json"), as every program compares them.

#include <string>
#include <vector>

enum struct format_kind { scene, shape, image };

struct file_format {
  std::string extension = {};  // lower case, with its dot
  format_kind kind      = format_kind::scene;
  bool        read      = false;
  bool        write     = false;
  std::string name      = {};  // for messages: "glTF", "PLY shape"
};

const std::vector<file_format>& file_formats();

// The format of a file name; nullptr when its extension is none of them.
const file_format* find_format(const std::string& filename, format_kind kind);

// Scenes the readers read (.obj, .pbrt, .gltf, .glb, .json, .stl) and the
// names the scene writers write (the same and .ply, the first shape).
bool is_readable_scene(const std::string& filename);
bool is_writable_scene(const std::string& filename);

// ".ext1, .ext2 or .ext3" for messages, in the order of file_formats().
std::string format_list(format_kind kind, bool write);
