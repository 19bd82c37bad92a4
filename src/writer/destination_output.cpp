#include "writer/destination_output.h"

namespace tarvelo {

bool DestinationOutput::Begin(uint64_t size, WriteFailure& failure) noexcept {
  // In place, the whole new size must be there before an old byte is overwritten.
  return file_.Open(path_, failure) && file_.Reserve(size, failure);
}

int DestinationOutput::Write(const uint8_t* data, size_t size) noexcept {
  StreamOutput stream(file_.stream());
  return stream.Write(data, size);
}

bool DestinationOutput::Finish(WriteFailure& failure) noexcept { return file_.Commit(failure); }

}  // namespace tarvelo
