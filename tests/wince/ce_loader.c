#define _GNU_SOURCE
/* A stand-in Windows CE loader for the CE image, as an armel Linux program run under
 * qemu-arm (XScale): maps the image away from its preferred base, applies its base
 * relocations, binds COREDLL's names and the host framework's ordinals to the
 * stand-ins below (refusing anything else), and calls the entry point and the
 * exports on a 64 KiB stack. ce_loader_test.c drives it. */
#include "ce_loader.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

struct ce_calls ce_calls;
static uint32_t last_error;

/* ---- text: CE's wide strings are UTF-16, code page 0 stands for Windows-1252 ---- */
static const uint16_t cp1252_high[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                         0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                         0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                         0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

static size_t ce_wcslen(const uint16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

static int to_1252(uint16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit < 0x100)) return unit;
  for (int i = 0; i < 32; ++i)
    if (cp1252_high[i] == unit && unit != 0) return 0x80 + i;
  return '?';
}

static int ce_wide_to_multi(unsigned code_page, uint32_t flags, const uint16_t* wide, int units, char* out,
                            int capacity, const char* fallback, int* used) {
  ce_calls.narrow_code_page = (int)code_page;
  ce_calls.narrow_flags = (int)flags;
  ce_calls.narrow_capacity = capacity;
  ce_calls.narrow_units = units;
  ce_calls.narrow_fallback = fallback != NULL || used != NULL;
  if (code_page != 0 && code_page != 1252) return 0;
  int n = units < 0 ? (int)ce_wcslen(wide) + 1 : units;
  if (capacity == 0) return n;
  if (n > capacity) return 0;
  for (int i = 0; i < n; ++i) out[i] = (char)to_1252(wide[i]);
  return n;
}

static int ce_multi_to_wide(unsigned code_page, uint32_t flags, const char* text, int bytes, uint16_t* out,
                            int capacity) {
  (void)flags;
  if (code_page != 0) return 0;
  int n = bytes < 0 ? (int)strlen(text) + 1 : bytes;
  if (capacity == 0) return n;
  if (n > capacity) return 0;
  for (int i = 0; i < n; ++i) {
    unsigned char c = (unsigned char)text[i];
    out[i] = c >= 0x80 && c < 0xA0 ? cp1252_high[c - 0x80] : c;
  }
  return n;
}

/* A CE path (UTF-16) as the Linux path of the test: UTF-8. */
static char* linux_path(const uint16_t* wide) {
  size_t n = ce_wcslen(wide);
  char* out = malloc(3 * n + 1);
  char* p = out;
  for (size_t i = 0; i < n; ++i) {
    uint16_t u = wide[i];
    if (u < 0x80)
      *p++ = (char)u;
    else if (u < 0x800) {
      *p++ = (char)(0xC0 | (u >> 6));
      *p++ = (char)(0x80 | (u & 0x3F));
    } else {
      *p++ = (char)(0xE0 | (u >> 12));
      *p++ = (char)(0x80 | ((u >> 6) & 0x3F));
      *p++ = (char)(0x80 | (u & 0x3F));
    }
  }
  *p = 0;
  return out;
}

/* ---- files ---- */
static uint32_t error_of(int e) {
  return e == ENOENT ? 2 : e == ENOTDIR ? 3 : e == EEXIST ? 80 : e == ENOSPC ? 112 : 5;
}

static uint32_t ce_get_attributes(const uint16_t* path) {
  char* p = linux_path(path);
  struct stat s;
  int r = stat(p, &s);
  free(p);
  if (r != 0) {
    last_error = error_of(errno);
    return 0xFFFFFFFFu;
  }
  if (S_ISDIR(s.st_mode)) return 0x10;
  return (s.st_mode & 0200) ? 0x80 : 0x1;
}

static void* ce_create_file(const uint16_t* path, uint32_t access, uint32_t share, void* security,
                            uint32_t creation, uint32_t attributes, void* pattern) {
  (void)access;
  (void)share;
  (void)security;
  (void)attributes;
  (void)pattern;
  if (creation != 1) {
    last_error = 87;
    return (void*)-1;
  } /* only CREATE_NEW is used */
  char* p = linux_path(path);
  int fd = open(p, O_CREAT | O_EXCL | O_WRONLY, 0644);
  free(p);
  if (fd < 0) {
    last_error = error_of(errno);
    return (void*)-1;
  }
  ++ce_calls.open_handles;
  return (void*)(intptr_t)(fd + 1);
}

static int ce_close_handle(void* handle) {
  --ce_calls.open_handles;
  return close((int)(intptr_t)handle - 1) == 0;
}

