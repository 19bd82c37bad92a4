#define _GNU_SOURCE
/* The CE image under the stand-in loader (ce_loader.c), on an emulated XScale:
 *   ce_loader_test IMAGE CONFORMANCE_DIR SCRATCH_DIR
 * CONFORMANCE_DIR holds manifest.txt (one name a line), NAME.src and what the Linux
 * library made of it, NAME.tga and NAME.bmp (tests/wince/make_conformance.py). */
#include "ce_loader.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static int passed, failed;
static struct ce_image image;
static const char* scratch;

#define CHECK(condition, ...)                                     \
  do {                                                            \
    if (condition) {                                              \
      ++passed;                                                   \
    } else {                                                      \
      ++failed;                                                   \
      printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #condition); \
      printf(__VA_ARGS__);                                        \
      printf("\n");                                               \
    }                                                             \
  } while (0)

static uint8_t* read_file(const char* path, size_t* size) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) return NULL;
  fseek(f, 0, SEEK_END);
  long n = ftell(f);
  fseek(f, 0, SEEK_SET);
  uint8_t* data = malloc((size_t)n + 1);
  *size = fread(data, 1, (size_t)n, f);
  fclose(f);
  return data;
}

static int same_file(const char* a, const char* b) {
  size_t na = 0, nb = 0;
  uint8_t* x = read_file(a, &na);
  uint8_t* y = read_file(b, &nb);
  int same = x != NULL && y != NULL && na == nb && memcmp(x, y, na) == 0;
  free(x);
  free(y);
  return same;
}

static void write_file(const char* path, const char* text) {
  FILE* f = fopen(path, "wb");
  fputs(text, f);
  fclose(f);
}

/* A UTF-8 path as CE's UTF-16 (static buffers, two at a time). */
static uint16_t* wide(const char* text) {
  static uint16_t buffers[2][1024];
  static int which;
  uint16_t* out = buffers[which ^= 1];
  size_t n = 0;
  for (const unsigned char* p = (const unsigned char*)text; *p != 0 && n < 1023;) {
    if (*p < 0x80)
      out[n++] = *p++;
    else if ((*p & 0xE0) == 0xC0) {
      out[n++] = (uint16_t)((p[0] & 0x1F) << 6 | (p[1] & 0x3F));
      p += 2;
    } else {
      out[n++] = (uint16_t)((p[0] & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F));
      p += 3;
    }
  }
  out[n] = 0;
  return out;
}

static int convert(int ordinal, const uint16_t* source, const uint16_t* destination) {
  return (int)ce_call(image.exports[ordinal], (intptr_t)source, (intptr_t)destination, 0);
}

static int entry(uint32_t reason) {
  return (int)ce_call(image.entry, (intptr_t)image.base, (intptr_t)reason, 0);
}

static void test_attach_and_detach(void) {
  static void* state[5];
  static uint8_t registration[64];
  void *first = (void*)0x1111, *second = (void*)0x2222;
  state[1] = first;
  state[3] = second;
  ce_calls.module_state = state;
  ce_calls.registration_storage = registration;
  ce_calls.init_result = 1;
  ce_calls.count = 0;
  CHECK(entry(1) == 1, "process attach succeeds");
  CHECK(ce_calls.count == 4, "four framework calls on attach, got %d", ce_calls.count);
  CHECK(ce_calls.log[0].ordinal == 644, "the module state first, got %d", ce_calls.log[0].ordinal);
  CHECK(state[0] == first && state[1] == NULL && state[2] == second && state[3] == NULL,
        "both list heads moved to their companion slots");
  void* record = ce_calls.log[1].a;
  CHECK(ce_calls.log[1].ordinal == 655 && ce_calls.log[1].b == image.base,
        "655 with the record and the instance");
  CHECK(record != NULL && (uint8_t*)record >= image.base, "the record lies in the image");
  CHECK(ce_calls.log[2].ordinal == 315 && ce_calls.log[2].c == 64, "315 with 64 bytes");
  CHECK(ce_calls.log[3].ordinal == 88 && ce_calls.log[3].a == registration && ce_calls.log[3].b == record &&
            ce_calls.log[3].c == 0,
        "88 with the storage, the same record and 0");
  ce_calls.count = 0;
  CHECK(entry(2) == 1 && entry(3) == 1 && ce_calls.count == 0, "thread attach and detach do nothing");
  CHECK(entry(0) == 1, "process detach succeeds");
  CHECK(ce_calls.count == 1 && ce_calls.log[0].ordinal == 699 && ce_calls.log[0].a == record &&
            ce_calls.log[0].c == 0,
        "detach terminates the same record, for it alone");

  /* A refused initialisation refuses the load and makes no registration. */
  ce_calls.count = 0;
  ce_calls.init_result = 0;
  CHECK(entry(1) == 0, "a failed initialisation refuses the load");
  CHECK(ce_calls.count == 2 && ce_calls.log[1].ordinal == 655, "nothing after 655, got %d calls",
        ce_calls.count);
  (void)entry(0);
  /* A failed allocation still loads, without a registration. */
  ce_calls.count = 0;
  ce_calls.init_result = 1;
  ce_calls.allocation_fails = 1;
  CHECK(entry(1) == 1, "the load succeeds without the registration's storage");
  CHECK(ce_calls.count == 3 && ce_calls.log[2].ordinal == 315, "no 88 without storage, got %d calls",
        ce_calls.count);
  ce_calls.allocation_fails = 0;
}

