// The one conversion: check the arguments, read the source once into memory the
// call owns, guard, size check and decode those bytes, plan, write to the output.
#include "convert/conversion.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "decode/decode_limits.h"
#include "decode/source_reader.h"
#include "decode/stb_decoder.h"
#include "guard/input_guard.h"
#include "platform/file_system.h"
#include "platform/text_copy.h"
#include "writer/destination_file.h"
#include "writer/layouts.h"

namespace tarvelo {
namespace {

// A caller's pixel description: null when it is usable, else the reason.
const char* CheckPixels(const TarveloSource& source) noexcept {
  if (source.data == nullptr) {
    return "pixels pointer is null";
  }
  if (source.width < 1 || source.height < 1) {
    return "width and height must be at least 1";
  }
  if (source.channels < 1 || source.channels > 4) {
    return "channels must be 1 to 4";
  }
  const size_t row = static_cast<size_t>(source.width) * static_cast<size_t>(source.channels);
  return source.row_stride != 0 && source.row_stride < row ? "row stride is shorter than a row" : nullptr;
}

// Null when the source can be read, else the reason.
const char* CheckGivenSource(const TarveloSource& source) noexcept {
  switch (RawValue(source.kind)) {
    case TARVELO_SOURCE_FILE: return source.path == nullptr ? "source path is null" : nullptr;
    case TARVELO_SOURCE_MEMORY: return source.data == nullptr ? "source data is null" : nullptr;
    case TARVELO_SOURCE_PIXELS: return CheckPixels(source);
    default: return "unknown source kind";
  }
}

struct FreeBytes {
  void operator()(uint8_t* bytes) const noexcept { std::free(bytes); }
};
using OwnedBytes = std::unique_ptr<uint8_t, FreeBytes>;

// Each sets `result` for a source that was not decoded and returns false.
bool Refuse(TarveloResult& result, const char* reason) noexcept {
  Report(result, TARVELO_STATUS_SOURCE_UNREADABLE, reason);
  return false;
}
bool RefuseOverCap(TarveloResult& result, uint64_t cap) noexcept {
  Refuse(result, nullptr);
  (void)std::snprintf(result.detail, sizeof result.detail,
                      "image exceeds the decoded-size limit (%" PRIu64 " pixels)", cap);
  return false;
}
bool RefuseOutOfMemory(TarveloResult& result) noexcept {
  Report(result, TARVELO_STATUS_OUT_OF_MEMORY, "out of memory");
  return false;
}
bool RefuseSystemError(TarveloResult& result, int error) noexcept {
  Refuse(result, nullptr);
  result.error_number = error;
  CopyErrorText(error, result.detail, sizeof result.detail);
  return false;
}
// The decoder said no: what its allocator saw wins over its reason, which may be a
// stale one from an earlier step; the reason is put in plain words by the decoder room.
bool RefuseDecoded(TarveloResult& result, SourceFormat format, const DecoderMemoryScope& memory,
                   uint64_t cap) noexcept {
  if (memory.out_of_memory() || memory.over_budget()) {
    return memory.out_of_memory() ? RefuseOutOfMemory(result) : RefuseOverCap(result, cap);
  }
  Refuse(result, nullptr);
  DescribeDecoderFailure(format, DecoderFailureReason(), result.detail, sizeof result.detail);
  return false;
}

// A buffer of `size` bytes for the source; null, with `result` set, when it is empty,
// larger than the decoder can count (it counts a source's bytes in an int: the
// reason is `too_large`) or the system refuses the memory.
OwnedBytes Allocate(uint64_t size, const char* too_large, TarveloResult& result) noexcept {
  if (size == 0 || size > static_cast<uint64_t>(INT_MAX)) {
    Refuse(result, size == 0 ? "source is empty" : too_large);
    return nullptr;
  }
  OwnedBytes owned(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))));
  if (!owned) {
    RefuseOutOfMemory(result);
  }
  return owned;
}

