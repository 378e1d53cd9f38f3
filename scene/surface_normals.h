#pragma once
// City meshes made ready for programs that draw what a file says: walls and
// roofs wound counter-clockwise seen from outside, with flat normals (their
// vertices split where faces meet at an angle), flat meshes facing up.

#include "scene/scene.h"

// Walls are recognised by how the city builds them (a quad from each point
// of the cap's vertex list to the previous one, down to the ground), roofs
// likewise (two triangles per outline point up to one apex). The first ring
// of a wall's points is the outline, later ones are holes: walls face away
// from the outline's inside by the sign of its area and into the holes, so
// concave and holed buildings come out right; the walls that join one ring
// to the next (inside the building) and faces without area are dropped.
// A textured wall gets the façade texture coordinates it would be shown
// with. Shapes with normals of their own, and any other shape, stay as they
// are. Returns the number of shapes changed.
size_t orient_city_surfaces(scene_data& scene);

// The same for one shape, shown with façade images of width / height
// `aspect` (0 or less: without façade coordinates). Returns whether the
// shape is a wall, a roof or a flat mesh and was changed.
bool orient_city_shape(scene_shape& shape, float aspect);
// True when orient_city_shape changes the shape.
bool is_city_surface(const scene_shape& shape);
// True when it also moves or drops vertices (walls and roofs are rebuilt;
// flat meshes keep theirs), so that the shape's bounds may change.
bool orienting_moves_vertices(const scene_shape& shape);
// The width / height of the image a material shows on façades (its colour,
// else its emission, else its normal texture); 0 without one.
float facade_aspect(const scene_material* material);
