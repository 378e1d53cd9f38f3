// tinyobjloader, compiled once as Debian's libtinyobjloader is.
#define TINYOBJLOADER_IMPLEMENTATION
#include <tiny_obj_loader.h>
