// Decoding a source safely: everything (the guard, the size check and the decoder)
// reads the one source, so that what was checked is what is decoded. A file is
// opened once and read through that one handle; a file that changes on disk while
// it is being read is refused. Bytes in memory are read in place, checked the same.
#include "api/decode_source.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "api/error_text.h"
#include "decode/decode_limits.h"
#include "decode/decoder_memory.h"
#include "decode/source_file.h"
#include "decode/source_reader.h"
#include "decode/stb_decoder.h"
#include "guard/input_guard.h"
#if defined(TARVELO_TEST_SEAMS)
#include "source_check_hook.h"  // the tests' copy of this step only (tests/support)
#endif

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility push(hidden)
#endif
#include <stb/stb_image.h>
#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility pop
#endif

namespace tarvelo {
namespace {

constexpr const char* kChanged = "source changed while it was being read";

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { static_cast<void>(std::fclose(file)); }
};
using SourceHandle = std::unique_ptr<std::FILE, FileCloser>;

void SetReason(SourceFailure& failure, const char* reason) noexcept {
  CopyText(reason, failure.text, sizeof failure.text);
}

bool Rewind(std::FILE* file) noexcept {
  std::clearerr(file);
  return std::fseek(file, 0, SEEK_SET) == 0;
}

// One source as the guard, the size check and the decoder read it: an open file
// (read from its start every time) or bytes in memory.
class Source {
 public:
  Source(std::FILE* file, uint64_t size) noexcept : file_(file), size_(size) {}
  Source(const uint8_t* data, size_t size) noexcept : data_(data), size_(size) {}

  SourceFormat Identify() const noexcept {
    return file_ != nullptr ? IdentifySourceFormat(file_) : IdentifySourceFormat(data_, Length());
  }

  // The guard's defect, or null.
  const char* Guard(SourceFormat format) const noexcept {
    if (file_ != nullptr) {
      SourceReader reader(file_, size_);
      return CheckSource(format, reader);
    }
    SourceReader reader(data_, Length());
    return CheckSource(format, reader);
  }

  bool Info(int& width, int& height, int& channels) const noexcept {
    if (file_ != nullptr) {
      return Rewind(file_) && stbi_info_from_file(file_, &width, &height, &channels) != 0;
    }
    return stbi_info_from_memory(data_, Length(), &width, &height, &channels) != 0;
  }

  unsigned char* Load(int& width, int& height, int& channels) const noexcept {
    if (file_ != nullptr) {
      return Rewind(file_) ? stbi_load_from_file(file_, &width, &height, &channels, 0) : nullptr;
    }
    return stbi_load_from_memory(data_, Length(), &width, &height, &channels, 0);
  }

  // A PNG's tRNS chunk (before its image data) gives a grey or RGB image an alpha
  // channel when it is decoded, which the decoder's header scan does not report.
  bool PngHasTransparency() const noexcept {
    if (file_ != nullptr) {
      SourceReader reader(file_, size_);
      return ScanPngForTransparency(reader);
    }
    SourceReader reader(data_, Length());
    return ScanPngForTransparency(reader);
  }

  // The pixels the header claims where the decoder's own header scan may refuse a
  // large image; 0 otherwise.
  uint64_t ClaimedPixels(SourceFormat format) const noexcept {
    if (file_ != nullptr) {
      SourceReader reader(file_, size_);
      return ClaimedSourcePixels(format, reader);
    }
    SourceReader reader(data_, Length());
    return ClaimedSourcePixels(format, reader);
  }

  // Callers refuse memory sources over INT_MAX bytes before making a Source.
  [[nodiscard]] int Length() const noexcept { return static_cast<int>(size_); }

  // True when the PNG's chunks run past the end of the source before its IEND:
  // the decoder then reads zeros and names whatever that looks like.
  bool PngEndsEarly() const noexcept {
    if (file_ != nullptr) {
      SourceReader reader(file_, size_);
      return ScanPngForEnd(reader);
    }
    SourceReader reader(data_, Length());
    return ScanPngForEnd(reader);
  }

 private:
  static bool ScanPngForEnd(SourceReader& reader) noexcept {
    reader.Skip(8);  // signature
    while (reader.Has(8)) {
      const uint32_t length = reader.Get32Be();
      const uint32_t type = reader.Get32Be();
      if (!reader.Has(uint64_t{length} + 4)) {
        return true;
      }
      if (type == 0x49454E44U) {  // "IEND"
        return false;
      }
      reader.Skip(uint64_t{length} + 4);
    }
    return true;
  }

