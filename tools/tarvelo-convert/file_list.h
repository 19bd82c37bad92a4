#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvelo::cli {

// The paths of a --files-from list: one a line, or separated by NUL bytes when
// `null_separated` (as `find -print0` writes them, for names that hold a newline).
// Empty entries are skipped; a line's trailing carriage return is kept, as it may
// be part of a name. "-" reads standard input.
struct FileList {
  std::vector<std::string> paths;
  std::string error;  // non-empty: the list could not be read, and why
};

FileList ReadFileList(const std::string& list_path, bool null_separated);

// Splits `text` as ReadFileList does.
std::vector<std::string> SplitFileList(const std::string& text, bool null_separated);

// Reads all of `fd` until end of file. Nothing on a read error (errno set).
std::optional<std::string> ReadAll(int fd);

}  // namespace tarvelo::cli
