#include "scene/formats.h"

#include "support/files.h"

const std::vector<file_format>& file_formats() {
  using k      = format_kind;
  static const auto formats = std::vector<file_format>{
      {".obj", k::scene, true, true, "OBJ"},
      {".pbrt", k::scene, true, true, "PBRT"},
      {".gltf", k::scene, true, true, "glTF"},
      {".glb", k::scene, true, true, "glTF binary"},
      {".json", k::scene, true, true, "JSON scene"},
      {".stl", k::scene, true, true, "STL"},
      // A scene written as PLY keeps its first shape only.
      {".ply", k::scene, false, true, "PLY shape"},
      {".ply", k::shape, true, true, "PLY"},
      {".obj", k::shape, true, true, "OBJ shape"},
      {".cpp", k::shape, false, true, "C++ arrays"},
      {".png", k::image, true, true, "PNG"},
      {".jpg", k::image, true, true, "JPEG"},
      {".tga", k::image, true, true, "TGA"},
      {".bmp", k::image, true, true, "BMP"},
      {".hdr", k::image, true, true, "Radiance"},
      {".pfm", k::image, true, true, "PFM"},
      {".exr", k::image, true, true, "OpenEXR"},
  };
  return formats;
}

const file_format* find_format(const std::string& filename, format_kind kind) {
  for (auto& format : file_formats())
    if (format.kind == kind && has_extension(filename, format.extension)) return &format;
  return nullptr;
}

bool is_readable_scene(const std::string& filename) {
  auto format = find_format(filename, format_kind::scene);
  return format && format->read;
}

bool is_writable_scene(const std::string& filename) {
  auto format = find_format(filename, format_kind::scene);
  return format && format->write;
}

std::string format_list(format_kind kind, bool write) {
  auto names = std::vector<std::string>{};
  for (auto& format : file_formats())
    if (format.kind == kind && (write ? format.write : format.read))
      names.push_back(format.extension);
  auto text = std::string{};
  for (size_t i = 0; i < names.size(); i++)
    text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  return text;
}
