#pragma once

#include <cstddef>
#include <cstdint>

#include "writer/byte_output.h"
#include "writer/destination_file.h"
#include "writer/write_failure.h"

namespace tarvelo {

// A destination file as one more output: Begin creates the temporary file and sets
// aside the size, Finish moves the file into place (see DestinationFile). An output
// destroyed without a successful Finish leaves the destination as it was.
class DestinationOutput final : public ByteOutput {
 public:
  // `path` (UTF-8) must outlive the output. `before_change`, when set, is called as
  // DestinationFile::BeforeChanging says.
  explicit DestinationOutput(const char* path, void (*before_change)(void*) = nullptr,
                             void* context = nullptr) noexcept
      : path_(path) {
    file_.BeforeChanging(before_change, context);
  }

  bool Begin(uint64_t size, WriteFailure& failure) noexcept override;
  int Write(const uint8_t* data, size_t size) noexcept override;
  bool Finish(WriteFailure& failure) noexcept override;

 private:
  const char* path_;
  DestinationFile file_;
};

}  // namespace tarvelo
