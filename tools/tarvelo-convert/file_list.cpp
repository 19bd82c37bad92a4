#include "file_list.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "fd_io.h"
#include "platform.h"

namespace tarvelo::cli {

std::optional<std::string> ReadAll(int fd) {
  std::string text;
  constexpr std::size_t kChunk = std::size_t{64} * 1024;
  try {
    for (;;) {
      const std::size_t used = text.size();
      if (used > kLargestInput) {
        errno = EFBIG;
        return std::nullopt;
      }
      text.resize(used + kChunk);
      const long got = ReadSome(fd, text.data() + used, kChunk);
      if (got < 0) {
        return std::nullopt;
      }
      text.resize(used + static_cast<std::size_t>(got));
      if (got == 0) {
        return text;
      }
    }
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return std::nullopt;
  }
}

std::vector<std::string> SplitFileList(const std::string& text, bool null_separated) {
  const char separator = null_separated ? '\0' : '\n';
  std::vector<std::string> paths;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      end = text.size();
    }
    // A list written on Windows ends its lines in CR LF.
    const std::size_t length =
        end - start - (!null_separated && end > start && text[end - 1] == '\r' ? 1 : 0);
    if (length > 0) {
      paths.emplace_back(text, start, length);
    }
    start = end + 1;
  }
  return paths;
}

FileList ReadFileList(const std::string& list_path, bool null_separated) {
  FileList list;
  const bool from_stdin = list_path == "-";
  const int fd = from_stdin ? 0 : OpenForReading(list_path);
  if (fd < 0) {
    list.error = std::strerror(errno);
    return list;
  }
  const std::optional<std::string> text = ReadAll(fd);
  const int error = errno;
  if (!from_stdin) {
    CloseFile(fd);
  }
  if (!text) {
    list.error = error == EFBIG ? kTooLargeInput : std::strerror(error);
    list.too_large = error == EFBIG || error == ENOMEM;
    return list;
  }
  list.paths = SplitFileList(*text, null_separated);
  return list;
}

}  // namespace tarvelo::cli
