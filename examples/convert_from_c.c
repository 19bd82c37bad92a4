/* A C host program: converts SOURCE into DESTINATION once, in the layout that
 * DESTINATION's extension names in any case (.tga, .BMP). New code calls the status
 * API, which says what went wrong; with --export the program calls instead the
 * frozen wide-path export that existing hosts call, which always returns 999. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "TarveloConvert.h"

int main(int argc, char** argv) {
  char detail[256];
  TarveloStatus status;
  TarveloLayout layout;
  const int use_export = argc > 1 && strcmp(argv[1], "--export") == 0;
  const char* source;
  const char* destination;
  if (argc != 3 + use_export) {
    fprintf(stderr, "usage: %s [--export] SOURCE DESTINATION.tga|.bmp\n", argv[0]);
    return 2;
  }
  source = argv[1 + use_export];
  destination = argv[2 + use_export];
  /* The library's own reading of names, as the tool's: "x.BMP" is BMP. */
  if (TarveloLayoutFromName(destination, &layout) != TARVELO_STATUS_CONVERTED) {
    fprintf(stderr, "%s: %s: name a .tga or .bmp destination\n", argv[0], destination);
    return 2;
  }
  if (use_export) {
    wchar_t wide_source[1024];
    wchar_t wide_destination[1024];
    if (mbstowcs(wide_source, source, 1024) >= 1024 ||
        mbstowcs(wide_destination, destination, 1024) >= 1024) {
      fprintf(stderr, "%s: a path is too long or not valid text\n", argv[0]);
      return 2;
    }
    printf("export returned %d\n",
           (int)(layout == TARVELO_LAYOUT_BMP ? TGA2BMP(wide_source, wide_destination)
                                              : BMP2TGA(wide_source, wide_destination)));
    return 0;
  }
  status = TarveloConvert(source, destination, layout, detail, sizeof detail);
  if (status != TARVELO_STATUS_CONVERTED) {
    fprintf(stderr, "%s: %s: %s%s%s\n", argv[0], source, TarveloStatusMessage(status),
            detail[0] != '\0' ? ": " : "", detail);
    return 1;
  }
  printf("converted %s to %s\n", source, destination);
  return 0;
}
