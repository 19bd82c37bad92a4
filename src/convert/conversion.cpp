#include "convert/conversion.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/text_copy.h"
#include "writer/destination_output.h"
#include "writer/image_file_writer.h"
#include "writer/output_layouts.h"

namespace tarvelo {
namespace {

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
const char* CheckSource(const TarveloSource& source) noexcept {
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

// A new buffer of the file's exact size, taken when the writer says how much is
// coming: the output that fills it allocates it. The caller takes it over from
// Release once the write succeeded; otherwise it is freed with the output.
class NewBufferOutput final : public ByteOutput {
 public:
  NewBufferOutput() = default;
  NewBufferOutput(const NewBufferOutput&) = delete;
  NewBufferOutput& operator=(const NewBufferOutput&) = delete;
  ~NewBufferOutput() { std::free(buffer_); }

  bool Begin(uint64_t size, WriteFailure& failure) noexcept override {
    buffer_ = size <= SIZE_MAX ? static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))) : nullptr;
    if (buffer_ == nullptr) {
      failure = {WriteFailureKind::kWriteFailed, ENOMEM};
      return false;
    }
    capacity_ = static_cast<size_t>(size);
    return true;
  }
  int Write(const uint8_t* data, size_t size) noexcept override {
    if (size > capacity_ - used_) {
      return EOVERFLOW;
    }
    std::memcpy(buffer_ + used_, data, size);
    used_ += size;
    return 0;
  }
  bool Finish(WriteFailure& failure) noexcept override {
    if (used_ != capacity_) {
      failure = {WriteFailureKind::kWriteFailed, EIO};
      return false;
    }
    return true;
  }
  void Release(TarveloOutput& output) noexcept {
    output.buffer = buffer_;
    output.size = used_;
    buffer_ = nullptr;
  }

 private:
  uint8_t* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t used_ = 0;
};

}  // namespace

TarveloStatus Report(TarveloResult& result, TarveloStatus status, const char* detail) noexcept {
  result.status = status;
  result.error_number = 0;
  CopyText(detail, result.detail, sizeof result.detail);
  return status;
}

bool ReadImage(const TarveloSource& source, const DecodeSettings& settings, DecodeResult& image,
               TarveloResult& result) noexcept {
  if (const char* problem = CheckSource(source); problem != nullptr) {
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
    DestinationOutput file(output.path, options.before_change, options.before_change_context);
    WritePlan(plan, image, file, &failure, settings);
  } else if (RawValue(output.kind) == TARVELO_OUTPUT_FUNC) {
    CallbackOutput function(output.write, output.context);
    WritePlan(plan, image, function, &failure, settings);
  } else {
    NewBufferOutput buffer;
    if (WritePlan(plan, image, buffer, &failure, settings) == 1) {
      buffer.Release(output);
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
  if (const char* problem = CheckSource(source); problem != nullptr) {
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