static void test_exports(void) {
  CHECK(strcmp(image.export_name, "TARVELOIMAGETGA.dll") == 0, "module name %s", image.export_name);
  CHECK(image.export_count == 2, "two exports, got %d", image.export_count);
  CHECK(image.export_names[1] != NULL && strcmp(image.export_names[1], "BMP2TGA") == 0,
        "ordinal 1 is BMP2TGA");
  CHECK(image.export_names[2] != NULL && strcmp(image.export_names[2], "TGA2BMP") == 0,
        "ordinal 2 is TGA2BMP");
  CHECK((uintptr_t)image.base != image.preferred_base && image.relocations > 0,
        "mapped away from its base, %d relocations applied", image.relocations);
}

static void expect_nothing_open(const char* what) {
  CHECK(ce_calls.open_streams == 0 && ce_calls.open_blocks == 0 && ce_calls.open_handles == 0,
        "%s leaves nothing open: %d streams, %d blocks, %d handles", what, ce_calls.open_streams,
        ce_calls.open_blocks, ce_calls.open_handles);
}

static void test_conformance(const char* dir) {
  char path[1024], source[1024], expected[1024], out[1024], name[256];
  snprintf(path, sizeof path, "%s/manifest.txt", dir);
  FILE* manifest = fopen(path, "r");
  CHECK(manifest != NULL, "%s", path);
  int count = 0;
  while (manifest != NULL && fscanf(manifest, "%255s", name) == 1) {
    snprintf(source, sizeof source, "%s/%s.src", dir, name);
    for (int ordinal = 1; ordinal <= 2; ++ordinal) {
      const char* extension = ordinal == 1 ? "tga" : "bmp";
      snprintf(expected, sizeof expected, "%s/%s.%s", dir, name, extension);
      snprintf(out, sizeof out, "%s/%s.%s", scratch, name, extension);
      remove(out);
      CHECK(convert(ordinal, wide(source), wide(out)) == 999, "%s returns 999", name);
      CHECK(same_file(out, expected), "%s to %s byte for byte as the Linux library", name, extension);
      expect_nothing_open(name);
      ++count;
    }
  }
  if (manifest != NULL) fclose(manifest);
  CHECK(count >= 8, "the conformance set has conversions, got %d", count);
  /* Narrowing: code page 0, no flags, the whole string, 2 x (n + 1) bytes, no default character. */
  CHECK(ce_calls.narrow_code_page == 0 && ce_calls.narrow_flags == 0 && ce_calls.narrow_units == -1 &&
            ce_calls.narrow_fallback == 0 && ce_calls.narrow_capacity == 2 * ((int)strlen(out) + 1),
        "narrowing as asked: page %d flags %d units %d capacity %d", ce_calls.narrow_code_page,
        ce_calls.narrow_flags, ce_calls.narrow_units, ce_calls.narrow_capacity);
}

