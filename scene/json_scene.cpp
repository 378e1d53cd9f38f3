#include "scene/json_scene.h"
