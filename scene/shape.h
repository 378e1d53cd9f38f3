#pragma once
// Operations on the element arrays of a shape: index checks, face-varying
// quads as an indexed mesh, quads as triangles, and the texture coordinates
// that show a façade image on a wall that has none.

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "scene/math.h"

struct scene_shape;

// True when every index of the array addresses one of `count` vertices.
bool indices_in_range(const std::vector<int>& points, size_t count);
bool indices_in_range(const std::vector<vec2i>& lines, size_t count);
bool indices_in_range(const std::vector<vec3i>& triangles, size_t count);
bool indices_in_range(const std::vector<vec4i>& quads, size_t count);

// True when every element index addresses an existing vertex: indexed
// elements within positions (and normals and texcoords when present),
// face-varying quads within their own arrays, each as long as quadspos.
// Writers check it so that no file points readers past its vertex lists.
bool has_valid_indices(const scene_shape& shape);

// One corner of a face-varying face: its position, normal and texture
// coordinate indices (-1 for none), hashable to weld equal corners.
struct corner_key {
  int  position = 0, normal = -1, texcoord = -1;
  bool operator==(const corner_key& other) const {
    return position == other.position && normal == other.normal && texcoord == other.texcoord;
  }
};
struct corner_hash {
  size_t operator()(const corner_key& key) const {
    auto h = (size_t)(unsigned)key.position;
    h = h * 1000003u ^ (size_t)(unsigned)key.normal;
    h = h * 1000003u ^ (size_t)(unsigned)key.texcoord;
    return h;
  }
};

// The one vertex welder: weld() gives the vertex already made for an equal
// corner, else numbers a new one `next` (the length of the output arrays)
// and calls add_vertex(key) to append it.
struct corner_welder {
  std::unordered_map<corner_key, int, corner_hash> vertices = {};
  template <typename Add>
  int weld(const corner_key& key, int next, Add&& add_vertex) {
    auto [found, added] = vertices.emplace(key, next);
    if (added) add_vertex(key);
    return found->second;
  }
};

// One vertex for every distinct combination of position, normal and texture
// coordinate index, in first-use order; `quads` then index the new vertices.
// Normals and texture coordinates without their own indices follow the
// positions. Fails when an index array does not match the quads or an index
// is out of range.
bool make_indexed_quads(const std::vector<vec4i>& quadspos, const std::vector<vec4i>& quadsnorm,
                        const std::vector<vec4i>& quadstexcoord,
                        const std::vector<vec3f>& positions, const std::vector<vec3f>& normals,
                        const std::vector<vec2f>& texcoords, std::vector<vec4i>& quads,
                        std::vector<vec3f>& out_positions, std::vector<vec3f>& out_normals,
                        std::vector<vec2f>& out_texcoords);

// Triangles of the indexed faces: the triangles as they are, then each quad
// as (x, y, z) and (x, z, w), or only (x, y, z) when it repeats its third
// index as its fourth.
std::vector<vec3i> quads_to_triangles(const std::vector<vec3i>& triangles,
                                      const std::vector<vec4i>& quads);

// A façade image shown on a shape that has no texture coordinates. Every
// face gets vertices of its own (texture coordinates jump at the corners of
// a wall), so the result is a new mesh: positions, texcoords and triangles.
// Faces that stand upright carry the image once over the height of the
// shape, top row at the top, and repeat it along their length at the
// image's own aspect ratio (`image_aspect` = width / height), continuing
// from face to face, so storeys stay level and windows keep their shape.
// Faces that lie flat get the same scale in plan (x, z). Face-varying and
// indexed quads and triangles are all taken; lines and points are not.
struct textured_mesh {
  std::vector<vec3f> positions = {};
  std::vector<vec2f> texcoords = {};
  std::vector<vec3i> triangles = {};
};
textured_mesh make_facade_texcoords(const scene_shape& shape, float image_aspect);