// Reads the regular file at `path` whole; `size` is what it held. A file that shrank
// meanwhile gives what it still holds; one that grew, the bytes it had when it was
// opened. Either way what was read is what is checked.
OwnedBytes ReadFile(const char* path, uint64_t& size, TarveloResult& result) noexcept {
  errno = 0;
  bool not_regular = false;
  std::FILE* file = platform::OpenSourceFile(path, not_regular, size);
  if (file == nullptr) {
    not_regular ? Refuse(result, "source is not a regular file")
                : RefuseSystemError(result, errno != 0 ? errno : ENOENT);
    return nullptr;
  }
  errno = 0;
  OwnedBytes owned;
  if ((owned = Allocate(size, "source exceeds 2 GiB", result))) {
    size = std::fread(owned.get(), 1, static_cast<size_t>(size), file);
    if (size == 0) {
      std::ferror(file) != 0 ? RefuseSystemError(result, errno != 0 ? errno : EIO)
                             : Refuse(result, "source is empty");
      owned.reset();
    }
  }
  static_cast<void>(std::fclose(file));
  return owned;
}

// The one source a conversion reads: a file's bytes, read once, or a copy of the
// caller's bytes, held in memory the call owns. The guard, the size check and the
// decoder all read these bytes, so the decoder decodes exactly the bytes the guard
// checked, whatever happens to the file or the caller's buffer meanwhile. The cost
// is the source's size in memory, beside the decoded image.
OwnedBytes Open(const TarveloSource& from, SourceBytes& bytes, TarveloResult& result) noexcept {
  OwnedBytes owned;
  if (from.kind == TARVELO_SOURCE_FILE) {
    owned = ReadFile(from.path, bytes.size, result);
  } else if ((owned = Allocate(from.size, "source in memory exceeds 2 GiB", result))) {
    std::memcpy(owned.get(), from.data, from.size);
    bytes.size = from.size;
  }
  bytes.data = owned.get();
  return owned;
}

// The guard, then the header's size against the cap. True when the source may be
// decoded; `width`, `height` and `channels` are the header's then.
bool CheckSourceHeader(const SourceBytes& source, SourceFormat format, uint64_t cap,
                       const DecoderMemoryScope& memory, int& width, int& height, int& channels,
                       TarveloResult& result) noexcept {
  // The guard comes first: even reading the header for the size check runs the
  // decoder's table building on a hostile JPEG.
  SourceReader reader(source);
  if (const char* defect = CheckSource(format, reader); defect != nullptr) {
    return defect == kCheckOutOfMemory ? RefuseOutOfMemory(result) : Refuse(result, defect);
  }
  if (!ReadDecoderInfo(source, width, height, channels)) {
    // The decoder's header scan refuses some large images before the cap is asked.
    // A PNG's claim is the only one read so: its decoder refuses a large image there.
    SourceReader claimed(source);
    const uint64_t claim = format == SourceFormat::kPng ? guard::PngClaimedPixels(claimed) : 0;
    return claim > cap ? RefuseOverCap(result, cap) : RefuseDecoded(result, format, memory, cap);
  }
  // A top-down BMP reports its height as negative.
  if (static_cast<uint64_t>(std::llabs(width)) * static_cast<uint64_t>(std::llabs(height)) > cap) {
    return RefuseOverCap(result, cap);
  }
  return true;
}

