// Decoding a source safely: the guard, the size check and the decoder read the one
// copy of the source in memory (see OpenedSource), in that order.
#include "convert/decode_source.h"

#include <climits>
#include <cstdint>
#include <cstdlib>

#include "convert/source.h"
#include "decode/decode_limits.h"
#include "decode/decoder_memory.h"
#include "decode/source_reader.h"
#include "decode/stb_decoder.h"
#include "guard/input_guard.h"
#include "guard/png_chunks.h"

namespace tarvelo {
namespace {

constexpr const char* kMalformed = "decoder returned an empty or malformed image";

// The decoder's reason for its last failure.
SourceFailure DecoderFailure() noexcept { return {.reason = DecoderFailureReason(), .by_decoder = true}; }

// The guard, then the header's size against the cap. True when the source may be
// decoded; `width`, `height` and `channels` are the header's then.
bool CheckSourceHeader(const SourceBytes& source, SourceFormat format, uint64_t max_pixels, int& width,
                       int& height, int& channels, SourceFailure& failure) noexcept {
  // The guard comes first: even reading the header for the size check runs the
  // decoder's table building on a hostile JPEG.
  SourceReader reader(source);
  if (const char* defect = CheckSource(format, reader); defect != nullptr) {
    if (defect == kCheckOutOfMemory) {
      failure.out_of_memory = true;
    } else {
      failure.reason = defect;
    }
    return false;
  }
  if (!ReadDecoderInfo(source, width, height, channels)) {
    // The decoder's header scan refuses some large images before the cap is asked.
    SourceReader claimed(source);
    if (ClaimedSourcePixels(format, claimed) > max_pixels) {
      failure.over_cap = max_pixels;
    } else {
      failure = DecoderFailure();
    }
    return false;
  }
  // A top-down BMP reports its height as negative.
  const uint64_t pixels =
      static_cast<uint64_t>(std::llabs(width)) * static_cast<uint64_t>(std::llabs(height));
  if (pixels > max_pixels) {
    failure.over_cap = max_pixels;
    return false;
  }
  return true;
}

// What the decoder allocator saw overrides the decoder's reason, which may be a
// stale one from an earlier step.
void NoteMemory(const DecoderMemoryScope& memory, uint64_t max_pixels, SourceFailure& failure) noexcept {
  if (memory.out_of_memory()) {
    failure = {.out_of_memory = true};
  } else if (memory.over_budget()) {
    failure = {.over_cap = max_pixels};
  }
}

// The pipeline below the boundary, for a source that opened.
void DecodeOpened(const OpenedSource& source, const DecodeSettings& settings, DecodeResult& result) noexcept {
  result.format = IdentifySourceFormat(source.bytes());
  int width = 0;
  int height = 0;
  int channels = 0;
  const uint64_t cap = EffectivePixelCap(settings.max_decoded_pixels);
  const DecoderMemoryScope memory(DecoderByteBudget(cap));
  if (!CheckSourceHeader(source.bytes(), result.format, cap, width, height, channels, result.failure)) {
    NoteMemory(memory, cap, result.failure);
    return;
  }
  {
    const ScopedDecoderThreads threads(settings.allow_threads);
    result.buffer = DecodePixels(source.bytes(), width, height, channels);
  }
  result.decoder_peak = memory.peak();
  if (!result.buffer) {
    result.failure = DecoderFailure();
    NoteMemory(memory, cap, result.failure);
    return;
  }
  if (width <= 0 || height <= 0 || channels < 1 || channels > 4) {
    result.buffer.reset();
    result.failure = {.reason = kMalformed};
    return;
  }
  result.image = {.width = width, .height = height, .channels = channels, .pixels = result.buffer.get()};
}

void FillInfo(const OpenedSource& source, SourceInfo& info) noexcept {
  info.format = IdentifySourceFormat(source.bytes());
  int width = 0;
  int height = 0;
  int channels = 0;
  const DecoderMemoryScope memory(DecoderByteBudget(kMaxDecodedPixels));
  if (!CheckSourceHeader(source.bytes(), info.format, kMaxDecodedPixels, width, height, channels,
                         info.failure)) {
    NoteMemory(memory, kMaxDecodedPixels, info.failure);
    return;
  }
  // The decoder's header scan reports a top-down BMP's height as negative; it
  // decodes it upright, as tall as that.
  height = height < 0 && height != INT_MIN ? -height : height;
  if (width <= 0 || height <= 0 || channels < 1 || channels > 4) {
    info.failure.reason = kMalformed;
    return;
  }
  if (info.format == SourceFormat::kPng && (channels == 1 || channels == 3)) {
    SourceReader reader(source.bytes());
    channels += guard::PngHasTransparency(reader) ? 1 : 0;
  }
  info.width = width;
  info.height = height;
  info.channels = channels;
}

// A file source is read whole, a memory source copied (see OpenedSource).
bool Open(const TarveloSource& from, OpenedSource& source, SourceFailure& failure) noexcept {
  if (from.kind == TARVELO_SOURCE_FILE) {
    return source.OpenFile(from.path, failure);
  }
  return source.UseMemory(static_cast<const uint8_t*>(from.data), from.size, failure);
}

}  // namespace

DecodeResult DecodeSource(const TarveloSource& from, const DecodeSettings& settings) noexcept {
  DecodeResult result;
  OpenedSource source;
  if (Open(from, source, result.failure)) {
    DecodeOpened(source, settings, result);
  }
  return result;
}

SourceInfo ReadSourceInfo(const TarveloSource& from) noexcept {
  SourceInfo info;
  OpenedSource source;
  if (Open(from, source, info.failure)) {
    FillInfo(source, info);
  }
  return info;
}

}  // namespace tarvelo
