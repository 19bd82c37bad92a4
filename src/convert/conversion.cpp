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
#include "decode/decoder_memory.h"
#include "decode/source_reader.h"
#include "decode/stb_decoder.h"
#include "guard/input_guard.h"
#include "guard/png_chunks.h"
#include "platform/file_system.h"
#include "platform/text_copy.h"
#include "writer/destination_file.h"
#include "writer/layouts.h"

namespace tarvelo {
namespace {

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

bool OpenedSource::Allocate(uint64_t size, SourceFailure& failure) noexcept {
  if (size == 0) {
    failure.reason = "source is empty";
    return false;
  }
  // The decoder counts a source's bytes in an int.
  if (size > static_cast<uint64_t>(INT_MAX)) {
    failure.reason = "source exceeds 2 GiB";
    return false;
  }
  owned_.reset(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))));
  if (!owned_) {
    failure.out_of_memory = true;
    return false;
  }
  return true;
}

bool OpenedSource::OpenFile(const char* path, SourceFailure& failure) noexcept {
  if (path == nullptr) {
    failure.reason = "no source path";
    return false;
  }
  errno = 0;
  bool not_regular = false;
  std::FILE* file = platform::OpenSourceFile(path, not_regular);
  if (not_regular) {
    failure.reason = "source is not a regular file";
    return false;
  }
  if (file == nullptr) {
    failure.error_number = errno != 0 ? errno : ENOENT;
    return false;
  }
  errno = 0;
  uint64_t size = 0;
  size_t got = 0;
  if (!platform::SourceFileSize(file, size)) {
    if (errno == EISDIR) {
      failure.error_number = EISDIR;
    } else {
      failure.reason = "source is not a regular file";
    }
  } else if (Allocate(size, failure)) {
    // A file that shrank meanwhile gives what it still holds; one that grew, the
    // bytes it had when it was opened. Either way what was read is what is checked.
    got = std::fread(owned_.get(), 1, static_cast<size_t>(size), file);
    if (got == 0) {
      if (std::ferror(file) != 0) {
        failure.error_number = errno != 0 ? errno : EIO;
      } else {
        failure.reason = "source is empty";
      }
    }
  }
  static_cast<void>(std::fclose(file));
  if (failure.failed()) {
    owned_.reset();
    return false;
  }
  bytes_ = {.data = owned_.get(), .size = got};
  return true;
}

bool OpenedSource::UseMemory(const uint8_t* data, size_t size, SourceFailure& failure) noexcept {
  if (data == nullptr) {
    failure.reason = "no source data";
    return false;
  }
  if (!Allocate(size, failure)) {
    if (size > static_cast<size_t>(INT_MAX)) {
      failure.reason = "source in memory exceeds 2 GiB";
    }
    return false;
  }
  std::memcpy(owned_.get(), data, size);
  bytes_ = {.data = owned_.get(), .size = size};
  return true;
}

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

// A C caller may store any int where an enum is declared; in C++ reading an enum
// object that holds a value outside its enumerators is undefined. Read its bytes.
template <typename Enum>
int RawValue(const Enum& value) noexcept {
  static_assert(sizeof(Enum) == sizeof(int), "the C API's enums are int-sized");
  int raw = 0;
  std::memcpy(&raw, &value, sizeof raw);
  return raw;
}

TarveloStatus Invalid(TarveloResult& result, const char* why) noexcept {
  return Report(result, TARVELO_STATUS_INVALID_ARGUMENT, why);
}

// The same for a step that reports success as true.
bool Refuse(TarveloResult& result, const char* why) noexcept {
  Invalid(result, why);
  return false;
}