// The pipeline below the boundary, for a source that opened.
bool DecodeOpened(const SourceBytes& source, const DecodeSettings& settings, bool header_only,
                  DecodeResult& decoded, TarveloResult& result) noexcept {
  decoded.format = IdentifySourceFormat(source);
  int width = 0;
  int height = 0;
  int channels = 0;
  const uint64_t cap = EffectivePixelCap(settings.max_decoded_pixels);
  const DecoderMemoryScope memory(DecoderByteBudget(cap));
  if (!CheckSourceHeader(source, decoded.format, cap, memory, width, height, channels, result)) {
    return false;
  }
  if (!header_only) {
    const ScopedDecoderThreads threads(settings.allow_threads);
    decoded.buffer = DecodePixels(source, width, height, channels);
    decoded.decoder_peak = memory.peak();
    if (!decoded.buffer) {
      return RefuseDecoded(result, decoded.format, memory, cap);
    }
  }
  // The decoder's header scan reports a top-down BMP's height as negative; it
  // decodes it upright, as tall as that.
  height = header_only && height < 0 && height != INT_MIN ? -height : height;
  if (width <= 0 || height <= 0 || channels < 1 || channels > 4) {
    decoded.buffer.reset();
    return Refuse(result, "decoder returned an empty or malformed image");
  }
  if (header_only && decoded.format == SourceFormat::kPng && (channels == 1 || channels == 3)) {
    SourceReader reader(source);
    channels += guard::PngHasTransparency(reader) ? 1 : 0;
  }
  decoded.image = {.width = width, .height = height, .channels = channels, .pixels = decoded.buffer.get()};
  return true;
}

TarveloStatus Invalid(TarveloResult& result, const char* why) noexcept {
  return Report(result, TARVELO_STATUS_INVALID_ARGUMENT, why);
}

TarveloStatus ReportWrite(const WriteFailure& failure, const LayoutEntry& layout,
                          TarveloResult& result) noexcept {
  switch (failure.kind) {
    case WriteFailureKind::kNone: return Report(result, TARVELO_STATUS_CONVERTED, nullptr);
    case WriteFailureKind::kTooLarge: return Report(result, TARVELO_STATUS_IMAGE_TOO_LARGE, layout.too_large);
    case WriteFailureKind::kOpenFailed: Report(result, TARVELO_STATUS_DESTINATION_UNOPENABLE, nullptr); break;
    case WriteFailureKind::kWriteFailed: Report(result, TARVELO_STATUS_WRITE_FAILED, nullptr); break;
  }
  // Two errors of no errno value: the caller's function said no, or the pipe has no reader.
  const int error = failure.error_number;
  if (error == kOutputRefused || error == kPipeWithoutReader) {
    CopyText(error == kOutputRefused ? "the write callback reported a failure"
                                     : "destination is a pipe with no reader",
             result.detail, sizeof result.detail);
  } else if (error != 0) {
    result.error_number = error;
    CopyErrorText(error, result.detail, sizeof result.detail);
  }
  return result.status;
}

// The options a call runs with: the caller's, read up to the size they declare, or
// the defaults. False for a structure this library cannot read.
bool ReadOptions(const TarveloOptions* given, TarveloOptions& options) noexcept {
  TarveloInitOptions(&options);
  if (given == nullptr) {
    return true;
  }
  size_t size = 0;
  std::memcpy(&size, &given->struct_size, sizeof size);
  // The first version ended with max_decoded_pixels; a smaller one cannot be ours.
  if (size < offsetof(TarveloOptions, max_decoded_pixels) + sizeof(uint64_t)) {
    return false;
  }
  // A newer caller's fields beyond ours must hold their defaults (zero): anything
  // else asks for something this library cannot do.
  const auto* bytes = reinterpret_cast<const unsigned char*>(given);
  for (size_t at = sizeof(TarveloOptions); at < size; ++at) {
    if (bytes[at] != 0) {
      return false;
    }
  }
  options.allow_threads = given->allow_threads;
  options.max_decoded_pixels = given->max_decoded_pixels;
  if (size >= offsetof(TarveloOptions, before_change_context) + sizeof(void*)) {
    options.before_change = given->before_change;
    options.before_change_context = given->before_change_context;
  }
  return true;
}

// Null when the output can be written to, else the reason.
const char* CheckOutput(const TarveloOutput& output) noexcept {
  switch (RawValue(output.kind)) {
    case TARVELO_OUTPUT_FILE: return output.path == nullptr ? "destination path is null" : nullptr;
    case TARVELO_OUTPUT_FUNC: return output.write == nullptr ? "write function is null" : nullptr;
    case TARVELO_OUTPUT_BUFFER: return nullptr;
    default: return "unknown output kind";
  }
}

}  // namespace

