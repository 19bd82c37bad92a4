// NarrowPath on Windows: the exports' ANSI narrowing and the UTF-8 form the file
// layer opens. Run with the ANSI code page 1252 (Wine under LC_ALL=C.UTF-8).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "api/narrow_path.h"

namespace tarvelo::test {
namespace {

class NarrowPathWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(GetACP(), 1252U) << "these tests expect the ANSI code page 1252"; }
  NarrowedPath narrowed_;
};

TEST_F(NarrowPathWindowsTest, NullStaysNull) {
  NarrowPath(nullptr, narrowed_);
  EXPECT_EQ(narrowed_.c_str(), nullptr);
  EXPECT_EQ(narrowed_.ansi(), nullptr);
  EXPECT_FALSE(narrowed_.too_long());
}

TEST_F(NarrowPathWindowsTest, AsciiIsTheSameInBothForms) {
  NarrowPath(L"C:\\images\\in.png", narrowed_);
  EXPECT_STREQ(narrowed_.ansi(), "C:\\images\\in.png");
  EXPECT_STREQ(narrowed_.c_str(), "C:\\images\\in.png");
}

TEST_F(NarrowPathWindowsTest, CodePageLettersBecomeTheirAnsiBytesAndUtf8ForTheFileLayer) {
  NarrowPath(L"caf\u00e9 \u20ac.png", narrowed_);
  EXPECT_STREQ(narrowed_.ansi(), "caf\xE9 \x80.png");
  EXPECT_STREQ(narrowed_.c_str(), "caf\xC3\xA9 \xE2\x82\xAC.png");
}

TEST_F(NarrowPathWindowsTest, CharactersOutsideTheCodePageBecomeReplacements) {
  // Cyrillic and CJK letters have no counterpart in 1252; a lone surrogate is no
  // character at all.
  NarrowPath(L"\u0416\u6f22\xD800.png", narrowed_);
  EXPECT_STREQ(narrowed_.ansi(), "???.png");
  EXPECT_STREQ(narrowed_.c_str(), "???.png");
}

TEST_F(NarrowPathWindowsTest, EmptyPathIsEmptyNotNull) {
  NarrowPath(L"", narrowed_);
  ASSERT_NE(narrowed_.c_str(), nullptr);
  EXPECT_STREQ(narrowed_.c_str(), "");
}

TEST_F(NarrowPathWindowsTest, LongestPathThatFitsConvertsAndOneMoreConvertsNothing) {
  // One byte per character in 1252; the terminator takes the last byte.
  const std::wstring longest(NarrowedPath::kCapacity - 1, L'\u00e9');
  NarrowPath(longest.c_str(), narrowed_);
  ASSERT_NE(narrowed_.c_str(), nullptr);
  EXPECT_EQ(std::string(narrowed_.ansi()), std::string(NarrowedPath::kCapacity - 1, '\xE9'));
  // Two UTF-8 bytes each: the file layer's form still fits.
  EXPECT_EQ(std::string(narrowed_.c_str()).size(), 2 * (NarrowedPath::kCapacity - 1));

  const std::wstring too_long(NarrowedPath::kCapacity, L'a');
  NarrowPath(too_long.c_str(), narrowed_);
  EXPECT_EQ(narrowed_.c_str(), nullptr);
  EXPECT_EQ(narrowed_.ansi(), nullptr);
  EXPECT_TRUE(narrowed_.too_long());
}

TEST_F(NarrowPathWindowsTest, TheWidestUtf8FormOfALongestPathFits) {
  // The euro sign is one ANSI byte but three UTF-8 bytes.
  const std::wstring euros(NarrowedPath::kCapacity - 1, L'\u20ac');
  NarrowPath(euros.c_str(), narrowed_);
  ASSERT_NE(narrowed_.c_str(), nullptr);
  EXPECT_EQ(std::string(narrowed_.c_str()).size(), 3 * (NarrowedPath::kCapacity - 1));
}

TEST_F(NarrowPathWindowsTest, ANewPathReplacesTheLastOne) {
  const std::wstring too_long(NarrowedPath::kCapacity, L'a');
  NarrowPath(too_long.c_str(), narrowed_);
  NarrowPath(L"b.tga", narrowed_);
  EXPECT_FALSE(narrowed_.too_long());
  EXPECT_STREQ(narrowed_.c_str(), "b.tga");
}

}  // namespace
}  // namespace tarvelo::test
