/* The module's version record and string table, shared by the Windows resource
   script (module_resources.rc) and the table in the code (TarveloVersion.cpp), so
   that both carry the same values. Preprocessor definitions only: the resource
   compiler reads this file too. */
#ifndef TARVELO_MODULE_RESOURCES_H
#define TARVELO_MODULE_RESOURCES_H

#include "version_numbers.h"

/* Fixed part of the version record. */
#define TARVELO_RES_FILE_FLAGS_MASK 0x3F /* every defined flag bit is meaningful */
#define TARVELO_RES_FILE_FLAGS 0x0       /* no debug, pre-release, patched or special build */
#define TARVELO_RES_FILE_OS 0x4          /* 32-bit Windows */
#define TARVELO_RES_FILE_TYPE 0x2        /* dynamic-link library */
#define TARVELO_RES_FILE_SUBTYPE 0x0

/* The one string block: US English, Unicode; and its translation entry. */
#define TARVELO_RES_STRING_BLOCK "040904B0"
#define TARVELO_RES_LANGUAGE 0x409
#define TARVELO_RES_CODE_PAGE 1200

#define TARVELO_RES_COMPANY_NAME ""
#define TARVELO_RES_FILE_DESCRIPTION "TarveloImageTGA DLL"
#define TARVELO_RES_INTERNAL_NAME "TarveloImageTGA"
#define TARVELO_RES_LEGAL_COPYRIGHT "Copyright (c) 2026 The TarveloImageTGA developers"
#define TARVELO_RES_LEGAL_TRADEMARKS ""
#define TARVELO_RES_ORIGINAL_FILENAME "TarveloImageTGA.DLL"
#define TARVELO_RES_PRODUCT_NAME "TarveloImageTGA Dynamic Link Library"
#define TARVELO_RES_OLE_SELF_REGISTER ""

/* String table, US English. No code of the module loads the entry; it is carried
   for hosts that look it up. */
#define TARVELO_RES_STRING_SOCKETS_INIT_FAILED 101
#define TARVELO_RES_TEXT_SOCKETS_INIT_FAILED "Windows sockets initialization failed."

#endif