/* CE: MoveFileW never replaces; DeleteFileW fails on a read-only file. */
static int ce_move_file(const uint16_t* from, const uint16_t* to) {
  char* f = linux_path(from);
  char* t = linux_path(to);
  struct stat s;
  int ok = stat(t, &s) != 0 && rename(f, t) == 0;
  if (!ok) last_error = 183;
  free(f);
  free(t);
  return ok;
}

static int ce_delete_file(const uint16_t* path) {
  char* p = linux_path(path);
  struct stat s;
  int ok = stat(p, &s) == 0 && (s.st_mode & 0200) && unlink(p) == 0;
  if (!ok) last_error = 5;
  free(p);
  return ok;
}

static int ce_delete_and_rename(const uint16_t* target, const uint16_t* replacement) {
  char* t = linux_path(target);
  char* r = linux_path(replacement);
  struct stat s;
  int ok = !ce_calls.refuse_replacement && stat(t, &s) == 0 && (s.st_mode & 0200) && rename(r, t) == 0;
  if (!ok) last_error = 5;
  free(t);
  free(r);
  ++ce_calls.replacements;
  return ok;
}

static FILE* ce_wfopen(const uint16_t* path, const uint16_t* mode) {
  char* p = linux_path(path);
  char* m = linux_path(mode);
  FILE* f = strchr(m, 'b') != NULL ? fopen(p, m) : NULL; /* text mode would change bytes on CE */
  free(p);
  free(m);
  if (f != NULL) ++ce_calls.open_streams;
  return f;
}

static int ce_fclose(FILE* f) {
  --ce_calls.open_streams;
  return fclose(f);
}

/* ---- heap, counted ---- */
static void* ce_malloc(size_t n) {
  if (ce_calls.fail_allocations_from > 0 && n >= (size_t)ce_calls.fail_allocations_from) return NULL;
  void* p = malloc(n);
  if (p != NULL) ++ce_calls.open_blocks;
  return p;
}
static void* ce_realloc(void* p, size_t n) {
  void* q = realloc(p, n);
  if (p == NULL && q != NULL) ++ce_calls.open_blocks;
  return q;
}
static void ce_free(void* p) {
  if (p != NULL) --ce_calls.open_blocks;
  free(p);
}

/* ---- compiler helpers under COREDLL's names ---- */
static uint64_t rt_sdiv(int32_t divisor, int32_t dividend) {
  return (uint32_t)(dividend / divisor) | ((uint64_t)(uint32_t)(dividend % divisor) << 32);
}
static uint64_t rt_udiv(uint32_t divisor, uint32_t dividend) {
  return (dividend / divisor) | ((uint64_t)(dividend % divisor) << 32);
}
static float s_add(float a, float b) { return a + b; }
static float s_sub(float a, float b) { return a - b; }
static float s_mul(float a, float b) { return a * b; }
static float s_div(float a, float b) { return a / b; }
static int s_gt(float a, float b) { return a > b; }
static int s_lt(float a, float b) { return a < b; }
static int s_ge(float a, float b) { return a >= b; }
static int s_le(float a, float b) { return a <= b; }
static int s_eq(float a, float b) { return a == b; }
static int s_ne(float a, float b) { return a != b; }
static int s_toi(float a) { return (int)a; }
static unsigned s_tou(float a) { return (unsigned)a; }
static float i_tos(int a) { return (float)a; }
static float u_tos(unsigned a) { return (float)a; }
static double s_tod(float a) { return a; }
static float d_tos(double a) { return (float)a; }
static double d_add(double a, double b) { return a + b; }
static double d_sub(double a, double b) { return a - b; }
static double d_mul(double a, double b) { return a * b; }
static double d_div(double a, double b) { return a / b; }
static int d_toi(double a) { return (int)a; }
static double i_tod(int a) { return a; }
static int d_gt(double a, double b) { return a > b; }
static int d_lt(double a, double b) { return a < b; }
static long ce_cas(long* target, long exchange, long comparand) {
  return __sync_val_compare_and_swap(target, comparand, exchange);
}
static long ce_exchange(long* target, long value) { return __sync_lock_test_and_set(target, value); }
static uint32_t ce_get_last_error(void) { return last_error; }
static uint32_t ce_tick_count(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}
static void ce_sleep(uint32_t milliseconds) {
  const struct timespec moment = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
  nanosleep(&moment, NULL);
}
static int ce_vsnprintf(char* out, size_t n, const char* format, va_list arguments) {
  int r = vsnprintf(out, n, format, arguments);
  return r >= 0 && (size_t)r >= n ? -1 : r; /* CE's: -1 when cut, no terminator promised */
}

