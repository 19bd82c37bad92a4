// Each file primitive under the replace algorithm made to fail in turn, while an
// existing destination is replaced and while a new one is written: the call
// reports the failure, the old bytes stay and no temporary file is left.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "file_bytes.h"
#include "layout_files.h"
#include "platform/file_system.h"
#include "temp_dir.h"
#include "test_images.h"

namespace tarvelo::test {
namespace {

using platform::files;
using platform::FileSystem;
using platform::Handle;
using platform::NativePath;

// The primitive that fails, and how.
struct Fault {
  const char* name;
  void (*inject)(FileSystem& table);
};

const Fault kFaults[] = {
    {"create_new", [](FileSystem& t) { t.create_new = [](const NativePath&, Handle&) { return EIO; }; }},
    {"name_unnamed", [](FileSystem& t) { t.name_unnamed = [](Handle, const NativePath&) { return EIO; }; }},
    {"replace", [](FileSystem& t) { t.replace = [](const NativePath&, const NativePath&) { return EIO; }; }},
    {"stream",
     [](FileSystem& t) {
       t.stream = [](Handle file) -> std::FILE* {
         (void)files.close(file);
         errno = EMFILE;
         return nullptr;
       };
     }},
    {"duplicate",
     [](FileSystem& t) {
       t.duplicate = [](Handle) {
         errno = EMFILE;
         return platform::kNoHandle;
       };
     }},
};

class FileSystemFaultTest : public ::testing::TestWithParam<Fault> {
 protected:
  void SetUp() override {
    saved_ = files;
    picture_ = MakeTestImage(6, 5, 3);
    image_ = {
        .width = picture_.width, .height = picture_.height, .channels = 3, .pixels = picture_.pixels.data()};
  }
  void TearDown() override { files = saved_; }

  FileSystem saved_{};
  TempDir dir_;
  Image picture_;
  DecodedImage image_;
};

// Whether a primitive is on a path depends on the system (Linux names a new file
// only when it is complete; Windows names it at once): a conversion either fails
// and says so, leaving what was there, or is whole.
TEST_P(FileSystemFaultTest, AFailingPrimitiveLeavesWhatWasThereAndNothingElse) {
  const std::string old_file = dir_.File("old.tga");
  const std::string new_file = dir_.File("new.tga");
  const Bytes old_bytes = {'o', 'l', 'd'};
  WriteFileBytes(old_file, old_bytes);
  ASSERT_EQ(WriteTgaFile(new_file.c_str(), image_), 1);
  const Bytes written = ReadFileBytes(new_file);
  std::filesystem::remove(new_file);

  GetParam().inject(files);
  WriteFailure replaced;
  const int replaced_result = WriteTgaFile(old_file.c_str(), image_, &replaced);
  WriteFailure created;
  const int created_result = WriteTgaFile(new_file.c_str(), image_, &created);
  files = saved_;

  EXPECT_EQ(replaced_result == 0, replaced.kind == WriteFailureKind::kWriteFailed ||
                                      replaced.kind == WriteFailureKind::kOpenFailed);
  EXPECT_EQ(created_result == 0, created.kind != WriteFailureKind::kNone);
  EXPECT_EQ(ReadFileBytes(old_file), replaced_result == 1 ? written : old_bytes);
  std::vector<std::string> left = {"old.tga"};
  if (created_result == 1) {
    EXPECT_EQ(ReadFileBytes(new_file), written);
    left.insert(left.begin(), "new.tga");
  }
  EXPECT_EQ(ListDirectory(dir_.path()), left) << "a temporary file was left";
  const std::string name = GetParam().name;
  if (name == "replace" || name == "stream" || name == "duplicate") {
    EXPECT_EQ(replaced_result, 0) << "a replacement that failed was reported as done";
  }
}

INSTANTIATE_TEST_SUITE_P(EachPrimitive, FileSystemFaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tarvelo::test
