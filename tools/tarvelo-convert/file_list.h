#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tarvelo::cli {

// The paths of a --files-from list: one a line, or separated by NUL bytes when
// `null_separated` (as `find -print0` writes them, for names that hold a newline).
// Empty entries are skipped; a line's trailing carriage return is part of its end
// (CR LF, as Windows writes lists). "-" reads standard input.
struct FileList {
  std::vector<std::string> paths;
  std::string error;       // non-empty: the list could not be read, and why
  bool too_large = false;  // the list holds more than the tool reads, or memory ran out
};

FileList ReadFileList(const std::string& list_path, bool null_separated);

// Splits `text` as ReadFileList does.
std::vector<std::string> SplitFileList(const std::string& text, bool null_separated);

// The most bytes the tool reads from standard input or a --files-from list: the
// largest source the library converts, whose decoder counts bytes in an int.
inline constexpr std::size_t kLargestInput = 0x7FFFFFFF;
inline constexpr const char* kTooLargeInput = "more than 2 GiB, the largest input the tool reads";

// Reads all of `fd` until end of file, at most kLargestInput bytes. Nothing on a
// read error (errno set), when there is more (errno EFBIG) or when memory runs out
// (errno ENOMEM).
std::optional<std::string> ReadAll(int fd);

}  // namespace tarvelo::cli
