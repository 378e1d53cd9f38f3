#pragma once
// Shape files: ".ply" and ".obj" are read and written, ".cpp" is written as
// C++ array literals. Extensions are compared exactly (".ply" or ".PLY").

#include <string>
#include <vector>

#include "scene/math.h"

struct scene_shape;

// Clears every array, then reads the file. Fails with ": file not found",
// ": read error", ": parse error", ": unknown format" or ": empty shape"
// (no positions; for OBJ also no single object with faces, lines or points);
// a parse or read error says in parentheses what is wrong and where ("line
// 12: face index 40 out of range, the file has 3 vertices"). A file whose
// indices address no vertex is a parse error, so every index of a loaded
// shape is in range. With facevarying the faces land in
// quadspos/quadsnorm/quadstexcoord; with flip_texcoord v becomes 1 - v.
bool load_shape(const std::string& filename, std::vector<int>& points,
                std::vector<vec2i>& lines, std::vector<vec3i>& triangles,
                std::vector<vec4i>& quads, std::vector<vec4i>& quadspos,
                std::vector<vec4i>& quadsnorm, std::vector<vec4i>& quadstexcoord,
                std::vector<vec3f>& positions, std::vector<vec3f>& normals,
                std::vector<vec2f>& texcoords, std::vector<vec4f>& colors,
                std::vector<float>& radius, std::string& error,
                bool facevarying = false, bool flip_texcoord = true);

// The same on the bytes of a file already in memory; `filename` picks the
// format and names the file in messages.
bool parse_shape(const std::string& filename, const std::string& data,
                 std::vector<int>& points, std::vector<vec2i>& lines,
                 std::vector<vec3i>& triangles, std::vector<vec4i>& quads,
                 std::vector<vec4i>& quadspos, std::vector<vec4i>& quadsnorm,
                 std::vector<vec4i>& quadstexcoord, std::vector<vec3f>& positions,
                 std::vector<vec3f>& normals, std::vector<vec2f>& texcoords,
                 std::vector<vec4f>& colors, std::vector<float>& radius, std::string& error,
                 bool facevarying = false, bool flip_texcoord = true);

// Writes ".ply" (binary little endian; face-varying quads become indexed
// vertices), ".obj" (the first non-empty of triangles, quads, lines, points,
// face-varying quads; ": empty shape" when none) or ".cpp" array literals.
// PLY and OBJ output fail with ": write error", writing nothing, when the
// vertex arrays of an indexed shape differ in length; PLY output also when
// face-varying indices address nothing.
bool save_shape(const std::string& filename, const std::vector<int>& points,
                const std::vector<vec2i>& lines, const std::vector<vec3i>& triangles,
                const std::vector<vec4i>& quads, const std::vector<vec4i>& quadspos,
                const std::vector<vec4i>& quadsnorm, const std::vector<vec4i>& quadstexcoord,
                const std::vector<vec3f>& positions, const std::vector<vec3f>& normals,
                const std::vector<vec2f>& texcoords, const std::vector<vec4f>& colors,
                const std::vector<float>& radius, std::string& error,
                bool flip_texcoord = true);

// The same on the arrays of a scene shape.
bool load_shape(const std::string& filename, scene_shape& shape, std::string& error,
                bool facevarying = false, bool flip_texcoord = true);
bool parse_shape(const std::string& filename, const std::string& data, scene_shape& shape,
                 std::string& error, bool facevarying = false, bool flip_texcoord = true);
bool save_shape(const std::string& filename, const scene_shape& shape, std::string& error,
                bool flip_texcoord = true);
// The bytes save_shape would write to `filename`, in `bytes` (replaced),
// without writing them; `text` tells whether they are text (OBJ, C++: to be
// written with save_text) or binary (PLY: save_file). Fails as save_shape
// does before it writes.
bool encode_shape(const std::string& filename, const scene_shape& shape, std::string& bytes,
                  bool& text, std::string& error, bool flip_texcoord = true);
