#include "guard/png_chunks.h"

namespace tarvelo::guard {

bool NextPngChunk(SourceReader& reader, PngChunk& chunk) noexcept {
  if (reader.position() < chunk.next) {
    reader.Skip(chunk.next - reader.position());
  }
  if (!reader.Has(8)) {
    return false;
  }
  chunk.length = reader.Get32Be();
  chunk.type = reader.Get32Be();
  chunk.next = reader.position() + chunk.length + 4;
  return true;
}

bool PngHasTransparency(SourceReader& reader) noexcept {
  PngChunk chunk;
  while (NextPngChunk(reader, chunk)) {
    if (chunk.type == PngChunkType("tRNS")) {
      return true;
    }
    if (chunk.type == PngChunkType("IDAT") || chunk.type == PngChunkType("IEND")) {
      return false;
    }
  }
  return false;
}

}  // namespace tarvelo::guard
