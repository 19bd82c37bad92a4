// The exports' path narrowing on Windows: the ANSI code page, then the UTF-8 form
// the file layer opens. Run with the ANSI code page 1252 (Wine under LC_ALL=C.UTF-8).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/file_system.h"

namespace tarvelo::test {
namespace {

class NarrowPathWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(GetACP(), 1252U) << "these tests expect the ANSI code page 1252"; }
  static std::string Narrow(const std::wstring& wide) {
    const NarrowedPath narrowed(wide.c_str());
    return narrowed.c_str() != nullptr ? narrowed.c_str() : "<null>";
  }
};

TEST_F(NarrowPathWindowsTest, NullStaysNullAndEmptyStaysEmpty) {
  EXPECT_EQ(NarrowedPath(nullptr).c_str(), nullptr);
  EXPECT_EQ(Narrow(L""), "");
  EXPECT_EQ(Narrow(L"C:\\images\\in.png"), "C:\\images\\in.png");
}

// Letters of the code page survive (the euro sign is one ANSI byte, three UTF-8
// bytes); Cyrillic and CJK letters have no counterpart in 1252 and a lone surrogate is
// no character at all: the system's replacements take their place.
TEST_F(NarrowPathWindowsTest, CodePageLettersSurviveAndOthersBecomeReplacements) {
  EXPECT_EQ(Narrow(L"caf\u00e9 \u20ac.png"), "caf\xC3\xA9 \xE2\x82\xAC.png");
  EXPECT_EQ(Narrow(L"\u0416\u6f22\xD800.png"), "???.png");
}

// Every length the system takes converts: 2 x (n + 1) bytes always hold a
// single-byte code page's text, past the 1,024 bytes a fixed buffer once held; past
// the system's 32,767 units nothing converts.
TEST_F(NarrowPathWindowsTest, EveryLengthTheSystemTakesConverts) {
  for (const size_t length : {size_t{255}, size_t{259}, size_t{1024}, size_t{32767}}) {
    EXPECT_EQ(Narrow(std::wstring(length, L'\u20ac')).size(), 3 * length) << length;
  }
  EXPECT_EQ(Narrow(std::wstring(32768, L'a')), "<null>");
}

}  // namespace
}  // namespace tarvelo::test
