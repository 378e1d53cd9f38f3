#pragma once
// The viewer's scene readers, one per format. Each parses the bytes of a
// file already in memory (`filename` names it in messages and locates the
// files it refers to through `files`) and fills `scene`, which it clears
// first. Failures: false and one line, the file name first.

#include <string>

#include "view/view_scene.h"

// STL, ASCII or binary. A binary file must be exactly 84 bytes plus 50 per
// triangle its header counts, checked before anything is allocated.
bool parse_stl_scene(const std::string& filename, const std::string& data, view_scene& scene,
                     std::string& error);

// OBJ with its material libraries: diffuse colours and map_Kd images. Every
// object and material pair becomes a shape with its instance.
bool parse_obj_scene(const std::string& filename, const std::string& data,
                     const referenced_files& files, view_scene& scene, std::string& error);

// glTF 2.0, as JSON text (".gltf") or binary (".glb", told by its magic):
// meshes of triangles, the node hierarchy with matrices or translation,
// rotation and scale, base colours and textures, cameras and
// KHR_lights_punctual directional lights (the sun).
bool parse_gltf_scene(const std::string& filename, const std::string& data,
                      const referenced_files& files, view_scene& scene, std::string& error);

// The pbrt-v3 scene text: transforms, attributes, objects and instances,
// "trianglemesh" and "plymesh" shapes, diffuse colours and image textures,
// the camera, infinite and distant lights, and Include. Anything else is
// skipped with one warning per kind of statement.
bool parse_pbrt_scene(const std::string& filename, const std::string& data,
                      const referenced_files& files, view_scene& scene, std::string& error,
                      const progress_callback& progress = {});
