#include "generator/buildings.h"
