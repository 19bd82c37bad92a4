/* A C99 host program: the public headers compile as C, and a conversion through
 * the shared library writes exactly the expected files. It makes its own source
 * (a 3 x 2 PPM) in a fresh temporary directory and removes everything afterwards.
 * Exit status 0 when every check passes. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wchar.h>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"

static int failures = 0;

static void Check(int condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

/* The ASCII path widened character by character (the temporary directory is ASCII). */
static void Widen(const char* path, wchar_t* wide, size_t capacity) {
  size_t i = 0;
  for (; path[i] != '\0' && i + 1 < capacity; ++i) {
    wide[i] = (wchar_t)(unsigned char)path[i];
  }
  wide[i] = L'\0';
}

static int FileEquals(const char* path, const unsigned char* expected, size_t size) {
  unsigned char actual[256];
  size_t read = 0;
  FILE* file = fopen(path, "rb");
  if (file == NULL) {
    return 0;
  }
  read = fread(actual, 1, sizeof actual, file);
  fclose(file);
  return read == size && memcmp(actual, expected, size) == 0;
}

/* A write callback in C: appends to a fixed buffer, refuses what does not fit. */
typedef struct Collected {
  unsigned char bytes[256];
  size_t size;
} Collected;

static int Collect(void* context, const void* data, size_t size) {
  Collected* collected = (Collected*)context;
  if (size > sizeof collected->bytes - collected->size) {
    return 0;
  }
  memcpy(collected->bytes + collected->size, data, size);
  collected->size += size;
  return 1;
}

/* The programs' entry points from C: raw pixels to a buffer, bytes in memory to a
 * callback, info, options and layout names. */
static void CheckProgramsApi(const unsigned char* pixels, const unsigned char* ppm, size_t ppm_size,
                             const unsigned char* tga, size_t tga_size, const unsigned char* bmp,
                             size_t bmp_size) {
  TarveloOptions options;
  TarveloImageInfo info;
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  Collected collected;
  TarveloSource source = {.kind = TARVELO_SOURCE_PIXELS};
  TarveloOutput output = {.kind = TARVELO_OUTPUT_BUFFER};
  TarveloResult result;

  TarveloInitOptions(&options);
  Check(
      options.struct_size == sizeof options && options.allow_threads == 0 && options.max_decoded_pixels == 0,
      "options start at their defaults");
  source.data = pixels;
  source.width = 3;
  source.height = 2;
  source.channels = 3;
  Check(TarveloConvertImage(&source, &output, TARVELO_LAYOUT_TGA, &options, &result) ==
                TARVELO_STATUS_CONVERTED &&
            output.size == tga_size && memcmp(output.buffer, tga, tga_size) == 0,
        "raw pixels to a buffer");
  TarveloFree(output.buffer);

  collected.size = 0;
  source.kind = TARVELO_SOURCE_MEMORY;
  source.data = ppm;
  source.size = ppm_size;
  output.kind = TARVELO_OUTPUT_FUNC;
  output.write = Collect;
  output.context = &collected;
  Check(
      TarveloConvertImage(&source, &output, TARVELO_LAYOUT_BMP, NULL, &result) == TARVELO_STATUS_CONVERTED &&
          collected.size == bmp_size && memcmp(collected.bytes, bmp, bmp_size) == 0,
      "bytes in memory to a callback");
  Check(TarveloReadInfo(&source, &info, NULL) == TARVELO_STATUS_CONVERTED && info.width == 3 &&
            info.height == 2 && info.channels == 3 && strcmp(info.format, "PNM") == 0,
        "info from memory");
  source.size = ppm_size - 1;
  Check(TarveloConvertImage(&source, &output, TARVELO_LAYOUT_BMP, NULL, &result) ==
                TARVELO_STATUS_SOURCE_UNREADABLE &&
            result.status == TARVELO_STATUS_SOURCE_UNREADABLE && result.detail[0] != '\0',
        "a cut source is refused");

  Check(TarveloLayoutFromName("picture.BMP", &layout) == TARVELO_STATUS_CONVERTED &&
            layout == TARVELO_LAYOUT_BMP,
        "layout from a name");
  Check(strcmp(TarveloLibraryVersion(), TARVELO_VERSION_STRING) == 0 && TARVELO_VERSION_MAJOR >= 1,
        "version");
}

