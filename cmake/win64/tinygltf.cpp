// tinygltf, compiled once as Debian's libtinygltf is; stb_image's own
// implementation is in stb.c.
#define TINYGLTF_IMPLEMENTATION
#include <tiny_gltf.h>
