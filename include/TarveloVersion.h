/*
 * TarveloVersion.h: the library's version record and string table, readable on
 * every platform.
 *
 * On Windows the DLL carries them as module resources as well (read them with
 * GetFileVersionInfoW/VerQueryValueW and LoadStringW); these functions return the
 * same values, from one table compiled into the library, on Linux too. The
 * version numbers come from the build's project version.
 *
 * Everything returned is static and read-only: never free or modify it. All
 * functions are safe to call from any thread at any time after the library is
 * loaded.
 */
#ifndef TARVELO_VERSION_H
#define TARVELO_VERSION_H

#include "TarveloImageTGA.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One value of the version record's string block, e.g. {"InternalName", "TarveloImageTGA"}.
 * A value that is present but empty is "" (never NULL). Strings are UTF-8. */
typedef struct TarveloVersionString {
  const char* name;
  const char* value;
} TarveloVersionString;

/* The version record, field for field as the Windows version resource holds it. */
typedef struct TarveloVersionRecord {
  uint16_t file_version[4];    /* major, minor, patch, build: 1, 0, 0, 1 */
  uint16_t product_version[4]; /* the same numbers */
  uint32_t file_flags_mask;    /* 0x3F */
  uint32_t file_flags;         /* 0: no debug, pre-release, patched or special build */
  uint32_t file_os;            /* 0x4: 32-bit Windows */
  uint32_t file_type;          /* 0x2: dynamic-link library */
  uint32_t file_subtype;       /* 0 */
  const char* string_block;    /* "040904B0": US English, Unicode */
  /* The block's values in resource order: CompanyName, FileDescription,
   * FileVersion ("1, 0, 0, 1"), InternalName, LegalCopyright, LegalTrademarks,
   * OriginalFilename, ProductName, ProductVersion, OLESelfRegister. */
  const TarveloVersionString* strings;
  size_t string_count;
  uint16_t translation_language;  /* 0x409: US English */
  uint16_t translation_code_page; /* 1200: Unicode */
} TarveloVersionRecord;

/* The version record. Never NULL. */
TARVELO_API const TarveloVersionRecord* TARVELO_CALL TarveloGetVersionRecord(void);

/* The version as dotted text, "1.0.0.1". Never NULL. */
TARVELO_API const char* TARVELO_CALL TarveloGetVersionText(void);

/* Entry `id` of the module's string table (US English), or NULL when there is no
 * such entry. The table holds one entry: 101, "Windows sockets initialization failed.". */
TARVELO_API const char* TARVELO_CALL TarveloGetResourceString(uint32_t id);

#ifdef __cplusplus
}
#endif

#endif /* TARVELO_VERSION_H */
