#include "guard/png_chunks.h"

namespace tarvelo::guard {

bool PngChunkWalker::Next() noexcept {
  if (reader_.position() < next_) {
    reader_.Skip(next_ - reader_.position());
  }
  if (!reader_.Has(8)) {
    return false;
  }
  length_ = reader_.Get32Be();
  type_ = reader_.Get32Be();
  next_ = reader_.position() + length_ + 4;
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
