#pragma once
// The geographic place of the normalised map square, for the exports.

#include "generator/features.h"
#include "scene/georeference.h"

// Call on the records still in degrees (before normalize_features): the
// bounds of every outline, as the normalisation stretches them over the
// scene_size square, and the metres per scene unit along x and z (WGS 84
// at the middle latitude). Not known when no record has a point.
scene_georeference map_georeference(const city_features& features, float scene_size);