  static bool ScanPngForTransparency(SourceReader& reader) noexcept {
    reader.Skip(8);  // signature
    while (reader.Has(8)) {
      const uint32_t length = reader.Get32Be();
      const uint32_t type = reader.Get32Be();
      if (type == 0x74524E53U) {  // "tRNS"
        return true;
      }
      if (type == 0x49444154U || type == 0x49454E44U) {  // "IDAT", "IEND"
        return false;
      }
      reader.Skip(uint64_t{length} + 4);  // data and CRC
    }
    return false;
  }

  std::FILE* file_ = nullptr;
  const uint8_t* data_ = nullptr;
  uint64_t size_;
};

void SetDecoderReason(const Source& source, SourceFailure& failure, SourceFormat format) noexcept {
  const char* terse = stbi_failure_reason();
  if (format == SourceFormat::kPng && source.PngEndsEarly()) {
    terse = "outofdata";
  }
  DescribeDecoderFailure(SourceFormatName(format), terse, failure.text, sizeof failure.text);
}

// The guard, then the header's size against the cap. True when the source may be
// decoded; `width`, `height` and `channels` are the header's then.
bool CheckSourceHeader(const Source& source, SourceFormat format, uint64_t max_pixels, int& width,
                       int& height, int& channels, SourceFailure& failure) noexcept {
  // The guard comes first: even reading the header for the size check runs the
  // decoder's table building on a hostile JPEG.
  if (const char* defect = source.Guard(format); defect != nullptr) {
    failure.out_of_memory = defect == kCheckOutOfMemory;
    SetReason(failure, failure.out_of_memory ? "out of memory" : defect);
    return false;
  }
  if (!source.Info(width, height, channels)) {
    // The decoder's header scan refuses some large images before the cap is asked.
    if (source.ClaimedPixels(format) > max_pixels) {
      DescribeSizeLimit(max_pixels, failure.text, sizeof failure.text);
    } else {
      SetDecoderReason(source, failure, format);
    }
    return false;
  }
  // A top-down BMP reports its height as negative.
  const uint64_t pixels =
      static_cast<uint64_t>(std::llabs(width)) * static_cast<uint64_t>(std::llabs(height));
  if (pixels > max_pixels) {
    DescribeSizeLimit(max_pixels, failure.text, sizeof failure.text);
    return false;
  }
  return true;
}

// What the decoder allocator saw overrides the decoder's reason, which may be a
// stale one from an earlier step.
void NoteMemory(const DecoderMemoryScope& memory, uint64_t max_pixels, SourceFailure& failure) noexcept {
  if (memory.out_of_memory()) {
    failure = {};
    failure.out_of_memory = true;
    SetReason(failure, "out of memory");
  } else if (memory.over_budget()) {
    failure = {};
    DescribeSizeLimit(max_pixels, failure.text, sizeof failure.text);
  }
}

// Decodes a source that passed the checks and fills in the result's image.
void LoadChecked(const Source& source, DecodeResult& result) noexcept {
  int width = 0;
  int height = 0;
  int channels = 0;
  result.buffer.reset(source.Load(width, height, channels));
  if (!result.buffer) {
    SetDecoderReason(source, result.failure, result.format);
    return;
  }
  if (width <= 0 || height <= 0 || channels < 1 || channels > 4) {
    result.buffer.reset();
    SetReason(result.failure, "decoder returned an empty or malformed image");
    return;
  }
  result.image = {.width = width, .height = height, .channels = channels, .pixels = result.buffer.get()};
}

// Opens a source file and takes its snapshot; null with `failure` set when it
// cannot be read.
SourceHandle OpenChecked(const char* path, SourceSnapshot& snapshot, SourceFailure& failure) noexcept {
  if (path == nullptr) {
    SetReason(failure, "no source path");
    return nullptr;
  }
  errno = 0;
  SourceHandle file(OpenSourceFile(path));
  if (!file) {
    failure.error_number = errno != 0 ? errno : ENOENT;
    return nullptr;
  }
  errno = 0;
  if (!TakeSourceSnapshot(file.get(), snapshot)) {
    if (errno == EISDIR) {
      failure.error_number = EISDIR;
    } else {
      SetReason(failure, "source is not a regular file");
    }
    return nullptr;
  }
  return file;
}

bool MemoryUsable(const uint8_t* data, size_t size, SourceFailure& failure) noexcept {
  if (data == nullptr) {
    SetReason(failure, "no source data");
    return false;
  }
  if (size == 0) {
    SetReason(failure, "source is empty");
    return false;
  }
  // The decoder counts a memory source's bytes in an int.
  if (size > static_cast<size_t>(INT_MAX)) {
    SetReason(failure, "source in memory exceeds 2 GiB");
    return false;
  }
  return true;
}

void FillInfo(const Source& source, SourceInfo& info) noexcept {
  info.format = source.Identify();
  int width = 0;
  int height = 0;
  int channels = 0;
  const DecoderMemoryScope memory(DecoderByteBudget(kMaxDecodedPixels));
  if (!CheckSourceHeader(source, info.format, kMaxDecodedPixels, width, height, channels, info.failure)) {
    NoteMemory(memory, kMaxDecodedPixels, info.failure);
    return;
  }
  // The decoder's header scan reports a top-down BMP's height as negative; it
  // decodes it upright, as tall as that.
  height = height < 0 && height != INT_MIN ? -height : height;
  if (width <= 0 || height <= 0 || channels < 1 || channels > 4) {
    SetReason(info.failure, "decoder returned an empty or malformed image");
    return;
  }
  if (info.format == SourceFormat::kPng && (channels == 1 || channels == 3) && source.PngHasTransparency()) {
    ++channels;
  }
  info.width = width;
  info.height = height;
  info.channels = channels;
}

}  // namespace

