#pragma once
// Flat caps: an outline with holes filled with triangles.

#include <cstdint>
#include <vector>

#include "scene/math.h"

// Triangulates a polygon given as rings: the first is the outer boundary,
// the others are holes. Indices number the points of all rings in order,
// three per triangle. Closed rings (last point equal to the first) are fine.
std::vector<uint32_t> triangulate_rings(const std::vector<std::vector<vec2d>>& rings);

// Places the outline and then every hole at scene (x, height, y) and fills
// the outline with triangles indexing those vertices. Points are stored as
// 32-bit floats and triangulated on exactly those values, so the triangles
// match the stored vertices. An outline that cannot be filled (fewer than
// three distinct points, collinear, non-finite) gives vertices and no triangle.
void build_cap(const std::vector<vec2d>& outline, const std::vector<std::vector<vec2d>>& holes,
               float height, std::vector<vec3f>& positions, std::vector<vec3i>& triangles);
