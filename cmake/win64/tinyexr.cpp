// tinyexr, compiled once as Debian's libtinyexr is (zlib for compression).
#define TINYEXR_IMPLEMENTATION
#include <tinyexr.h>
