// The guard refuses nothing that the decoder reads safely, checked on real files
// that nobody here made: the images that Debian packages install (icon themes,
// documentation, toolkit images). Every file that the decoder reads must convert
// and give the layout of exactly the decoder's pixels; a file the library refuses
// must be refused by the guard naming a defect, never by a mistake of its own.
// The corpus stays outside the repository: the directories searched are
// TARVELO_SYSTEM_IMAGE_DIRS (separated by ':'), by default /usr/share. The run is
// capped in files and time; with too few images it is skipped with a message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "TarveloConvert.h"
#include "api_sources.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "reference_decoder.h"

namespace tarvelo::test {
namespace {

namespace fs = std::filesystem;

constexpr uintmax_t kLargestFile = uintmax_t{4} << 20;
constexpr size_t kPngFiles = 400;  // PNG is most of any system's images
constexpr size_t kOtherFilesPerFormat = 150;
constexpr auto kTimeBudget = std::chrono::seconds(40);
constexpr size_t kFewestFiles = 20;

std::vector<std::string> Roots() {
  const char* configured = std::getenv("TARVELO_SYSTEM_IMAGE_DIRS");
  const std::string list = configured != nullptr && *configured != '\0' ? configured : "/usr/share";
  std::vector<std::string> roots;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(':', start), list.size());
    if (end > start) {
      roots.push_back(list.substr(start, end - start));
    }
    start = end + 1;
  }
  return roots;
}

std::string Extension(const fs::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".jpeg") {
    return ".jpg";
  }
  if (extension == ".ppm" || extension == ".pgm") {
    return ".pnm";
  }
  return extension;
}

// Image files under the roots, grouped by format, each group thinned evenly to its
// cap so that the sample spans every package rather than the first few.
std::vector<std::string> SampleImages() {
  std::map<std::string, std::vector<std::string>> by_format;
  const std::vector<std::string> wanted = {".png", ".jpg", ".gif", ".bmp", ".tga",
                                           ".psd", ".hdr", ".pic", ".pnm"};
  for (const std::string& root : Roots()) {
    std::error_code error;
    fs::recursive_directory_iterator walk(root, fs::directory_options::skip_permission_denied, error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
      const fs::directory_entry& entry = *walk;
      std::error_code ignored;
      if (!entry.is_regular_file(ignored) || entry.is_symlink(ignored)) {
        continue;
      }
      const std::string extension = Extension(entry.path());
      if (std::find(wanted.begin(), wanted.end(), extension) != wanted.end() &&
          entry.file_size(ignored) <= kLargestFile) {
        by_format[extension].push_back(entry.path().string());
      }
    }
  }
  std::vector<std::string> sample;
  for (auto& [extension, paths] : by_format) {
    std::sort(paths.begin(), paths.end());
    const size_t cap = extension == ".png" ? kPngFiles : kOtherFilesPerFormat;
    const size_t taken = std::min(cap, paths.size());
    for (size_t k = 0; k < taken; ++k) {
      sample.push_back(paths[k * paths.size() / taken]);
    }
  }
  return sample;
}

// The guard's reasons name the format first ("GIF image lies outside its canvas")
// or the size limit; the decoder's own reasons, put in plain words, do not.
bool IsGuardDefect(const std::string& detail) {
  for (const char* format : {"PNG ", "BMP ", "GIF ", "JPEG ", "PSD ", "PIC ", "PNM ", "HDR ", "TGA "}) {
    if (detail.rfind(format, 0) == 0) {
      return true;
    }
  }
  return detail.rfind("image exceeds the decoded-size limit (", 0) == 0;
}

TEST(SystemImages, EveryImageTheDecoderReadsConvertsToItsPixels) {
  const std::vector<std::string> sample = SampleImages();
  if (sample.size() < kFewestFiles) {
    GTEST_SKIP() << "only " << sample.size()
                 << " images found under TARVELO_SYSTEM_IMAGE_DIRS or /usr/share; "
                 << "install some (e.g. adwaita-icon-theme, libtk8.6) to run this test";
  }
  const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
  size_t checked = 0;
  size_t decoded = 0;
  size_t refused_by_guard = 0;
  for (const std::string& path : sample) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::cout << "[ budget ] time budget reached after " << checked << " of " << sample.size()
                << " files\n";
      break;
    }
    SCOPED_TRACE(path);
    ++checked;
    Bytes source;
    try {
      source = ReadFileBytes(path);
    } catch (...) {
      continue;  // unreadable to this user: not the library's business
    }
    Image reference;
    const bool readable = DecodeReference(path, reference);
    const TarveloSource memory = MemorySource(source.data(), source.size());
    TarveloOutput output{};
    output.kind = TARVELO_OUTPUT_BUFFER;
    TarveloResult result{};
    const char* detail = result.detail;
    const TarveloStatus status =
        source.empty() ? TARVELO_STATUS_SOURCE_UNREADABLE
                       : TarveloConvertImage(&memory, &output, TARVELO_LAYOUT_TGA, nullptr, &result);
    void* buffer = output.buffer;
    const size_t size = output.size;
    if (!readable) {
      EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE, status) << "the decoder does not read it";
      TarveloFree(buffer);
      continue;
    }
    ++decoded;
    if (status != TARVELO_STATUS_CONVERTED) {
      EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE, status) << detail;
      EXPECT_TRUE(IsGuardDefect(detail)) << "refused without a defect: " << detail;
      std::cout << "[ refused] " << path << ": " << detail << "\n";
      ++refused_by_guard;
      continue;
    }
    const Bytes converted(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + size);
    TarveloFree(buffer);
    EXPECT_TRUE(converted == ExpectedTgaFile(reference)) << "pixels differ from the decoder's";
    TarveloImageInfo info;
    TarveloSource file{};
    file.kind = TARVELO_SOURCE_FILE;
    file.path = path.c_str();
    ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloReadInfo(&file, &info, &result)) << detail;
    EXPECT_EQ(reference.width, info.width);
    EXPECT_EQ(reference.height, info.height);
    EXPECT_EQ(reference.channels, info.channels);
  }
  std::cout << "[ images ] " << checked << " files checked, " << decoded << " read by the decoder, "
            << refused_by_guard << " refused by the guard\n";
}

}  // namespace
}  // namespace tarvelo::test