static const struct {
  const char* name;
  void* address;
} coredll[] = {{"CloseHandle", ce_close_handle},
               {"CreateFileW", ce_create_file},
               {"DeleteAndRenameFile", ce_delete_and_rename},
               {"DeleteFileW", ce_delete_file},
               {"GetFileAttributesW", ce_get_attributes},
               {"GetLastError", ce_get_last_error},
               {"GetTickCount", ce_tick_count},
               {"InterlockedCompareExchange", ce_cas},
               {"InterlockedExchange", ce_exchange},
               {"MoveFileW", ce_move_file},
               {"MultiByteToWideChar", ce_multi_to_wide},
               {"Sleep", ce_sleep},
               {"WideCharToMultiByte", ce_wide_to_multi},
               {"_vsnprintf", ce_vsnprintf},
               {"_wfopen", ce_wfopen},
               {"fclose", ce_fclose},
               {"ferror", ferror},
               {"fflush", fflush},
               {"fread", fread},
               {"free", ce_free},
               {"fseek", fseek},
               {"ftell", ftell},
               {"fwrite", fwrite},
               {"ldexp", ldexp},
               {"malloc", ce_malloc},
               {"memchr", memchr},
               {"memcmp", memcmp},
               {"memcpy", memcpy},
               {"memmove", memmove},
               {"memset", memset},
               {"pow", pow},
               {"realloc", ce_realloc},
               {"strcmp", strcmp},
               {"strlen", strlen},
               {"strrchr", strrchr},
               {"strtol", strtol},
               {"wcslen", ce_wcslen},
               {"__rt_sdiv", rt_sdiv},
               {"__rt_udiv", rt_udiv},
               {"__adds", s_add},
               {"__subs", s_sub},
               {"__muls", s_mul},
               {"__divs", s_div},
               {"__gts", s_gt},
               {"__lts", s_lt},
               {"__ges", s_ge},
               {"__les", s_le},
               {"__eqs", s_eq},
               {"__nes", s_ne},
               {"__stoi", s_toi},
               {"__stou", s_tou},
               {"__itos", i_tos},
               {"__utos", u_tos},
               {"__stod", s_tod},
               {"__dtos", d_tos},
               {"__addd", d_add},
               {"__subd", d_sub},
               {"__muld", d_mul},
               {"__divd", d_div},
               {"__dtoi", d_toi},
               {"__itod", i_tod},
               {"__gtd", d_gt},
               {"__ltd", d_lt}};

/* ---- the host framework's five ordinals, recorded ---- */
static void record(int ordinal, void* a, void* b, intptr_t c) {
  if (ce_calls.count < CE_MAX_CALLS) {
    struct ce_call* call = &ce_calls.log[ce_calls.count++];
    call->ordinal = ordinal;
    call->a = a;
    call->b = b;
    call->c = c;
  }
}
static void* fw_module_state(void) {
  record(644, 0, 0, 0);
  return ce_calls.module_state;
}
static int fw_init(void* r, void* instance) {
  record(655, r, instance, 0);
  return ce_calls.init_result;
}
static void* fw_allocate(size_t n) {
  record(315, 0, 0, (intptr_t)n);
  return ce_calls.allocation_fails ? NULL : ce_calls.registration_storage;
}
static void fw_construct(void* storage, void* r, int system) { record(88, storage, r, system); }
static void fw_term(void* r, int all) { record(699, r, 0, all); }

static void* framework_ordinal(uint16_t ordinal) {
  switch (ordinal) {
    case 644: return fw_module_state;
    case 655: return fw_init;
    case 315: return fw_allocate;
    case 88: return fw_construct;
    case 699: return fw_term;
    default: return NULL;
  }
}

/* ---- the image ---- */
static uint32_t u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
static uint16_t u16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

