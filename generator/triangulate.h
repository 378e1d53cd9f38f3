#pragma once
// Flat caps: an outline with holes filled with triangles.

#include <cstddef>
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
//
// Ear clipping slows down with the square of the points on rings that cross
// themselves, repeat points or spike inwards, so a cap of more than
// max_fill_points points in all is filled on a thinned copy: every k-th point
// of each ring, k = ceil(points / max_fill_points), except that the outline
// keeps at least 64 points; holes left with fewer than three points are not
// cut out. Every vertex is still stored, and walls built from them follow the
// whole outline; only the fill is coarser. A cap then costs time linear in
// its points plus one fill of about max_fill_points points.
constexpr size_t max_fill_points = 1000;
void build_cap(const std::vector<vec2d>& outline, const std::vector<std::vector<vec2d>>& holes,
               float height, std::vector<vec3f>& positions, std::vector<vec3i>& triangles);