// Why a source was not decoded, in one line: "out of memory", the size limit naming
// its cap, the system's message for an errno, a reason in plain words, or the
// decoder's reason put in plain words by the decoder room.
TarveloStatus ReportSource(const SourceFailure& failure, SourceFormat format,
                           TarveloResult& result) noexcept {
  Report(result, failure.out_of_memory ? TARVELO_STATUS_OUT_OF_MEMORY : TARVELO_STATUS_SOURCE_UNREADABLE,
         failure.reason);
  result.error_number = failure.error_number;
  if (failure.out_of_memory) {
    CopyText("out of memory", result.detail, sizeof result.detail);
  } else if (failure.over_cap != 0) {
    (void)std::snprintf(result.detail, sizeof result.detail,
                        "image exceeds the decoded-size limit (%" PRIu64 " pixels)", failure.over_cap);
  } else if (failure.error_number != 0) {
    CopyErrorText(failure.error_number, result.detail, sizeof result.detail);
  } else if (failure.by_decoder) {
    DescribeDecoderFailure(format, failure.reason, result.detail, sizeof result.detail);
  }
  return result.status;
}

TarveloStatus ReportWrite(const WriteFailure& failure, const LayoutEntry& layout,
                          TarveloResult& result) noexcept {
  switch (failure.kind) {
    case WriteFailureKind::kNone: return Report(result, TARVELO_STATUS_CONVERTED, nullptr);
    case WriteFailureKind::kTooLarge: return Report(result, TARVELO_STATUS_IMAGE_TOO_LARGE, layout.too_large);
    case WriteFailureKind::kOpenFailed: Report(result, TARVELO_STATUS_DESTINATION_UNOPENABLE, nullptr); break;
    case WriteFailureKind::kWriteFailed: Report(result, TARVELO_STATUS_WRITE_FAILED, nullptr); break;
  }
  if (failure.error_number == kOutputRefused) {
    CopyText("the write callback reported a failure", result.detail, sizeof result.detail);
  } else if (failure.error_number == kPipeWithoutReader) {
    CopyText("destination is a pipe with no reader", result.detail, sizeof result.detail);
  } else if (failure.error_number != 0) {
    result.error_number = failure.error_number;
    CopyErrorText(failure.error_number, result.detail, sizeof result.detail);
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

TarveloStatus Report(TarveloResult& result, TarveloStatus status, const char* detail) noexcept {
  result.status = status;
  result.error_number = 0;
  CopyText(detail, result.detail, sizeof result.detail);
  return status;
}

bool ReadImage(const TarveloSource& source, const DecodeSettings& settings, DecodeResult& image,
               TarveloResult& result) noexcept {
  if (const char* problem = CheckGivenSource(source); problem != nullptr) {
    return Refuse(result, problem);
  }
  if (RawValue(source.kind) == TARVELO_SOURCE_PIXELS) {
    image.image = {.width = source.width,
                   .height = source.height,
                   .channels = source.channels,
                   .pixels = static_cast<const uint8_t*>(source.data),
                   .row_stride = source.row_stride};
    return true;
  }
  image = DecodeSource(source, settings);
  if (!image.ok()) {
    ReportSource(image.failure, image.format, result);
    return false;
  }
  return true;
}

bool WriteImage(const DecodedImage& image, int layout, TarveloOutput& output, const TarveloOptions& options,
                TarveloResult& result) noexcept {
  const LayoutEntry* entry = FindLayout(layout);
  if (entry == nullptr) {
    return Refuse(result, "unknown layout");
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
  DecodeSettings settings;
  settings.allow_threads = options.allow_threads != 0;
  if (options.max_decoded_pixels != 0) {
    settings.max_decoded_pixels = options.max_decoded_pixels;
  }
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
  if (const char* problem = CheckGivenSource(source); problem != nullptr) {
    return Invalid(result, problem);
  }
  const SourceInfo read = ReadSourceInfo(source);
  if (read.failure.failed()) {
    return ReportSource(read.failure, read.format, result);
  }
  info = {.width = read.width,
          .height = read.height,
          .channels = read.channels,
          .format = SourceFormatName(read.format)};
  return result.status;
}

}  // namespace tarvelo
