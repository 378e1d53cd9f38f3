#include "scene/ply.h"
