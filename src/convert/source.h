#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "decode/source_bytes.h"
#include "decode/source_file.h"

namespace tarvelo {

// Why a source was not decoded: a system error (errno) when it could not be opened;
// otherwise a reason in plain words, or the decoder's terse reason for the source's
// format when `by_decoder` (the boundary puts that in plain words); or an allocation
// the system refused (`out_of_memory`), or a source over the decoded-size cap of
// `over_cap` pixels, whose reason names that cap. Reasons are static text.
struct SourceFailure {
  const char* reason = nullptr;
  bool by_decoder = false;
  int error_number = 0;
  bool out_of_memory = false;
  uint64_t over_cap = 0;

  [[nodiscard]] bool failed() const noexcept {
    return reason != nullptr || by_decoder || error_number != 0 || out_of_memory || over_cap != 0;
  }
};

// The one source a conversion reads: a file opened once (and read through that one
// handle) or bytes in memory. The guard, the size check and the decoder all read
// bytes(), so that what was checked is what is decoded.
class OpenedSource {
 public:
  // Opens the file at `path` and notes what it holds. False, with `failure`, when it
  // cannot be opened or is not a regular file.
  bool OpenFile(const char* path, SourceFailure& failure) noexcept;

  // Reads `size` bytes at `data` in place. False, with `failure`, for no bytes or
  // more than the decoder can count.
  bool UseMemory(const uint8_t* data, size_t size, SourceFailure& failure) noexcept;

  [[nodiscard]] const SourceBytes& bytes() const noexcept { return bytes_; }

  // False when the file changed on disk since it was opened. Memory does not change
  // under a call that reads it.
  [[nodiscard]] bool Unchanged() const noexcept;

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const noexcept { static_cast<void>(std::fclose(file)); }
  };

  std::unique_ptr<std::FILE, FileCloser> file_;
  SourceSnapshot opened_;
  SourceBytes bytes_;
};

}  // namespace tarvelo
