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
