/* A C host program: converts SOURCE into DESTINATION through the library, first
 * with the status API (to say what went wrong), then shows the frozen wide-path
 * export that existing hosts call. The layout follows DESTINATION's extension. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "TarveloConvert.h"

static int EndsWith(const char* text, const char* suffix) {
  size_t text_length = strlen(text);
  size_t suffix_length = strlen(suffix);
  return text_length >= suffix_length && strcmp(text + text_length - suffix_length, suffix) == 0;
}

int main(int argc, char** argv) {
  char detail[256];
  TarveloStatus status;
  TarveloLayout layout;
  if (argc != 3) {
    fprintf(stderr, "usage: %s SOURCE DESTINATION.tga|.bmp\n", argv[0]);
    return 2;
  }
  layout = EndsWith(argv[2], ".bmp") ? TARVELO_LAYOUT_BMP : TARVELO_LAYOUT_TGA;
  status = TarveloConvert(argv[1], argv[2], layout, detail, sizeof detail);
  if (status != TARVELO_STATUS_CONVERTED) {
    fprintf(stderr, "%s: %s: %s%s%s\n", argv[0], argv[1], TarveloStatusMessage(status),
            detail[0] != '\0' ? ": " : "", detail);
    return 1;
  }
  {
    /* The frozen exports take wide paths and always return 999. */
    wchar_t wide_source[1024];
    wchar_t wide_destination[1024];
    if (mbstowcs(wide_source, argv[1], 1024) < 1024 && mbstowcs(wide_destination, argv[2], 1024) < 1024) {
      int32_t result = layout == TARVELO_LAYOUT_BMP ? TGA2BMP(wide_source, wide_destination)
                                                    : BMP2TGA(wide_source, wide_destination);
      printf("converted %s to %s (export returned %d)\n", argv[1], argv[2], (int)result);
    }
  }
  return 0;
}
