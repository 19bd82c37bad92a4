// The replace algorithm through its file primitives. Each primitive made to fail
// in turn, while an existing destination is replaced and while a new one is
// written: the call reports the failure, the old bytes stay and no temporary file
// is left. And the notice before the destination changes.
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
#include "writer/destination_file.h"
#include "writer/layouts.h"

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

// The notice before the destination changes comes once, while the old bytes (or no
// file) are still there, on every path: a new file, a replacement, in place.
TEST(BeforeChangingTest, ComesOnceWhileTheDestinationIsStillAsItWas) {
  TempDir dir;
  const Image picture = MakeTestImage(4, 3, 3);
  const DecodedImage image = {.width = 4, .height = 3, .channels = 3, .pixels = picture.pixels.data()};
  struct Seen {
    std::string path;
    int calls = 0;
    bool existed = false;
    Bytes bytes;
  };
  const auto write = [&image](Seen& seen) {
    LayoutPlan plan;
    EXPECT_TRUE(FindLayout(static_cast<int>(Layout::kTga))->plan(image, plan));
    DestinationFile output(
        seen.path.c_str(),
        [](void* context) {
          auto& noticed = *static_cast<Seen*>(context);
          ++noticed.calls;
          noticed.existed = FileExists(noticed.path);
          noticed.bytes = noticed.existed ? ReadFileBytes(noticed.path) : Bytes{};
        },
        &seen);
    WriteFailure failure;
    return WritePlan(plan, image, output, &failure);
  };
  Seen fresh;
  fresh.path = dir.File("new.tga");
  ASSERT_EQ(write(fresh), 1);
  EXPECT_EQ(fresh.calls, 1);
  EXPECT_FALSE(fresh.existed);
  Seen replaced;
  replaced.path = dir.File("old.tga");
  WriteFileBytes(replaced.path, {'o', 'l', 'd'});
  // In place: the rename is refused, as in a sticky directory for another user's file.
  const FileSystem saved = files;
  files.replace = [](const NativePath&, const NativePath&) { return EACCES; };
  const int result = write(replaced);
  files = saved;
  ASSERT_EQ(result, 1);
  EXPECT_EQ(replaced.calls, 1);
  EXPECT_EQ(replaced.bytes, (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(ReadFileBytes(replaced.path), ReadFileBytes(fresh.path));
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"new.tga", "old.tga"}));
}

// An overwrite in place (the rename refused, as in a sticky directory for another
// user's file) of old.tga with a 4x3 image, under the faults each test injects.
class InPlaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(target_, {'o', 'l', 'd'});
    files.replace = [](const NativePath&, const NativePath&) { return EACCES; };
  }
  void TearDown() override { files = saved_; }
  int Write(WriteFailure& failure) {
    const int result = WriteTgaFile(target_.c_str(), image_, &failure);
    files = saved_;
    return result;
  }

  const FileSystem saved_ = files;
  TempDir dir_;
  const Image picture_ = MakeTestImage(4, 3, 3);
  const DecodedImage image_ = {.width = 4, .height = 3, .channels = 3, .pixels = picture_.pixels.data()};
  const std::string target_ = dir_.File("old.tga");
};

// Where the system cannot reserve (ENOTSUP), the file grows before an old byte is
// overwritten; a grow that fails leaves the old bytes alone.
TEST_F(InPlaceTest, WithoutReservationGrowsTheFileFirstOrLeavesItAsItWas) {
  const std::string fresh = dir_.File("fresh.tga");
  files = saved_;  // a plain write of the expected bytes (Windows names every file by a rename)
  ASSERT_EQ(WriteTgaFile(fresh.c_str(), image_), 1);
  for (const bool grows : {true, false}) {
    SetUp();
    files.reserve = [](Handle, uint64_t, int64_t) { return ENOTSUP; };
    if (!grows) {
      files.truncate = [](Handle, int64_t) { return ENOSPC; };
    }
    WriteFailure failure;
    EXPECT_EQ(Write(failure), grows ? 1 : 0);
    EXPECT_EQ(failure.error_number, grows ? 0 : ENOSPC);
    EXPECT_EQ(ReadFileBytes(target_), grows ? ReadFileBytes(fresh) : (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(ListDirectory(dir_.path()), (std::vector<std::string>{"fresh.tga", "old.tga"}));
  }
}

// The copy ends, with EIO, when a read or a write moves no byte and reports no error
// (the complete file cut short by another writer), instead of asking again for ever.
TEST_F(InPlaceTest, AReadOrWriteThatMovesNothingEndsTheCopy) {
  for (const bool reading : {true, false}) {
    SetUp();
    if (reading) {
      files.read_at = [](Handle, void*, size_t, int64_t, size_t& got) { return got = 0, 0; };
    } else {
      files.write_at = [](Handle, const void*, size_t, int64_t, size_t& put) { return put = 0, 0; };
    }
    WriteFailure failure;
    EXPECT_EQ(Write(failure), 0);
    EXPECT_EQ(failure.error_number, EIO);
    EXPECT_EQ(ListDirectory(dir_.path()), (std::vector<std::string>{"old.tga"}));
  }
}

INSTANTIATE_TEST_SUITE_P(EachPrimitive, FileSystemFaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tarvelo::test
