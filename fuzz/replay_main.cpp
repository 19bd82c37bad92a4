// Replays corpus files through a fuzz target without libFuzzer, so that every seed
// and every input that once crashed runs as a test on every build.
// Usage: <target>_replay FILE_OR_DIRECTORY...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_target.h"

namespace {

bool Replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    static_cast<void>(std::fprintf(stderr, "cannot read %s\n", path.string().c_str()));
    return false;
  }
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // libFuzzer hands an empty input a valid pointer too; an empty vector's may be null.
  static const uint8_t kNoBytes = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &kNoBytes : bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path argument(argv[i]);
    if (std::filesystem::is_directory(argument)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(argument)) {
        if (entry.is_regular_file()) {
          files.push_back(entry.path());
        }
      }
    } else {
      files.push_back(argument);
    }
  }
  std::sort(files.begin(), files.end());
  size_t replayed = 0;
  for (const auto& file : files) {
    if (!Replay(file)) {
      return 1;
    }
    ++replayed;
  }
  static_cast<void>(std::printf("replayed %zu inputs\n", replayed));
  return replayed > 0 ? 0 : 1;
}
