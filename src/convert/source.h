#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "decode/source_bytes.h"

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

// The one source a conversion reads: a file's bytes, read once, or a copy of the
// caller's bytes, held in memory the call owns. The guard, the size check and the
// decoder all read bytes(), so the decoder decodes exactly the bytes the guard
// checked, whatever happens to the file or the caller's buffer meanwhile. The cost
// is the source's size in memory, beside the decoded image.
class OpenedSource {
 public:
  // Reads the regular file at `path` whole. False, with `failure`, when it cannot
  // be opened or read, is not a regular file, is empty or is larger than the
  // decoder can count.
  bool OpenFile(const char* path, SourceFailure& failure) noexcept;
  // Copies `size` bytes at `data`. False, with `failure`, for no bytes or more than
  // the decoder can count.
  bool UseMemory(const uint8_t* data, size_t size, SourceFailure& failure) noexcept;

  [[nodiscard]] const SourceBytes& bytes() const noexcept { return bytes_; }

 private:
  struct Free {
    void operator()(uint8_t* bytes) const noexcept { std::free(bytes); }
  };
  // Takes a buffer of `size` bytes for the source. False, with `failure`, when the
  // size cannot be held or the system refuses the memory.
  bool Allocate(uint64_t size, SourceFailure& failure) noexcept;

  std::unique_ptr<uint8_t, Free> owned_;
  SourceBytes bytes_;
};

}  // namespace tarvelo
