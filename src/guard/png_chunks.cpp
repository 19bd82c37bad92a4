#include "guard/png_chunks.h"

namespace tarvelo::guard {

bool PngChunkWalker::Next() noexcept {
  if (data_start_ != 0) {
    const uint64_t next = data_start_ + length_ + 4;
    if (reader_.position() < next) {
      reader_.Skip(next - reader_.position());
    }
  }
  if (!reader_.Has(8)) {
    return false;
  }
  length_ = reader_.Get32Be();
  type_ = reader_.Get32Be();
  data_start_ = reader_.position();
  return true;
}

bool PngHasTransparency(SourceReader& reader) noexcept {
  PngChunkWalker chunks(reader);
  while (chunks.Next()) {
    if (chunks.type() == PngChunkType("tRNS")) {
      return true;
    }
    if (chunks.type() == PngChunkType("IDAT") || chunks.type() == PngChunkType("IEND")) {
      return false;
    }
  }
  return false;
}

}  // namespace tarvelo::guard
