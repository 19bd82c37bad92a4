#include "stdio_conversion.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fd_io.h"
#include "file_list.h"
#include "options.h"
#include "platform.h"

namespace tarvelo::cli {
namespace {

constexpr int kStandardInput = 0;
constexpr int kStandardOutput = 1;

struct StandardOutput {
  int error = 0;  // errno of the failed write
};

extern "C" int WriteToStandardOutput(void* context, const void* data, size_t size) {
  if (WriteFully(kStandardOutput, data, size)) {
    return 1;
  }
  if (errno == EPIPE) {
    // Nothing is left half done: the image goes to the pipe alone, no file is
    // being written.
    EndAtBrokenPipe();
  }
  static_cast<StandardOutput*>(context)->error = errno != 0 ? errno : EIO;
  return 0;
}

}  // namespace

std::optional<std::string> ReadStandardInput(std::string* reason) {
  std::optional<std::string> bytes = ReadAll(kStandardInput);
  if (!bytes) {
    *reason = std::string("cannot read standard input: ") +
              (errno == EFBIG ? kTooLargeInput : std::strerror(errno));
  }
  return bytes;
}

TarveloStatus ConvertJob(const ConversionJob& job, const std::string* source_bytes, char* detail,
                         std::size_t detail_size, void (*before_change)(void*)) {
  TarveloOptions options;
  TarveloInitOptions(&options);
  options.before_change = before_change;
  options.allow_threads = 1;
  options.max_decoded_pixels = job.max_pixels;
  TarveloSource source{};
  source.kind = TARVELO_SOURCE_FILE;
  source.path = job.source.c_str();
  if (source_bytes != nullptr) {
    source = {};
    source.kind = TARVELO_SOURCE_MEMORY;
    source.data = source_bytes->data();
    source.size = source_bytes->size();
  }
  StandardOutput output;
  TarveloOutput to{};
  to.kind = TARVELO_OUTPUT_FILE;
  to.path = job.destination.c_str();
  if (job.destination == kStdio) {
    to = {};
    to.kind = TARVELO_OUTPUT_FUNC;
    to.write = WriteToStandardOutput;
    to.context = &output;
  }
  TarveloResult result;
  const TarveloStatus status = TarveloConvertImage(&source, &to, job.layout, &options, &result);
  (void)std::snprintf(detail, detail_size, "%s", result.detail);
  if (status == TARVELO_STATUS_WRITE_FAILED && output.error != 0 && detail_size > 0) {
    // The library only knows that the callback refused; the reason is ours.
    (void)std::snprintf(detail, detail_size, "%s", std::strerror(output.error));
  }
  return status;
}

}  // namespace tarvelo::cli
