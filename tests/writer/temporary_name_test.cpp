// The temporary name's one pattern: what the writer makes, in narrow (POSIX) and
// wide (Windows) characters, the sweep recognises, and nothing near it.
#include "writer/temporary_name.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tarvelo {
namespace {

TEST(TemporaryNameTest, WhatTheWriterMakesTheSweepRecognisesInBothWidths) {
  const std::string narrow = TemporaryName<char>("dir/", "out.tga", 0xfedcba9876543210U).c_str();
  EXPECT_EQ(narrow, "dir/.out.tga.tarvelo-0123456789ab.tmp");
  EXPECT_TRUE(IsTemporaryName(std::string_view(narrow).substr(4)));
  EXPECT_EQ(TemporaryStem(std::string_view(narrow).substr(4)), "out.tga");
  const std::wstring wide = TemporaryName<wchar_t>(L"C:\\d\\", L"\u0416.tga", 0xfedcba9876543210U).c_str();
  EXPECT_EQ(wide, L"C:\\d\\.\u0416.tga.tarvelo-0123456789ab.tmp");
  EXPECT_TRUE(IsTemporaryName(std::wstring_view(wide).substr(5)));
  EXPECT_EQ(TemporaryStem(std::wstring_view(wide).substr(5)), L"\u0416.tga");
}

TEST(TemporaryNameTest, NamesNearThePatternAreNotOurs) {
  for (const std::string_view name :
       {"a.tga.tarvelo-0123456789ab.tmp", ".a.tga.tarvelo-0123456789aB.tmp", ".a.tga.tarvelo-0123456789a.tmp",
        ".a.tga.tarvelo-0123456789abc.tmp", ".a.tga.tarvelo-0123456789ab.tmp~",
        ".a.tga.tarvelo_0123456789ab.tmp", "..tarvelo-0123456789ab.tmp"}) {
    EXPECT_FALSE(IsTemporaryName(name)) << name;
  }
}

// A long destination name is shortened in its temporary name, which then no longer
// names the destination for certain.
TEST(TemporaryNameTest, AShortenedStemNamesNoFile) {
  const std::string name(200, 'n');
  const std::string temporary = TemporaryName<char>("", name.c_str(), 1).c_str();
  EXPECT_LT(temporary.size(), 255U);
  EXPECT_TRUE(IsTemporaryName(std::string_view(temporary)));
  EXPECT_TRUE(TemporaryStem(std::string_view(temporary)).empty());
}

}  // namespace
}  // namespace tarvelo
