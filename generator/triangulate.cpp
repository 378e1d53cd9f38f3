#include "generator/triangulate.h"