TarveloStatus Report(TarveloResult& result, TarveloStatus status, const char* detail) noexcept {
  result.status = status;
  result.error_number = 0;
  CopyText(detail, result.detail, sizeof result.detail);
  return status;
}

bool ReadImage(const TarveloSource& source, const DecodeSettings& settings, DecodeResult& image,
               TarveloResult& result, bool header_only) noexcept {
  if (const char* problem = CheckGivenSource(source); problem != nullptr) {
    Invalid(result, problem);
    return false;
  }
  if (RawValue(source.kind) == TARVELO_SOURCE_PIXELS) {
    image.image = {.width = source.width,
                   .height = source.height,
                   .channels = source.channels,
                   .pixels = static_cast<const uint8_t*>(source.data),
                   .row_stride = source.row_stride};
    return true;
  }
  SourceBytes bytes;
  const OwnedBytes owned = Open(source, bytes, result);
  return owned && DecodeOpened(bytes, settings, header_only, image, result);
}

bool WriteImage(const DecodedImage& image, int layout, TarveloOutput& output, const TarveloOptions& options,
                TarveloResult& result) noexcept {
  const LayoutEntry* entry = FindLayout(layout);
  if (entry == nullptr) {
    Invalid(result, "unknown layout");
    return false;
  }
  WriteFailure failure;
  LayoutPlan plan;
  const WriteSettings settings{.allow_threads = options.allow_threads != 0};
  if (!entry->plan(image, plan)) {
    failure.kind = WriteFailureKind::kTooLarge;
  } else if (RawValue(output.kind) == TARVELO_OUTPUT_FILE) {
    DestinationFile file(output.path, options.before_change, options.before_change_context);
    WritePlan(plan, image, file, &failure, settings);
  } else if (RawValue(output.kind) == TARVELO_OUTPUT_FUNC) {
    CallbackOutput function(output.write, output.context);
    WritePlan(plan, image, function, &failure, settings);
  } else {
    BufferOutput buffer;
    if (WritePlan(plan, image, buffer, &failure, settings) == 1) {
      output.buffer = buffer.Release(output.size);
    }
  }
  return ReportWrite(failure, *entry, result) == TARVELO_STATUS_CONVERTED;
}

TarveloStatus Convert(const TarveloSource* source, TarveloOutput& output, int layout,
                      const TarveloOptions* given_options, TarveloResult& result) noexcept {
  Report(result, TARVELO_STATUS_CONVERTED, nullptr);
  if (RawValue(output.kind) == TARVELO_OUTPUT_BUFFER) {
    output.buffer = nullptr;
    output.size = 0;
  }
  TarveloOptions options;
  if (source == nullptr) {
    return Invalid(result, "source is null");
  }
  if (FindLayout(layout) == nullptr) {
    return Invalid(result, "unknown layout");
  }
  if (!ReadOptions(given_options, options)) {
    return Invalid(result, "options structure not recognised (set it up with TarveloInitOptions)");
  }
  if (const char* problem = CheckOutput(output); problem != nullptr) {
    return Invalid(result, problem);
  }
  const DecodeSettings settings{.max_decoded_pixels = options.max_decoded_pixels,
                                .allow_threads = options.allow_threads != 0};
  DecodeResult image;
  if (ReadImage(*source, settings, image, result)) {
    WriteImage(image.image, layout, output, options, result);
  }
  return result.status;
}

TarveloStatus ReadInfo(const TarveloSource& source, TarveloImageInfo& info, TarveloResult& result) noexcept {
  Report(result, TARVELO_STATUS_CONVERTED, nullptr);
  if (RawValue(source.kind) == TARVELO_SOURCE_PIXELS) {
    return Invalid(result, "only a file or memory source has information to read");
  }
  DecodeResult read;
  if (ReadImage(source, {}, read, result, true)) {
    info = {.width = read.image.width,
            .height = read.image.height,
            .channels = read.image.channels,
            .format = SourceFormatName(read.format)};
  }
  return result.status;
}

}  // namespace tarvelo
