#include "stdio_conversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fd_io.h"
#include "file_list.h"
#include "options.h"

namespace tarvelo::cli {
namespace {

constexpr int kStandardInput = 0;
constexpr int kStandardOutput = 1;

struct StandardOutput {
  int error = 0;  // errno of the failed write
};

// The reader of standard output went away (| head -c 10): the tool ends as any
// filter does, quietly, by SIGPIPE (which it otherwise ignores); Windows has no
// such signal and exits with status 1. Nothing is left half done: the image goes
// to the pipe alone, no file is being written.
[[noreturn]] void EndAtBrokenPipe() {
#if !defined(_WIN32)
  (void)std::signal(SIGPIPE, SIG_DFL);
  (void)std::raise(SIGPIPE);
#endif
  std::_Exit(1);
}

extern "C" int WriteToStandardOutput(void* context, const void* data, size_t size) {
  if (WriteFully(kStandardOutput, data, size)) {
    return 1;
  }
  if (errno == EPIPE) {
    EndAtBrokenPipe();
  }
  static_cast<StandardOutput*>(context)->error = errno != 0 ? errno : EIO;
  return 0;
}

// The bytes of a small regular file, or nothing (too large, not a regular file, or
// any failure: the library then reads the path itself and reports in its words).
std::optional<std::string> ReadSmallFile(const std::string& path) {
#if defined(_WIN32)
  // Windows: the library opens the file by its UTF-16 name and reads it.
  (void)path;
  return std::nullopt;
#else
  // Sources up to this size are read whole, in one call, and converted from memory:
  // the library's file reading checks, rewinds and reads again in blocks, which for a
  // small file costs more system calls than the decoding takes. The bound keeps the
  // copy a small constant next to the decoded image, so that memory use stays the
  // image plus a constant.
  constexpr off_t kReadWholeUpTo = off_t{256} << 10;
  // O_NONBLOCK: a pipe with no writer must not block the open; the library then
  // refuses it as not a regular file.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    return std::nullopt;
  }
  std::optional<std::string> bytes;
  struct stat status {};
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
      status.st_size <= kReadWholeUpTo) {
    // One read of one byte more than the size: a regular file reads short only at
    // its end, so getting exactly the size shows the whole file was read. A file
    // that grew or shrank meanwhile is left to the library.
    std::string buffer(static_cast<std::size_t>(status.st_size) + 1, '\0');
    if (ReadSome(fd, buffer.data(), buffer.size()) == status.st_size) {
      buffer.pop_back();
      bytes = std::move(buffer);
    }
  }
  close(fd);
  return bytes;
#endif
}

}  // namespace

std::optional<std::string> ReadStandardInput(std::string* reason) {
  std::optional<std::string> bytes = ReadAll(kStandardInput);
  if (!bytes) {
    *reason = std::string("cannot read standard input: ") + std::strerror(errno);
  }
  return bytes;
}

TarveloStatus ConvertJob(const ConversionJob& job, const std::string* source_bytes, char* detail,
                         std::size_t detail_size) {
  TarveloOptions options;
  TarveloInitOptions(&options);
  options.allow_threads = 1;
  options.max_decoded_pixels = job.max_pixels;
  const bool to_stdout = job.destination == kStdio;
  std::optional<std::string> small_source;
  if (source_bytes == nullptr) {
    small_source = ReadSmallFile(job.source);
    if (small_source) {
      source_bytes = &*small_source;
    }
  }
  if (!to_stdout) {
    if (source_bytes != nullptr) {
      return TarveloConvertMemory(source_bytes->data(), source_bytes->size(), job.destination.c_str(),
                                  job.layout, &options, detail, detail_size);
    }
    return TarveloConvertWithOptions(job.source.c_str(), job.destination.c_str(), job.layout, &options,
                                     detail, detail_size);
  }
  StandardOutput output;
  const TarveloStatus status =
      source_bytes != nullptr
          ? TarveloConvertMemoryToFunc(source_bytes->data(), source_bytes->size(), job.layout,
                                       WriteToStandardOutput, &output, &options, detail, detail_size)
          : TarveloConvertToFunc(job.source.c_str(), job.layout, WriteToStandardOutput, &output, &options,
                                 detail, detail_size);
  if (status == TARVELO_STATUS_WRITE_FAILED && output.error != 0 && detail_size > 0) {
    // The library only knows that the callback refused; the reason is ours.
    (void)std::snprintf(detail, detail_size, "%s", std::strerror(output.error));
  }
  return status;
}

}  // namespace tarvelo::cli
