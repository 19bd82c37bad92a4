#pragma once
// The fixture of the tests of refused conversions, through the public API: a
// refusal leaves no new file, no changed file and no file removed, the exports
// still return 999, and the status API says what went wrong. Header-only: the
// calls resolve against whichever library the test program links (the shared
// library, or the tests' static copy).

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_path.h"

namespace tarvelo::test {

using OptionalPath = std::optional<std::string>;

// Every entry below a directory by relative path: a file's bytes, a link's target
// (never followed: a link may point at a device), or nothing for a directory.
using TreeContents = std::map<std::string, Bytes>;

inline TreeContents ReadTree(const std::filesystem::path& root) {
  TreeContents tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string name = entry.path().lexically_relative(root).string();
    if (entry.is_symlink()) {
      const std::string target = "-> " + std::filesystem::read_symlink(entry.path()).string();
      tree[name] = Bytes(target.begin(), target.end());
    } else if (entry.is_directory()) {
      tree[name] = {};
    } else {
      tree[name] = ReadFileBytes(entry.path().string());
    }
  }
  return tree;
}

// A temporary directory with a source picture (in.png) and an existing file
// (old.out); ExpectRefused converts and checks that the directory is as it was at
// the last Snapshot().
class RefusalTest : public ::testing::Test {
 protected:
  static inline const Bytes kOldBytes = {'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's'};

  void SetUp() override {
    picture_ = MakeTestImage(6, 4, 4);
    ASSERT_TRUE(WritePng(dir_.File("in.png"), picture_));
    WriteFileBytes(dir_.File("old.out"), kOldBytes);
    Snapshot();
  }

  // Records the directory as it is now; ExpectUnchanged compares against it.
  void Snapshot() { before_ = ReadTree(dir_.path()); }

  void ExpectUnchanged() const {
    const TreeContents now = ReadTree(dir_.path());
    for (const auto& [name, contents] : before_) {
      const auto found = now.find(name);
      if (found == now.end()) {
        ADD_FAILURE() << name << " was removed";
      } else if (found->second != contents) {
        ADD_FAILURE() << name << " was changed";
      }
    }
    for (const auto& [name, contents] : now) {
      if (!before_.contains(name)) {
        ADD_FAILURE() << name << " was created";
      }
    }
  }

  // Runs the conversion in both layouts through the status API and through both
  // exports; each must be refused and leave the directory unchanged.
  void ExpectRefused(const OptionalPath& source, const OptionalPath& destination, TarveloStatus expected,
                     const char* detail_part = "") const {
    const char* source_text = source ? source->c_str() : nullptr;
    const char* destination_text = destination ? destination->c_str() : nullptr;
    for (const TarveloLayout layout : {TARVELO_LAYOUT_TGA, TARVELO_LAYOUT_BMP}) {
      char detail[256] = "untouched";
      EXPECT_EQ(expected, TarveloConvert(source_text, destination_text, layout, detail, sizeof detail))
          << "layout " << layout << ": " << detail;
      EXPECT_NE(nullptr, std::strstr(detail, detail_part)) << "detail: " << detail;
      ExpectUnchanged();
    }
    const std::wstring wide_source = source ? WidePath(*source) : L"";
    const std::wstring wide_destination = destination ? WidePath(*destination) : L"";
    const wchar_t* source_wide = source ? wide_source.c_str() : nullptr;
    const wchar_t* destination_wide = destination ? wide_destination.c_str() : nullptr;
    EXPECT_EQ(999, BMP2TGA(source_wide, destination_wide));
    ExpectUnchanged();
    EXPECT_EQ(999, TGA2BMP(source_wide, destination_wide));
    ExpectUnchanged();
  }

  TempDir dir_;
  Image picture_;
  TreeContents before_;
};

}  // namespace tarvelo::test
