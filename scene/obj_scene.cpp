#include "scene/obj_scene.h"
