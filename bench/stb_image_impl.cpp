// The decoder's implementation from the system's header, for the floor programs that
// compare compiler settings; the optimisation level is set per target.
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
