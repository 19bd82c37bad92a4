// A path that ran out of memory names no file: it stays empty, whatever is added
// later, so that it can never stand for a shorter, different path.
#include "platform/path_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace tarvelo::platform {
namespace {

TEST(PathTextTest, AFailedPathStaysEmptyAndSaysSo) {
  PathText<char> path("/tmp/out/");
  path.Append("x", PathText<char>::npos / 2);  // more than memory can hold
  EXPECT_TRUE(path.failed());
  path.Append("a.tga");
  EXPECT_STREQ(path.c_str(), "");
  EXPECT_TRUE((path + "b.tga").failed());
  EXPECT_TRUE((PathText<char>("/tmp/") + path).failed());
  EXPECT_TRUE(path.Slice(0).failed());
}

TEST(PathTextTest, PiecesAndJoinsKeepEveryUnit) {
  const PathText<wchar_t> path(L"C:\\d/\u0416.tga");
  const size_t slash = path.FindLast(L'\\', L'/');
  EXPECT_EQ(slash, 4U);
  EXPECT_EQ(std::wstring(path.Slice(0, slash + 1).c_str()), L"C:\\d/");
  EXPECT_EQ(std::wstring((path.Slice(slash + 1) + L".tmp").c_str()), L"\u0416.tga.tmp");
  PathText<char> grown("ab");
  grown.Append(grown.c_str() + 1, 1);  // a piece of itself, across a move
  for (int i = 0; i < 10; ++i) {
    grown.Append(grown);
  }
  EXPECT_EQ(grown.size(), 3U << 10U);
  EXPECT_EQ(std::string(grown.c_str()).substr(0, 6), "abbabb");
  const PathText<char> walk("//a//b");
  EXPECT_EQ(walk.Find('/', 2, false), 2U);
  EXPECT_EQ(walk.Find('/', 3), 3U);
  EXPECT_EQ(walk.Find('x'), PathText<char>::npos);
}

// One assignment operator copies and moves: the source of a copy stays as it was,
// a self-assignment changes nothing, and a failed path's failure goes along.
TEST(PathTextTest, AssignmentsCopyMoveAndCarryFailure) {
  PathText<char> one("one");
  PathText<char> two("two");
  one = two;
  EXPECT_STREQ(one.c_str(), "two");
  EXPECT_STREQ(two.c_str(), "two");
  const PathText<char>& same = one;
  one = same;
  EXPECT_STREQ(one.c_str(), "two");
  PathText<char> moved(std::move(two));
  EXPECT_STREQ(moved.c_str(), "two");
  PathText<char> failed;
  failed.Append("x", PathText<char>::npos / 2);
  one = failed;
  EXPECT_TRUE(one.failed());
  one = PathText<char>("again");
  EXPECT_FALSE(one.failed());
  EXPECT_EQ(PathText<char>().front(), '\0');
}

// A system's two-call conversion: the size with its terminator, then the text. A
// call that fails, or writes another count than it asked for, appends nothing.
TEST(PathTextTest, AConversionAppendsItsTextWithoutTheTerminator) {
  const auto convert = [](const char* text, int lie) {
    return [text, lie](char* out, int capacity) {
      const int units = static_cast<int>(std::strlen(text)) + 1;
      if (out != nullptr && capacity >= units) {
        std::memcpy(out, text, static_cast<size_t>(units));
      }
      return out == nullptr ? units : units + lie;
    };
  };
  PathText<char> path("dir/");
  EXPECT_TRUE(path.AppendConverted(convert("name", 0)));
  EXPECT_STREQ(path.c_str(), "dir/name");
  EXPECT_EQ(path.size(), 8U);
  EXPECT_FALSE(path.AppendConverted(convert("more", -1)));
  EXPECT_FALSE(path.AppendConverted([](char*, int) { return 0; }));
  EXPECT_STREQ(path.c_str(), "dir/name");
}

}  // namespace
}  // namespace tarvelo::platform
