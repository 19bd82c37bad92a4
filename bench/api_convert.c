/* One conversion through the shared library's public entry points, for the
   comparison's threads section: what a host pays for the exports' promise of no
   threads against the same conversion with the library's helper threads allowed.

   Usage: tarvelo-api-convert MODE SOURCE DESTINATION
     export   BMP2TGA or TGA2BMP (by the destination's extension), as hosts call them
     default  TarveloConvertImage, file to file, with NULL options (no threads)
     threads  TarveloConvertImage, file to file, with allow_threads = 1
   Exit status 0 when the conversion succeeded (for export: when the destination
   exists afterwards). Paths are ASCII here. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"

enum { kMaxPath = 4096 };

static int Widen(const char* path, wchar_t* wide) {
  size_t i = 0;
  for (; path[i] != '\0'; ++i) {
    if (i + 1 >= kMaxPath) {
      return 0;
    }
    wide[i] = (wchar_t)(unsigned char)path[i];
  }
  wide[i] = L'\0';
  return 1;
}

int main(int argc, char** argv) {
  static wchar_t source[kMaxPath];
  static wchar_t destination[kMaxPath];
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  TarveloOptions options;
  FILE* written = NULL;
  TarveloSource from = {.kind = TARVELO_SOURCE_FILE};
  TarveloOutput to = {.kind = TARVELO_OUTPUT_FILE};
  TarveloResult result;
  if (argc != 4 || TarveloLayoutFromName(argv[3], &layout) != TARVELO_STATUS_CONVERTED) {
    fprintf(stderr, "usage: %s export|default|threads SOURCE DESTINATION.tga|.bmp\n", argv[0]);
    return 2;
  }
  if (strcmp(argv[1], "export") == 0) {
    if (!Widen(argv[2], source) || !Widen(argv[3], destination)) {
      return 2;
    }
    (void)(layout == TARVELO_LAYOUT_TGA ? BMP2TGA(source, destination) : TGA2BMP(source, destination));
    written = fopen(argv[3], "rb");
    if (written == NULL) {
      return 1;
    }
    fclose(written);
    return 0;
  }
  TarveloInitOptions(&options);
  options.allow_threads = strcmp(argv[1], "threads") == 0;
  from.path = argv[2];
  to.path = argv[3];
  if (TarveloConvertImage(&from, &to, layout, strcmp(argv[1], "default") == 0 ? NULL : &options, &result) !=
      TARVELO_STATUS_CONVERTED) {
    fprintf(stderr, "%s: %s\n", argv[2], result.detail);
    return 1;
  }
  return 0;
}
