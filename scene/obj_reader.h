#pragma once
// The OBJ reader. One reading of the text serves both uses: load_shape takes
// the arrays of a one-object file (parse_obj_shape, here), the scene reader
// every object by material (parse_obj_scene, obj_scene.h).
//
// A file is refused with ": parse error (line N: WHAT)" when a face, line or
// point refers to a vertex, normal or texture coordinate the file does not
// hold, uses the index 0, has more than 255 corners, or a vertex coordinate
// is not a finite number; the line is left out where it cannot be told.

#include <string>

struct scene_shape;

// The single object of the file as shape arrays (all replaced): faces of 4
// corners as quads when there is one, else every face as fan triangles, plus
// lines and points; with facevarying the faces become quadspos, quadsnorm and
// quadstexcoord over the file's own arrays. Normals, texture coordinates and
// colours are kept when every corner has them; with flip_texcoord v becomes
// 1 - v. A file of no object or of several, or whose object has no faces,
// lines or points, fails with ": empty shape".
bool parse_obj_shape(const std::string& filename, const std::string& text, scene_shape& shape,
                     std::string& error, bool facevarying, bool flip_texcoord);
