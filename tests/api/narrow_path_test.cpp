// Wide paths become UTF-8 whatever the locale, up to the system's longest path.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstring>
#include <string>

#include "TarveloImageTGA.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "platform/file_system.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_path.h"

namespace tarvelo {
namespace {

constexpr size_t kCapacity = PATH_MAX;  // bytes, terminator included

class NarrowPathTest : public testing::Test {
 protected:
  // The host may never have set a locale; the conversion must not depend on one.
  void SetUp() override { ASSERT_NE(nullptr, std::setlocale(LC_ALL, "C")); }

  static std::string Narrow(const std::wstring& wide) {
    const NarrowedPath narrowed(wide.c_str());
    return narrowed.c_str() != nullptr ? std::string(narrowed.c_str()) : std::string("<null>");
  }
};

TEST_F(NarrowPathTest, AsciiIsUnchanged) {
  EXPECT_EQ("/tmp/Pictures/a b-1.PNG", Narrow(L"/tmp/Pictures/a b-1.PNG"));
  EXPECT_EQ("", Narrow(L""));
}

TEST_F(NarrowPathTest, NonAsciiBecomesUtf8) {
  EXPECT_EQ("caf\xC3\xA9", Narrow(L"caf\u00E9"));
  EXPECT_EQ("\xE2\x82\xAC", Narrow(L"\u20AC"));
  EXPECT_EQ("\xF0\x9D\x84\x9E", Narrow(L"\U0001D11E"));
  EXPECT_EQ("\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
            Narrow(L"\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF"));  // every length boundary
}

TEST_F(NarrowPathTest, NonScalarValuesBecomeQuestionMarks) {
  const std::wstring invalid = {L'a', static_cast<wchar_t>(0xD800),   static_cast<wchar_t>(0xDFFF),
                                L'b', static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-1)};
  EXPECT_EQ("a??b??", Narrow(invalid));
  const std::wstring around_surrogates = {static_cast<wchar_t>(0xD7FF), static_cast<wchar_t>(0xE000)};
  EXPECT_EQ("\xED\x9F\xBF\xEE\x80\x80", Narrow(around_surrogates));
}

TEST_F(NarrowPathTest, NullStaysNull) { EXPECT_EQ(nullptr, NarrowedPath(nullptr).c_str()); }

// A path of PATH_MAX bytes, terminator included, is the longest a system call takes.
TEST_F(NarrowPathTest, PathsAtAndOverTheSystemsLimit) {
  struct Case {
    std::wstring path;
    bool fits;
  };
  const Case cases[] = {
      {std::wstring(kCapacity - 1, L'a'), true},
      {std::wstring(kCapacity, L'a'), false},
      {std::wstring(kCapacity - 3, L'a') + L"\u00E9", true},  // ends with a two-byte character
      {std::wstring(kCapacity - 2, L'a') + L"\u00E9", false},
      {std::wstring(kCapacity - 5, L'a') + L"\U0001D11E", true},  // ends with a four-byte character
      {std::wstring(kCapacity - 4, L'a') + L"\U0001D11E", false},
      {std::wstring(kCapacity, L'\u20AC'), false},
      {std::wstring(size_t{1} << 20U, L'x'), false},  // far longer than any path
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("length " + std::to_string(c.path.size()) + ", fits " + std::to_string(c.fits));
    const NarrowedPath narrowed(c.path.c_str());
    if (c.fits) {
      ASSERT_NE(nullptr, narrowed.c_str());
      EXPECT_EQ(kCapacity - 1, std::strlen(narrowed.c_str()));
    } else {
      EXPECT_EQ(nullptr, narrowed.c_str());
    }
  }
}

// Through the exports: the files are created under their UTF-8 names.
TEST_F(NarrowPathTest, ConvertsBetweenNonAsciiNames) {
  const test::TempDir dir;
  const test::Image image = test::MakeTestImage(5, 3, 3);
  ASSERT_TRUE(test::WritePng(dir.File("\xC3\xA9t\xC3\xA9.png"), image));
  const std::wstring base = test::WidePath(dir.path().string()) + L"/";

  EXPECT_EQ(999, BMP2TGA((base + L"\u00E9t\u00E9.png").c_str(), (base + L"\u20AC\U0001D11E.tga").c_str()));
  EXPECT_EQ(test::ExpectedTgaFile(image), test::ReadFileBytes(dir.File("\xE2\x82\xAC\xF0\x9D\x84\x9E.tga")));

  const std::wstring lone_surrogate = base + static_cast<wchar_t>(0xDC00) + L".bmp";
  EXPECT_EQ(999, TGA2BMP((base + L"\u00E9t\u00E9.png").c_str(), lone_surrogate.c_str()));
  EXPECT_EQ(test::ExpectedBmpFile(image), test::ReadFileBytes(dir.File("?.bmp")));
}

TEST_F(NarrowPathTest, OverlongPathsConvertNothing) {
  const test::TempDir dir;
  ASSERT_TRUE(test::WritePng(dir.File("in.png"), test::MakeTestImage(2, 2, 3)));
  const std::wstring source = test::WidePath(dir.File("in.png"));
  const std::wstring base = test::WidePath(dir.path().string()) + L"/";
  // Repeated "./" keeps the name valid for the file system; only its length is wrong.
  std::wstring overlong = base;
  while (overlong.size() < kCapacity + 10) {
    overlong += L"./";
  }
  EXPECT_EQ(999, BMP2TGA(source.c_str(), (overlong + L"out.tga").c_str()));
  EXPECT_EQ(999, TGA2BMP((overlong + L"in.png").c_str(), (base + L"out.bmp").c_str()));
  EXPECT_EQ((std::vector<std::string>{"in.png"}), test::ListDirectory(dir.path().string()));
}

}  // namespace
}  // namespace tarvelo