int ce_load(const uint8_t* file, size_t size, struct ce_image* image, char* why, size_t why_size) {
#define REFUSE(...)                       \
  do {                                    \
    snprintf(why, why_size, __VA_ARGS__); \
    return 0;                             \
  } while (0)
  if (size < 0x40 || file[0] != 'M' || file[1] != 'Z') REFUSE("no MZ header");
  const uint8_t* pe = file + u32(file + 0x3C);
  if (pe + 0xF8 > file + size || memcmp(pe, "PE\0\0", 4) != 0) REFUSE("no PE header");
  if (u16(pe + 4) != 0x1C0) REFUSE("machine 0x%x is not ARM", u16(pe + 4));
  const uint8_t* opt = pe + 24;
  uint32_t image_size = u32(opt + 56), headers = u32(opt + 60), preferred = u32(opt + 28);
  uint8_t* base =
      mmap(NULL, image_size, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) REFUSE("no memory");
  if ((uintptr_t)base == preferred) REFUSE("mapped at the preferred base: relocations untested");
  memcpy(base, file, headers);
  const uint8_t* section = opt + u16(pe + 20);
  for (int i = 0; i < u16(pe + 6); ++i, section += 40) {
    uint32_t raw = u32(section + 16), at = u32(section + 20);
    if (raw != 0) memcpy(base + u32(section + 12), file + at, raw);
  }
  /* base relocations: ARM images use HIGHLOW (3) only */
  uint32_t delta = (uint32_t)(uintptr_t)base - preferred;
  const uint8_t* reloc = base + u32(opt + 96 + 5 * 8);
  const uint8_t* reloc_end = reloc + u32(opt + 96 + 5 * 8 + 4);
  image->relocations = 0;
  while (reloc < reloc_end && u32(reloc + 4) >= 8) {
    uint32_t page = u32(reloc), block = u32(reloc + 4);
    for (uint32_t k = 8; k < block; k += 2) {
      uint16_t entry = u16(reloc + k);
      if (entry >> 12 == 3) {
        uint8_t* at = base + page + (entry & 0xFFF);
        uint32_t value = u32(at) + delta;
        memcpy(at, &value, 4);
        ++image->relocations;
      } else if (entry >> 12 != 0) {
        REFUSE("relocation type %d", entry >> 12);
      }
    }
    reloc += block;
  }
  /* imports: COREDLL by name, the framework by ordinal, nothing else */
  for (const uint8_t* d = base + u32(opt + 96 + 8); u32(d + 12) != 0; d += 20) {
    const char* dll = (const char*)base + u32(d + 12);
    int is_core = strcasecmp(dll, "COREDLL.dll") == 0, is_framework = strcasecmp(dll, "mfcce300.dll") == 0;
    if (!is_core && !is_framework) REFUSE("imports %s", dll);
    uint32_t* slot = (uint32_t*)(base + u32(d + 16));
    const uint8_t* names = base + (u32(d) != 0 ? u32(d) : u32(d + 16));
    for (; u32(names) != 0; names += 4, ++slot) {
      uint32_t thunk = u32(names);
      void* target = NULL;
      if (thunk & 0x80000000u) {
        if (!is_framework) REFUSE("%s imported by ordinal", dll);
        target = framework_ordinal((uint16_t)thunk);
        if (target == NULL) REFUSE("%s ordinal %u", dll, thunk & 0xFFFF);
      } else {
        const char* name = (const char*)base + thunk + 2;
        if (!is_core) REFUSE("%s imported by name (%s)", dll, name);
        for (size_t j = 0; j < sizeof coredll / sizeof coredll[0] && target == NULL; ++j)
          if (strcmp(coredll[j].name, name) == 0) target = coredll[j].address;
        if (target == NULL) REFUSE("COREDLL.dll has no %s", name);
      }
      *slot = (uint32_t)(uintptr_t)target;
    }
  }
  /* exports by ordinal, and their names */
  const uint8_t* exports = base + u32(opt + 96);
  image->export_name = (const char*)base + u32(exports + 12);
  uint32_t ordinal_base = u32(exports + 16), functions = u32(exports + 20), named = u32(exports + 24);
  image->export_count = (int)functions;
  for (uint32_t n = 0; n < named && n < 8; ++n) {
    uint16_t index = u16(base + u32(exports + 36) + 2 * n);
    if (index + ordinal_base <= 2)
      image->export_names[index + ordinal_base] = (const char*)base + u32(base + u32(exports + 32) + 4 * n);
  }
  for (uint32_t i = 0; i < functions && i + ordinal_base <= 2; ++i)
    image->exports[i + ordinal_base] = base + u32(base + u32(exports + 28) + 4 * i);
  image->base = base;
  image->preferred_base = preferred;
  image->entry = base + u32(opt + 16);
  return 1;
#undef REFUSE
}

/* ---- calls on a 64 KiB stack, with a guard page below it ---- */
static ucontext_t caller, callee;
static intptr_t (*call_target)(intptr_t, intptr_t, intptr_t);
static intptr_t call_args[3], call_result;
static void trampoline(void) { call_result = call_target(call_args[0], call_args[1], call_args[2]); }

intptr_t ce_call(void* function, intptr_t a, intptr_t b, intptr_t c) {
  static uint8_t* stack;
  const size_t page = 4096;
  if (stack == NULL) {
    stack = mmap(NULL, CE_STACK_BYTES + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    mprotect(stack, page, PROT_NONE);
  }
  call_target = (intptr_t(*)(intptr_t, intptr_t, intptr_t))function;
  call_args[0] = a;
  call_args[1] = b;
  call_args[2] = c;
  getcontext(&callee);
  callee.uc_stack.ss_sp = stack + page;
  callee.uc_stack.ss_size = CE_STACK_BYTES;
  callee.uc_link = &caller;
  makecontext(&callee, trampoline, 0);
  swapcontext(&caller, &callee);
  return call_result;
}
