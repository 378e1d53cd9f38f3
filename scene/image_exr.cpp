// The OpenEXR codec. tinyexr is compiled here from its header instead of
// being linked, so that the sanitizer and fuzz builds instrument the decoder
// that reads untrusted files, and every build runs the code the fuzzers ran.
#define TINYEXR_IMPLEMENTATION
#include <tinyexr.h>
