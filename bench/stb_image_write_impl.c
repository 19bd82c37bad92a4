/* The image writer's implementation, compiled from the system's header (libstb-dev). */
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>
