/* A consumer of the installed library, in C99: writes a 3x2 PPM, converts it to
 * TGA and BMP, and checks the files' sizes. Usage: consumer OUTPUT_DIR */
#include <TarveloConvert.h>
#include <TarveloImageTGA.h>
#include <stdio.h>
#include <string.h>

static long FileSize(const char* path) {
  long size = -1;
  FILE* file = fopen(path, "rb");
  if (file != NULL) {
    if (fseek(file, 0, SEEK_END) == 0) {
      size = ftell(file);
    }
    fclose(file);
  }
  return size;
}

int main(int argc, char** argv) {
  static const unsigned char kPixels[18] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  char source[512];
  char tga[512];
  char bmp[512];
  char detail[128];
  FILE* file;
  TarveloStatus status;
  if (argc != 2 || strlen(argv[1]) > 400) {
    fprintf(stderr, "usage: consumer OUTPUT_DIR\n");
    return 2;
  }
  snprintf(source, sizeof source, "%s/c-source.ppm", argv[1]);
  snprintf(tga, sizeof tga, "%s/c-out.tga", argv[1]);
  snprintf(bmp, sizeof bmp, "%s/c-out.bmp", argv[1]);
  file = fopen(source, "wb");
  if (file == NULL || fputs("P6\n3 2\n255\n", file) < 0 ||
      fwrite(kPixels, 1, sizeof kPixels, file) != sizeof kPixels) {
    fprintf(stderr, "cannot write %s\n", source);
    return 1;
  }
  fclose(file);
  status = TarveloConvert(source, tga, TARVELO_LAYOUT_TGA, detail, sizeof detail);
  if (status != TARVELO_STATUS_CONVERTED || FileSize(tga) != 18 + 3 * 2 * 3) {
    fprintf(stderr, "TGA: %s %s\n", TarveloStatusMessage(status), detail);
    return 1;
  }
  status = TarveloConvert(source, bmp, TARVELO_LAYOUT_BMP, NULL, 0);
  if (status != TARVELO_STATUS_CONVERTED || FileSize(bmp) != 54 + 12 * 2) {
    fprintf(stderr, "BMP: %s\n", TarveloStatusMessage(status));
    return 1;
  }
  puts("C consumer: converted");
  return 0;
}
