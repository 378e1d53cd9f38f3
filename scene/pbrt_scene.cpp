#include "scene/pbrt_scene.h"
