#pragma once
// The procedural daylight sky: a latitude-longitude image from the Preetham
// model (Perez luminance distribution with turbidity-dependent coefficients).

#include "scene/image.h"
#include "scene/math.h"
#include "scene/scene.h"

// The upper half holds the sky (alpha 0), the lower half a uniform ground
// lit by that sky (alpha 1). sun_angle is the sun's angle from the zenith.
image4f make_sunsky(int width, int height, float sun_angle, float turbidity,
                    bool has_sun, float sun_intensity, float sun_radius,
                    const vec3f& ground_albedo);

// The direction towards the sun of an environment: the brightest pixel of
// its latitude-longitude image, turned by its frame. The image's direction
// at row i and column j of an image of W x H pixels is
// (cos phi sin theta, cos theta, sin phi sin theta) with
// theta = (i + 0.5) / H * pi and phi = (j + 0.5) / W * 2 pi, as the sky of
// make_sunsky is drawn. False when the environment has no image.
bool environment_sun_direction(const scene_environment& environment, vec3f& direction);