static void test_failures(const char* dir) {
  char good[1024], kept[1024], missing_dir[1024], bad[1024], latin[1024];
  FILE* manifest;
  char name[256] = "";
  snprintf(good, sizeof good, "%s/manifest.txt", dir);
  manifest = fopen(good, "r");
  if (manifest != NULL) {
    (void)!fscanf(manifest, "%255s", name);
    fclose(manifest);
  }
  snprintf(good, sizeof good, "%s/%s.src", dir, name);
  snprintf(kept, sizeof kept, "%s/kept.tga", scratch);
  snprintf(bad, sizeof bad, "%s/bad.src", scratch);
  snprintf(missing_dir, sizeof missing_dir, "%s/no-such-dir/out.tga", scratch);
  write_file(bad, "not an image at all");
  for (int ordinal = 1; ordinal <= 2; ++ordinal) {
    write_file(kept, "the old destination");
    CHECK(convert(ordinal, NULL, wide(kept)) == 999, "null source");
    CHECK(convert(ordinal, wide("/no/such/source.png"), wide(kept)) == 999, "missing source");
    CHECK(convert(ordinal, wide(bad), wide(kept)) == 999, "bad source");
    CHECK(convert(ordinal, wide(good), NULL) == 999, "null destination");
    char expect[64];
    size_t n = 0;
    uint8_t* now = read_file(kept, &n);
    snprintf(expect, sizeof expect, "the old destination");
    CHECK(now != NULL && n == strlen(expect) && memcmp(now, expect, n) == 0, "the destination is as it was");
    free(now);
    CHECK(convert(ordinal, wide(good), wide(missing_dir)) == 999, "missing directory");
    struct stat s;
    CHECK(stat(missing_dir, &s) != 0, "nothing written into a missing directory");
    expect_nothing_open("a failed conversion");
    /* A read-only destination cannot be replaced: it stays, and no temporary file is left. */
    write_file(kept, "the old destination");
    chmod(kept, 0444);
    CHECK(convert(ordinal, wide(good), wide(kept)) == 999, "read-only destination");
    now = read_file(kept, &n);
    CHECK(now != NULL && n == strlen(expect) && memcmp(now, expect, n) == 0, "a read-only destination stays");
    free(now);
    chmod(kept, 0644);
    expect_nothing_open("a refused destination");
  }
  /* A source past the CE build's decoded-size cap (2^20 pixels): refused before
   * anything is written; the destination stays. */
  char large[1024];
  snprintf(large, sizeof large, "%s/large.pgm", scratch);
  FILE* pgm = fopen(large, "wb");
  fprintf(pgm, "P5\n1025 1024\n255\n");
  for (int i = 0; i < 1025 * 1024; ++i) fputc(i % 251, pgm);
  fclose(pgm);
  write_file(kept, "the old destination");
  ce_calls.open_blocks = 0;
  CHECK(convert(1, wide(large), wide(kept)) == 999, "a source over the cap");
  size_t kept_size = 0;
  uint8_t* kept_now = read_file(kept, &kept_size);
  CHECK(kept_now != NULL && kept_size == strlen("the old destination"),
        "a source over the cap writes nothing");
  free(kept_now);
  expect_nothing_open("a source over the cap");
  /* A name outside ASCII, in Windows-1252: converted under that name. */
  snprintf(latin, sizeof latin, "%s/caf\xc3\xa9 \xe2\x82\xac.bmp", scratch);
  CHECK(convert(2, wide(good), wide(latin)) == 999, "Windows-1252 name");
  struct stat s;
  CHECK(stat(latin, &s) == 0 && s.st_size > 54, "a Windows-1252 name is kept");
  expect_nothing_open("a Windows-1252 name");
  /* An existing destination is replaced whole (DeleteAndRenameFile), by the same bytes as a new one. */
  char expected[1024];
  snprintf(expected, sizeof expected, "%s/%s.tga", dir, name);
  write_file(kept,
             "an older and much longer destination than the converted image will be, so that a "
             "replacement that kept its tail would show");
  const int replaced_before = ce_calls.replacements;
  CHECK(convert(1, wide(good), wide(kept)) == 999 && same_file(kept, expected) &&
            ce_calls.replacements == replaced_before + 1,
        "an existing destination is replaced");
  /* A destination that cannot be replaced (held by another program) stays as it was. */
  write_file(kept, "the old destination");
  ce_calls.refuse_replacement = 1;
  CHECK(convert(1, wide(good), wide(kept)) == 999, "held destination");
  ce_calls.refuse_replacement = 0;
  size_t held_size = 0;
  uint8_t* held = read_file(kept, &held_size);
  CHECK(held != NULL && held_size == strlen("the old destination"), "a held destination stays");
  free(held);
  expect_nothing_open("a held destination");
  /* No conversion, failed or not, leaves its temporary file behind. */
  int temporaries = 0;
  DIR* listing = opendir(scratch);
  for (struct dirent* e; listing != NULL && (e = readdir(listing)) != NULL;)
    temporaries += strstr(e->d_name, ".tarvelo-") != NULL;
  if (listing != NULL) closedir(listing);
  CHECK(temporaries == 0, "%d temporary files left", temporaries);
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: ce_loader_test IMAGE CONFORMANCE_DIR SCRATCH_DIR\n");
    return 2;
  }
  scratch = argv[3];
  size_t size = 0;
  uint8_t* file = read_file(argv[1], &size);
  char why[256] = "";
  if (file == NULL || !ce_load(file, size, &image, why, sizeof why)) {
    printf("the image was refused: %s\n", why);
    return 1;
  }
  /* The loader refuses an image that imports anything else. */
  uint8_t* other = malloc(size);
  memcpy(other, file, size);
  uint8_t* name = memmem(other, size, "wcslen", 7);
  if (name != NULL) name[5] = 'x';
  struct ce_image refused;
  CHECK(name != NULL && !ce_load(other, size, &refused, why, sizeof why) && strstr(why, "wcslex") != NULL,
        "an image importing anything else is refused (%s)", why);
  free(other);
  test_exports();
  test_attach_and_detach();
  int blocks_before = ce_calls.open_blocks;
  ce_calls.open_blocks = 0;
  test_conformance(argv[2]);
  test_failures(argv[2]);
  (void)blocks_before;
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
