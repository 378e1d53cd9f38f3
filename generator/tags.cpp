#include "generator/tags.h"
