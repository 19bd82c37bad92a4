#include "TarveloVersion.h"

#include <cstdint>
#include <iterator>

#include "module/module_resources.h"

namespace tarvelo {
namespace {

constexpr TarveloVersionString kVersionStrings[] = {
    {"CompanyName", TARVELO_RES_COMPANY_NAME},           {"FileDescription", TARVELO_RES_FILE_DESCRIPTION},
    {"FileVersion", TARVELO_VERSION_RECORD_TEXT},        {"InternalName", TARVELO_RES_INTERNAL_NAME},
    {"LegalCopyright", TARVELO_RES_LEGAL_COPYRIGHT},     {"LegalTrademarks", TARVELO_RES_LEGAL_TRADEMARKS},
    {"OriginalFilename", TARVELO_RES_ORIGINAL_FILENAME}, {"ProductName", TARVELO_RES_PRODUCT_NAME},
    {"ProductVersion", TARVELO_VERSION_RECORD_TEXT},     {"OLESelfRegister", TARVELO_RES_OLE_SELF_REGISTER},
};

constexpr TarveloVersionRecord kVersionRecord = {
    .file_version = {TARVELO_VERSION_MAJOR, TARVELO_VERSION_MINOR, TARVELO_VERSION_PATCH,
                     TARVELO_VERSION_BUILD},
    .product_version = {TARVELO_VERSION_MAJOR, TARVELO_VERSION_MINOR, TARVELO_VERSION_PATCH,
                        TARVELO_VERSION_BUILD},
    .file_flags_mask = TARVELO_RES_FILE_FLAGS_MASK,
    .file_flags = TARVELO_RES_FILE_FLAGS,
    .file_os = TARVELO_RES_FILE_OS,
    .file_type = TARVELO_RES_FILE_TYPE,
    .file_subtype = TARVELO_RES_FILE_SUBTYPE,
    .string_block = TARVELO_RES_STRING_BLOCK,
    .strings = kVersionStrings,
    .string_count = std::size(kVersionStrings),
    .translation_language = TARVELO_RES_LANGUAGE,
    .translation_code_page = TARVELO_RES_CODE_PAGE,
};

}  // namespace
}  // namespace tarvelo

extern "C" {

TARVELO_API const TarveloVersionRecord* TarveloGetVersionRecord(void) { return &tarvelo::kVersionRecord; }

TARVELO_API const char* TarveloGetVersionText(void) { return TARVELO_VERSION_TEXT; }

// The string table's one entry.
TARVELO_API const char* TarveloGetResourceString(uint32_t id) {
  return id == TARVELO_RES_STRING_SOCKETS_INIT_FAILED ? TARVELO_RES_TEXT_SOCKETS_INIT_FAILED : nullptr;
}

}  // extern "C"
