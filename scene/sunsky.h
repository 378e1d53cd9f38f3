#pragma once
// The procedural daylight sky: a latitude-longitude image from the Preetham
// model (Perez luminance distribution with turbidity-dependent coefficients).

#include "scene/image.h"
#include "scene/math.h"

// The upper half holds the sky (alpha 0), the lower half a uniform ground
// lit by that sky (alpha 1). sun_angle is the sun's angle from the zenith.
image4f make_sunsky(int width, int height, float sun_angle, float turbidity,
                    bool has_sun, float sun_intensity, float sun_radius,
                    const vec3f& ground_albedo);
