/* The library for programs: pixels the program made itself, an image read into
 * memory, and what an image holds.
 *
 *   tarvelo-example-programs SOURCE OUTPUT_DIRECTORY
 *
 * 1. draws a small RGBA gradient and writes it as OUTPUT_DIRECTORY/gradient.tga;
 * 2. reads SOURCE into memory, prints its info, converts the bytes to a BMP in a
 *    buffer and saves the buffer as OUTPUT_DIRECTORY/source.bmp. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TarveloConvert.h"

static int Report(const char* what, const TarveloResult* result) {
  if (result->status == TARVELO_STATUS_CONVERTED) {
    return 0;
  }
  fprintf(stderr, "%s: %s%s%s\n", what, TarveloStatusMessage(result->status),
          result->detail[0] != '\0' ? ": " : "", result->detail);
  return 1;
}

/* The whole file in a new buffer, or NULL. */
static unsigned char* ReadAll(const char* path, size_t* size) {
  unsigned char* bytes = NULL;
  long length = 0;
  FILE* file = fopen(path, "rb");
  if (file == NULL) {
    return NULL;
  }
  if (fseek(file, 0, SEEK_END) == 0 && (length = ftell(file)) > 0 && fseek(file, 0, SEEK_SET) == 0) {
    bytes = (unsigned char*)malloc((size_t)length);
    if (bytes != NULL && fread(bytes, 1, (size_t)length, file) != (size_t)length) {
      free(bytes);
      bytes = NULL;
    }
  }
  fclose(file);
  *size = (size_t)length;
  return bytes;
}

int main(int argc, char** argv) {
  enum { kWidth = 64, kHeight = 48 };
  static unsigned char rgba[kWidth * kHeight * 4];
  char path[4096];
  unsigned char* bytes = NULL;
  size_t bytes_size = 0;
  TarveloSource source = {.kind = TARVELO_SOURCE_PIXELS};
  TarveloOutput output = {.kind = TARVELO_OUTPUT_FILE};
  TarveloResult result;
  TarveloImageInfo info;
  FILE* out = NULL;
  int x = 0;
  int y = 0;

  if (argc != 3) {
    fprintf(stderr, "usage: %s SOURCE OUTPUT_DIRECTORY\n", argv[0]);
    return 2;
  }

  /* 1. Raw pixels to a file: red grows to the right, green downwards, alpha fades. */
  for (y = 0; y < kHeight; ++y) {
    for (x = 0; x < kWidth; ++x) {
      unsigned char* pixel = rgba + (y * kWidth + x) * 4;
      pixel[0] = (unsigned char)(x * 255 / (kWidth - 1));
      pixel[1] = (unsigned char)(y * 255 / (kHeight - 1));
      pixel[2] = 128;
      pixel[3] = (unsigned char)(255 - x * 2);
    }
  }
  snprintf(path, sizeof path, "%s/gradient.tga", argv[2]);
  source.data = rgba;
  source.width = kWidth;
  source.height = kHeight;
  source.channels = 4;
  output.path = path;
  if (TarveloConvertImage(&source, &output, TARVELO_LAYOUT_TGA, NULL, &result) != TARVELO_STATUS_CONVERTED &&
      Report(path, &result) != 0) {
    return 1;
  }
  printf("wrote %s\n", path);

  /* 2. Bytes in memory: what they hold, then a BMP in a buffer. */
  bytes = ReadAll(argv[1], &bytes_size);
  if (bytes == NULL) {
    fprintf(stderr, "%s: cannot read it\n", argv[1]);
    return 1;
  }
  source.kind = TARVELO_SOURCE_MEMORY;
  source.data = bytes;
  source.size = bytes_size;
  if (TarveloReadInfo(&source, &info, &result) != TARVELO_STATUS_CONVERTED && Report(argv[1], &result) != 0) {
    free(bytes);
    return 1;
  }
  printf("%s: %s, %d x %d, %d channel%s\n", argv[1], info.format, info.width, info.height, info.channels,
         info.channels == 1 ? "" : "s");
  output.kind = TARVELO_OUTPUT_BUFFER;
  TarveloConvertImage(&source, &output, TARVELO_LAYOUT_BMP, NULL, &result);
  free(bytes);
  if (Report(argv[1], &result) != 0) {
    return 1;
  }
  snprintf(path, sizeof path, "%s/source.bmp", argv[2]);
  out = fopen(path, "wb");
  if (out == NULL || fwrite(output.buffer, 1, output.size, out) != output.size) {
    fprintf(stderr, "%s: cannot write it\n", path);
    if (out != NULL) {
      fclose(out);
    }
    TarveloFree(output.buffer);
    return 1;
  }
  TarveloFree(output.buffer);
  if (fclose(out) != 0) {
    fprintf(stderr, "%s: cannot write it\n", path);
    return 1;
  }
  printf("wrote %s (%lu bytes)\n", path, (unsigned long)output.size);
  return 0;
}
