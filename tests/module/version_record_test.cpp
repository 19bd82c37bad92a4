// The version record and string table as the code carries them. The same values
// are checked in the Windows DLL's resources by the Windows tests and the PE check.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "TarveloConvert.h"
#include "TarveloVersion.h"

namespace tarvelo::test {
namespace {

// The project version the build was configured with, e.g. "1.0.0.1".
constexpr const char* kProjectVersion = TARVELO_EXPECTED_VERSION;

std::vector<uint16_t> ParseVersion(const std::string& text) {
  std::vector<uint16_t> parts;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t dot = text.find('.', start);
    parts.push_back(static_cast<uint16_t>(std::stoul(text.substr(start, dot - start))));
    if (dot == std::string::npos) {
      break;
    }
    start = dot + 1;
  }
  parts.resize(4, 0);
  return parts;
}

TEST(VersionRecordTest, NumbersComeFromTheProjectVersion) {
  const TarveloVersionRecord* record = TarveloGetVersionRecord();
  ASSERT_NE(record, nullptr);
  const std::vector<uint16_t> expected = ParseVersion(kProjectVersion);
  EXPECT_EQ(std::vector<uint16_t>(record->file_version, record->file_version + 4), expected);
  EXPECT_EQ(std::vector<uint16_t>(record->product_version, record->product_version + 4), expected);
  EXPECT_STREQ(TarveloGetVersionText(), kProjectVersion);
}

// The headers' macros and the programs' API say the same version as the record:
// one version, four parts, everywhere.
TEST(VersionRecordTest, HeaderMacrosAndLibraryVersionAreTheProjectVersion) {
  EXPECT_STREQ(TARVELO_VERSION_STRING, kProjectVersion);
  EXPECT_STREQ(TarveloLibraryVersion(), kProjectVersion);
  const std::vector<uint16_t> expected = ParseVersion(kProjectVersion);
  EXPECT_EQ((std::vector<uint16_t>{TARVELO_VERSION_MAJOR, TARVELO_VERSION_MINOR, TARVELO_VERSION_PATCH,
                                   TARVELO_VERSION_BUILD}),
            expected);
}

TEST(VersionRecordTest, FixedFieldsDescribeAWindowsDll) {
  const TarveloVersionRecord* record = TarveloGetVersionRecord();
  EXPECT_EQ(record->file_flags_mask, 0x3FU);
  EXPECT_EQ(record->file_flags, 0U);
  EXPECT_EQ(record->file_os, 0x4U);    // 32-bit Windows
  EXPECT_EQ(record->file_type, 0x2U);  // dynamic-link library
  EXPECT_EQ(record->file_subtype, 0U);
  EXPECT_STREQ(record->string_block, "040904B0");
  EXPECT_EQ(record->translation_language, 0x409);
  EXPECT_EQ(record->translation_code_page, 1200);
}

TEST(VersionRecordTest, StringBlockHoldsExactlyTheTenValuesInResourceOrder) {
  const TarveloVersionRecord* record = TarveloGetVersionRecord();
  std::vector<std::string> names;
  std::map<std::string, std::string> values;
  for (size_t i = 0; i < record->string_count; ++i) {
    ASSERT_NE(record->strings[i].name, nullptr);
    ASSERT_NE(record->strings[i].value, nullptr) << record->strings[i].name;
    names.emplace_back(record->strings[i].name);
    values[record->strings[i].name] = record->strings[i].value;
  }
  const std::vector<std::string> expected_names = {
      "CompanyName",     "FileDescription",  "FileVersion", "InternalName",   "LegalCopyright",
      "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion", "OLESelfRegister"};
  EXPECT_EQ(names, expected_names);

  const std::vector<uint16_t> numbers = ParseVersion(kProjectVersion);
  const std::string record_version = std::to_string(numbers[0]) + ", " + std::to_string(numbers[1]) + ", " +
                                     std::to_string(numbers[2]) + ", " + std::to_string(numbers[3]);
  EXPECT_EQ(values["CompanyName"], "");
  EXPECT_EQ(values["FileDescription"], "TarveloImageTGA DLL");
  EXPECT_EQ(values["FileVersion"], record_version);
  EXPECT_EQ(values["InternalName"], "TarveloImageTGA");
  EXPECT_NE(values["LegalCopyright"].find("TarveloImageTGA"), std::string::npos);
  EXPECT_EQ(values["LegalTrademarks"], "");
  EXPECT_EQ(values["OriginalFilename"], "TarveloImageTGA.DLL");
  EXPECT_EQ(values["ProductName"], "TarveloImageTGA Dynamic Link Library");
  EXPECT_EQ(values["ProductVersion"], record_version);
  EXPECT_EQ(values["OLESelfRegister"], "");
}

TEST(VersionRecordTest, StringTableHoldsEntry101Only) {
  EXPECT_STREQ(TarveloGetResourceString(101), "Windows sockets initialization failed.");
  for (const uint32_t absent : {0U, 1U, 100U, 102U, 0xFFFFFFFFU}) {
    EXPECT_EQ(TarveloGetResourceString(absent), nullptr) << absent;
  }
}

}  // namespace
}  // namespace tarvelo::test