int main(void) {
  static const unsigned char kPixels[18] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
  /* Bottom row first, blue green red. */
  static const unsigned char kTga[18 + 18] = {0,  0,  2,  0,  0,  0,  0,  0,  0,  0, 0, 0, 3, 0, 2, 0, 24, 0,
                                              12, 11, 10, 15, 14, 13, 18, 17, 16, 3, 2, 1, 6, 5, 4, 9, 8,  7};
  static const unsigned char kBmp[54 + 24] = {
      'B', 'M', 78, 0,  0,  0,  0,  0,  0,  0,  54, 0, 0, 0, 40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0,
      1,   0,   24, 0,  0,  0,  0,  0,  0,  0,  0,  0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0,   0,   12, 11, 10, 15, 14, 13, 18, 17, 16, 0, 0, 0, 3,  2, 1, 6, 5, 4, 9, 8, 7, 0, 0, 0};
  const char* base = getenv("TMPDIR") != NULL && getenv("TMPDIR")[0] != '\0' ? getenv("TMPDIR") : "/tmp";
  char dir[512];
  char source[600];
  char tga[600];
  char bmp[600];
  char missing[600];
  char detail[128];
  wchar_t wide_source[600];
  wchar_t wide_tga[600];
  wchar_t wide_missing[600];
  FILE* file = NULL;

  if (snprintf(dir, sizeof dir, "%s/tarvelo-c-host-XXXXXX", base) >= (int)sizeof dir ||
      mkdtemp(dir) == NULL) {
    fprintf(stderr, "cannot make a temporary directory under %s\n", base);
    return 1;
  }
  snprintf(source, sizeof source, "%s/in.ppm", dir);
  snprintf(tga, sizeof tga, "%s/out.tga", dir);
  snprintf(bmp, sizeof bmp, "%s/out.bmp", dir);
  snprintf(missing, sizeof missing, "%s/missing.png", dir);
  file = fopen(source, "wb");
  Check(file != NULL && fputs("P6\n3 2\n255\n", file) >= 0 &&
            fwrite(kPixels, 1, sizeof kPixels, file) == sizeof kPixels,
        "write the PPM source");
  if (file != NULL) {
    fclose(file);
  }
  Widen(source, wide_source, 600);
  Widen(tga, wide_tga, 600);
  Widen(missing, wide_missing, 600);

  Check(BMP2TGA(wide_source, wide_tga) == 999, "BMP2TGA returns 999");
  Check(FileEquals(tga, kTga, sizeof kTga), "TGA bytes");
  Check(TarveloConvert(source, bmp, TARVELO_LAYOUT_BMP, detail, sizeof detail) == TARVELO_STATUS_CONVERTED,
        "TarveloConvert converts");
  Check(FileEquals(bmp, kBmp, sizeof kBmp), "BMP bytes");

  Check(TGA2BMP(wide_missing, wide_tga) == 999, "TGA2BMP returns 999 on failure");
  Check(FileEquals(tga, kTga, sizeof kTga), "failed conversion leaves the TGA alone");
  Check(TarveloConvert(missing, tga, TARVELO_LAYOUT_TGA, detail, sizeof detail) ==
            TARVELO_STATUS_SOURCE_UNREADABLE,
        "missing source reported");
  Check(strcmp(TarveloStatusMessage(TARVELO_STATUS_SOURCE_UNREADABLE), "source unreadable") == 0,
        "status message");

  {
    unsigned char ppm[11 + 18];
    memcpy(ppm, "P6\n3 2\n255\n", 11);
    memcpy(ppm + 11, kPixels, sizeof kPixels);
    CheckProgramsApi(kPixels, ppm, sizeof ppm, kTga, sizeof kTga, kBmp, sizeof kBmp);
  }

  remove(source);
  remove(tga);
  remove(bmp);
  Check(rmdir(dir) == 0, "only the expected files were created");
  if (failures == 0) {
    puts("C host: all checks passed");
  }
  return failures == 0 ? 0 : 1;
}