void SourceFailure::CopyTo(char* out, size_t size) const noexcept {
  if (error_number != 0) {
    CopyErrorText(error_number, out, size);
  } else {
    CopyText(text, out, size);
  }
}

DecodeResult DecodeImageFile(const char* path, const DecodeSettings& settings) noexcept {
  DecodeResult result;
  SourceSnapshot before;
  const SourceHandle file = OpenChecked(path, before, result.failure);
  if (!file) {
    return result;
  }
  const Source source(file.get(), before.size);
  result.format = source.Identify();
  int width = 0;
  int height = 0;
  int channels = 0;
  const uint64_t cap = EffectivePixelCap(settings.max_decoded_pixels);
  {
    const DecoderMemoryScope memory(DecoderByteBudget(cap));
    if (!CheckSourceHeader(source, result.format, cap, width, height, channels, result.failure)) {
      NoteMemory(memory, cap, result.failure);
      return result;
    }
#if defined(TARVELO_TEST_SEAMS)
    test_seams::RunSourceCheckedHook();
#endif
    const ScopedDecoderThreads threads(settings.allow_threads);
    LoadChecked(source, result);
    if (!result.ok()) {
      NoteMemory(memory, cap, result.failure);
    }
    result.decoder_peak = memory.peak();
  }
  SourceSnapshot after;
  if (!TakeSourceSnapshot(file.get(), after) || after != before) {
    result.buffer.reset();
    result.image = {};
    result.failure = {};
    SetReason(result.failure, kChanged);
  }
  return result;
}

DecodeResult DecodeImageMemory(const uint8_t* data, size_t size, const DecodeSettings& settings) noexcept {
  DecodeResult result;
  if (!MemoryUsable(data, size, result.failure)) {
    return result;
  }
  const Source source(data, size);
  result.format = source.Identify();
  int width = 0;
  int height = 0;
  int channels = 0;
  const uint64_t cap = EffectivePixelCap(settings.max_decoded_pixels);
  const DecoderMemoryScope memory(DecoderByteBudget(cap));
  if (!CheckSourceHeader(source, result.format, cap, width, height, channels, result.failure)) {
    NoteMemory(memory, cap, result.failure);
    return result;
  }
  const ScopedDecoderThreads threads(settings.allow_threads);
  LoadChecked(source, result);
  if (!result.ok()) {
    NoteMemory(memory, cap, result.failure);
  }
  result.decoder_peak = memory.peak();
  return result;
}

SourceInfo ReadSourceInfoFile(const char* path) noexcept {
  SourceInfo info;
  SourceSnapshot snapshot;
  const SourceHandle file = OpenChecked(path, snapshot, info.failure);
  if (file) {
    FillInfo(Source(file.get(), snapshot.size), info);
  }
  return info;
}

SourceInfo ReadSourceInfoMemory(const uint8_t* data, size_t size) noexcept {
  SourceInfo info;
  if (MemoryUsable(data, size, info.failure)) {
    FillInfo(Source(data, size), info);
  }
  return info;
}

}  // namespace tarvelo
