#pragma once
// Mapping the records of a collection from degrees onto the scene square.

#include "generator/features.h"

// Maps the outlines and holes, read in degrees, onto the scene_size square:
// longitude and latitude are stretched independently over the bounds of all
// outlines; an axis without extent maps to 0. Call it once, after the last
// file: the records hold scene units afterwards.
void normalize_features(city_features& features, float scene_size);
