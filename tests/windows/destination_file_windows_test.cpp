// The writer's safe replacement on Windows: UTF-16 names, replacing an existing
// file in one step, and leaving the destination alone on every failure.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <string>
#include <vector>

#include "layout_files.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_files.h"
#include "writer/layouts.h"

namespace tarvelo::test {
namespace {

class DestinationFileWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = MakeTestImage(5, 3, 3);
    image_ = {.width = source_.width,
              .height = source_.height,
              .channels = source_.channels,
              .pixels = source_.pixels.data()};
  }
  [[nodiscard]] std::wstring WidePath(const std::wstring& name) const {
    return dir_.path().wstring() + L"\\" + name;
  }
  int WriteTga(const std::wstring& name, WriteFailure* failure = nullptr) {
    return WriteTgaFile(ToUtf8(WidePath(name)).c_str(), image_, failure);
  }
  // The directory holds exactly these names: no temporary file was left behind.
  void ExpectDirectoryHolds(const std::vector<std::wstring>& names) const {
    EXPECT_EQ(ListDirectory<std::wstring>(dir_.path().wstring()), names);
  }

  TempDir dir_;
  Image source_;
  DecodedImage image_;
  const Bytes old_bytes_ = {'o', 'l', 'd'};
};

TEST_F(DestinationFileWindowsTest, WritesANameOutsideTheAnsiCodePage) {
  const std::wstring name = L"\u0416\u6f22.tga";
  ASSERT_EQ(WriteTga(name), 1);
  EXPECT_EQ(ReadWideFile(WidePath(name)).size(), 18U + 5U * 3U * 3U);
  ExpectDirectoryHolds({name});
}

TEST_F(DestinationFileWindowsTest, ReplacesAnExistingFileAndLeavesNoTemporary) {
  WriteWideFile(WidePath(L"out.tga"), old_bytes_);
  ASSERT_EQ(WriteTga(L"out.tga"), 1);
  EXPECT_EQ(ReadWideFile(WidePath(L"out.tga")).size(), 18U + 5U * 3U * 3U);
  ExpectDirectoryHolds({L"out.tga"});
}

TEST_F(DestinationFileWindowsTest, ReadOnlyDestinationKeepsItsBytes) {
  const std::wstring path = WidePath(L"locked.tga");
  WriteWideFile(path, old_bytes_);
  ASSERT_NE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY), 0);
  WriteFailure failure;
  EXPECT_EQ(WriteTga(L"locked.tga", &failure), 0);
  EXPECT_EQ(failure.kind, WriteFailureKind::kOpenFailed);
  EXPECT_EQ(failure.error_number, EACCES);
  EXPECT_EQ(ReadWideFile(path), old_bytes_);
  ExpectDirectoryHolds({L"locked.tga"});
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(DestinationFileWindowsTest, DestinationHeldOpenWithoutSharingKeepsItsBytes) {
  const std::wstring path = WidePath(L"busy.tga");
  WriteWideFile(path, old_bytes_);
  HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  WriteFailure failure;
  EXPECT_EQ(WriteTga(L"busy.tga", &failure), 0);
  EXPECT_NE(failure.kind, WriteFailureKind::kNone);
  CloseHandle(holder);
  EXPECT_EQ(ReadWideFile(path), old_bytes_);
  ExpectDirectoryHolds({L"busy.tga"});
}

TEST_F(DestinationFileWindowsTest, DirectoryDestinationIsRefused) {
  ASSERT_NE(CreateDirectoryW(WidePath(L"folder.tga").c_str(), nullptr), 0);
  WriteFailure failure;
  EXPECT_EQ(WriteTga(L"folder.tga", &failure), 0);
  EXPECT_EQ(failure.kind, WriteFailureKind::kOpenFailed);
  EXPECT_EQ(failure.error_number, EISDIR);
  ExpectDirectoryHolds({L"folder.tga"});
}

TEST_F(DestinationFileWindowsTest, MissingDirectoryWritesNothing) {
  WriteFailure failure;
  EXPECT_EQ(WriteTga(L"absent\\out.tga", &failure), 0);
  EXPECT_EQ(failure.kind, WriteFailureKind::kOpenFailed);
  EXPECT_EQ(failure.error_number, ENOENT);
  ExpectDirectoryHolds({});
}

TEST_F(DestinationFileWindowsTest, NamesThatAreNotUtf8AreRefused) {
  WriteFailure failure;
  const std::string path = ToUtf8(WidePath(L"")) + "bad\xE9.tga";  // a lone Latin-1 byte
  EXPECT_EQ(WriteTgaFile(path.c_str(), image_, &failure), 0);
  EXPECT_EQ(failure.kind, WriteFailureKind::kOpenFailed);
  EXPECT_EQ(failure.error_number, EINVAL);
  ExpectDirectoryHolds({});
}

TEST_F(DestinationFileWindowsTest, ForwardSlashesWorkAsSeparators) {
  const std::string path = ToUtf8(dir_.path().wstring()) + "/slash.tga";
  ASSERT_EQ(WriteTgaFile(path.c_str(), image_), 1);
  ExpectDirectoryHolds({L"slash.tga"});
}

}  // namespace
}  // namespace tarvelo::test
