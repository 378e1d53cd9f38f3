#pragma once
// The JSON scene file: cameras, environments, materials and instances in one
// document, with every shape in "shapes" and every texture in "textures"
// beside it, each file named after its record.

#include <string>

#include "scene/scene.h"
#include "support/console.h"

// Writes the document, then each shape ("shapes/NAME.ply", or ".obj" for
// Catmull-Clark subdivided shapes) and each texture ("textures/NAME.png" for
// 8-bit, ".hdr" for float). The folders must exist. Stops at the first
// failure; a failing shape or texture is reported as
// filename + ": error in " + its own error, and no document is left at
// `filename` (it is written last, under a temporary name until then).
bool save_json_scene(const std::string& filename, const scene_data& scene,
                     std::string& error, const progress_callback& progress = {});

// Reads a scene document and the files it names into `scene` (emptied
// first). Records keep the order of the document; a record given as null, or
// a member left out or given as null, keeps the default of a fresh record;
// a name given twice in one kind counts once, as its last occurrence.
// Members this reader does not know are skipped.
//
// Shapes and textures are reached through the names that instances,
// materials and environments hold: the shape named N is read from
// "shapes/N.ply" (or "shapes/N.obj", the file the writer chooses for
// Catmull-Clark subdivided shapes; the other one serves when it is missing),
// every shape once however many instances share it, and takes the
// subdivision and displacement settings of the first instance that names it.
// A shape file with no elements at all is an empty shape. The texture named
// N is the first of "textures/N.png", ".jpg", ".hdr", ".exr", ".pfm" there;
// the last three load as float textures.
//
// The file is untrusted. Failures, each starting with `filename`:
//   ": file not found", ": read error"   the document itself
//   ": parse error in json"              not JSON at all
//   ": parse error in json: WHAT"        JSON of the wrong form: a member of
//       the wrong type, a frame without 12 numbers, a number outside the
//       range of its field, a reference to a material that is not there
//   ": error in KIND \"NAME\": ..."      a shape or texture name that is no
//       plain file name inside its folder ("../x", "a/b", "CON"): nothing
//       outside the scene's folder is ever read
//   ": error in " + inner error          a shape or image file that is
//       missing or broken, with the error of its reader
// Sizes come from the files: the shape and image readers refuse counts the
// file cannot hold before they allocate.
// Progress: ("load scene", 0, 1), then ("load shape" or "load texture",
// 1 + files read, N) in about a thousand steps at most, and
// ("load done", N, N), with N = 2 + shapes + textures. Shape files are read
// by a few threads at once.
bool load_json_scene(const std::string& filename, scene_data& scene, std::string& error,
                     const progress_callback& progress = {});

// The same on a document already in memory; `filename` names it in messages
// and its folder is where the shape and texture files are read from.
bool parse_json_scene(const std::string& filename, const std::string& text, scene_data& scene,
                      std::string& error, const progress_callback& progress = {});
