// Reserves the parts of the 32-bit address space that Wine needs before its
// 32-bit loader runs, and tells Wine about them. scripts/wine32.sh builds it and
// preloads it into the loader (qemu-i386 -E LD_PRELOAD=...).
//
// Natively a small static program (Wine's preloader) does this before the dynamic
// loader maps anything; Debian ships none for 32 bits, and under qemu-i386 Wine's
// own fallback, which reserves the space in ever smaller steps, is both slow (every
// step is an emulated system call) and unreliable: qemu takes MAP_FIXED_NOREPLACE
// as a hint, so the fallback keeps whatever addresses qemu hands back, and a later
// mapping can land on the shared user data page at 0x7ffe0000, which Wine must map
// at that address or give up. By the time this constructor runs, only the loader,
// the dynamic loader and the C library are mapped, none of them in these ranges;
// that is checked rather than assumed: each range is asked for at its address
// without MAP_FIXED (which would replace whatever is there), and kept only if it
// was mapped there.
//
// It is built for i386 without the C library, so that no i386 headers, start files
// or libraries are needed: system calls are made with `int $0x80`.
//   gcc -m32 -shared -nostdlib -fno-stack-protector -fPIC -O2 -o wine32-preload.so wine32-preload.c

#include <stddef.h>

struct preload_range {
  void* address;
  size_t size;
};

// Wine's list: ascending, ended by an empty range. Wine releases each range as it
// takes it over.
static struct preload_range reserved[] = {
    {(void*)0x00010000, 0x00100000},  // the DOS area
    {(void*)0x7f000000, 0x03000000},  // top-down allocations and the shared user data page
    {NULL, 0},
};

// Wine looks this name up with dlsym(RTLD_DEFAULT, ...). Its loader defines the
// same pointer, and the first definition in the global scope (the loader's) is the
// one found; a store to this interposable name goes through the global offset
// table to that same definition, so it reaches Wine either way.
__attribute__((visibility("default"))) struct preload_range* wine_main_preload_info = NULL;

enum {
  kSysWrite = 4,
  kSysOldMmap = 90,  // takes its six arguments in memory, so one register suffices
  kSysMunmap = 91,
  kProtNone = 0,
  kMapPrivate = 0x02,
  kMapAnonymous = 0x20,
  kMapNoReserve = 0x4000,
};

static long SystemCall3(long number, long a, long b, long c) {
  long result;
  __asm__ volatile("int $0x80" : "=a"(result) : "0"(number), "b"(a), "c"(b), "d"(c) : "memory");
  return result;
}

static int IsError(long result) { return (unsigned long)result > (unsigned long)-4096L; }

static void Say(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  SystemCall3(kSysWrite, 2, (long)text, (long)length);
}

static int Reserve(const struct preload_range* range) {
  unsigned long arguments[6] = {(unsigned long)range->address,
                                range->size,
                                kProtNone,
                                kMapPrivate | kMapAnonymous | kMapNoReserve,
                                (unsigned long)-1,
                                0};
  const long result = SystemCall3(kSysOldMmap, (long)arguments, 0, 0);
  if (IsError(result)) return 0;
  if ((void*)result == range->address) return 1;
  SystemCall3(kSysMunmap, result, (long)range->size, 0);  // placed elsewhere: something is there
  return 0;
}

// The environment stays the process's own array: removing LD_PRELOAD here keeps it
// from Wine's environment and so from every process Wine starts (64-bit ones could
// not load an i386 object).
static void ForgetPreload(char** environment) {
  static const char kName[] = "LD_PRELOAD=";
  char** kept = environment;
  for (char** entry = environment; *entry != NULL; ++entry) {
    size_t i = 0;
    while (kName[i] != '\0' && (*entry)[i] == kName[i]) ++i;
    if (kName[i] != '\0') *kept++ = *entry;
  }
  *kept = NULL;
}

__attribute__((constructor)) static void ReserveWineRanges(int argc, char** argv, char** environment) {
  (void)argc;
  (void)argv;
  size_t kept = 0;
  for (size_t i = 0; reserved[i].size != 0; ++i) {
    if (Reserve(&reserved[i])) {
      reserved[kept++] = reserved[i];
    } else {
      Say("wine32-preload: an address range Wine needs is already in use\n");
    }
  }
  reserved[kept].address = NULL;
  reserved[kept].size = 0;
  // With nothing reserved, Wine does without, as it would with no preloader.
  if (kept != 0) wine_main_preload_info = reserved;
  if (environment != NULL) ForgetPreload(environment);
}
