#pragma once
// glTF 2.0 scene files: ".gltf" (the JSON text, with its buffer in a ".bin"
// file of the same base name and its images in "textures" beside it) and
// ".glb" (one binary file that carries the buffer and the images).

#include <string>

#include "scene/json_scene.h"
#include "scene/scene_load.h"
#include "scene/sunsky.h"

// What the file holds:
// - one mesh per shape and material, and the same geometry (accessors) for
//   every material a shape is shown with: the city's thousands of trees use
//   five meshes; materials equal in everything glTF keeps are one material;
// - one node per instance, its frame as the node's matrix (a frame that is
//   not rotation, scale and translation has its shape placed in the mesh);
// - one camera node per camera, the vertical field of view from lens, film
//   and aspect;
// - metallic-roughness materials: base colour and opacity (alpha blending
//   below 1), metallic, roughness, emission, thin as double-sided; colour,
//   emission and normal textures as PNG images (float textures converted to
//   8-bit sRGB). A textured shape without texture coordinates gets the
//   generated façade coordinates of make_facade_texcoords at the aspect
//   ratio of its image;
// - the sun of every environment with an image, as a directional light of
//   KHR_lights_punctual;
// - accessors with exact bounds, buffer views aligned to 4 bytes, indices in
//   the smallest type that holds them, the normals a shape carries.
// Instances without geometry are nodes without a mesh. Progress:
// ("save scene", 0, N), ("save scene", 1, N) once the geometry is laid
// out, ("save texture", 1 + j + 1, N) after image j and ("save done", N, N),
// with N = 2 + images. Nothing is left under the file's name on failure;
// a ".glb" of 4 GiB or more cannot be written (".gltf" can).
bool save_gltf_scene(const std::string& filename, const scene_data& scene, std::string& error,
                     const progress_callback& progress = {});

// The same for the scene whose cameras, environments and textures are those
// of `scene` and whose instances, shapes and materials are those of
// `store`, which is taken as it comes from the generator: NOT prepared for
// export. The writer prepares it as prepare_export_scene prepares a scene
// (the layer ranks and the façade aspects found from the whole store first,
// then each shape oriented as it is taken), so the file is the one
// save_gltf_scene writes for the prepared scene. Shapes are taken one at a
// time through store_shape_geometry and their data streamed into files
// beside the output (removed however the writer ends); the whole geometry
// is never held. A shape that cannot be had fails the save with
// filename + ": error in " + the store's error, and leaves no file at
// `filename`.
bool save_gltf_scene(const std::string& filename, const scene_data& scene,
                     const json_scene_store& store, std::string& error,
                     const progress_callback& progress = {});

// Reads glTF 2.0, as JSON text (".gltf") or binary (".glb", told by its
// magic): meshes of triangles, the node hierarchy with matrices or
// translation, rotation and scale, base colours and textures, cameras and
// KHR_lights_punctual directional lights (the sun).
bool parse_gltf_scene(const std::string& filename, const std::string& data,
                      const referenced_files& files, loaded_scene& scene, std::string& error);
