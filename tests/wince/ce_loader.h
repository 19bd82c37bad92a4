#pragma once
/* The stand-in CE loader (ce_loader.c): what it maps, and what the image called. */
#include <stddef.h>
#include <stdint.h>

#define CE_STACK_BYTES (64 * 1024)
#define CE_MAX_CALLS 16

struct ce_image {
  uint8_t* base;
  uint32_t preferred_base;
  void* entry;
  void* exports[3]; /* by ordinal: 1 BMP2TGA, 2 TGA2BMP */
  const char* export_names[3];
  const char* export_name;
  int export_count;
  int relocations;
};

struct ce_call {
  int ordinal;
  void* a;
  void* b;
  intptr_t c;
};

struct ce_calls {
  struct ce_call log[CE_MAX_CALLS]; /* the host framework's calls, in order */
  int count;
  void* module_state;         /* what ordinal 644 returns */
  int init_result;            /* what ordinal 655 returns */
  int allocation_fails;       /* ordinal 315 returns null */
  void* registration_storage; /* what ordinal 315 returns otherwise */
  int open_streams, open_blocks, open_handles, replacements;
  int refuse_replacement;     /* DeleteAndRenameFile fails, as for a destination another program holds */
  long fail_allocations_from; /* malloc of this many bytes or more fails (0: never) */
  int narrow_code_page, narrow_flags, narrow_capacity, narrow_units, narrow_fallback;
};
extern struct ce_calls ce_calls;

int ce_load(const uint8_t* file, size_t size, struct ce_image* image, char* why, size_t why_size);
intptr_t ce_call(void* function, intptr_t a, intptr_t b, intptr_t c);
