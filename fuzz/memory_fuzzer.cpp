// The entry points for bytes in memory: the input is the encoded image. Besides the
// sanitizers' checks it holds them to their promises: the buffer and the callback
// receive the same bytes, which are those the same bytes converted from a file
// give; a converted output is exactly as long as its header says; the info agrees
// with what is converted; and a callback that refuses at some offset stops the
// write there with WRITE_FAILED, having received only the output's true beginning.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TarveloConvert.h"
#include "fuzz_target.h"
#include "scratch_directory.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  static_cast<void>(
      std::fprintf(stderr, "memory entry point invariant broken: %s (%s)\n", what, detail.c_str()));
  std::abort();
}

uint32_t Le(const std::string& bytes, size_t offset, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    value = (value << 8U) | static_cast<uint8_t>(bytes[offset + static_cast<size_t>(i)]);
  }
  return value;
}

uint64_t PromisedSize(const std::string& bytes, TarveloLayout layout) {
  if (layout == TARVELO_LAYOUT_TGA) {
    if (bytes.size() < 18) {
      Fail("TGA shorter than its header", std::to_string(bytes.size()));
    }
    return 18 + uint64_t{Le(bytes, 12, 2)} * Le(bytes, 14, 2) * (Le(bytes, 16, 1) / 8);
  }
  if (bytes.size() < 54) {
    Fail("BMP shorter than its header", std::to_string(bytes.size()));
  }
  const uint64_t width = Le(bytes, 18, 4);
  return 54 + uint64_t{Le(bytes, 22, 4)} * (3 * width + width % 4);
}

// Collects what a callback receives, refusing the call that would pass `limit`.
struct Sink {
  std::string bytes;
  size_t limit = SIZE_MAX;
  bool refused = false;
  int calls_after_refusal = 0;

  static int Write(void* context, const void* data, size_t size) {
    auto* sink = static_cast<Sink*>(context);
    if (sink->refused) {
      ++sink->calls_after_refusal;
      return 0;
    }
    if (size == 0 || size > sink->limit - sink->bytes.size()) {
      sink->refused = true;
      return 0;
    }
    sink->bytes.append(static_cast<const char*>(data), size);
    return 1;
  }
};

TarveloStatus ToSink(const TarveloSource& source, TarveloLayout layout, Sink& sink) {
  TarveloOutput output{};
  output.kind = TARVELO_OUTPUT_FUNC;
  output.write = Sink::Write;
  output.context = &sink;
  return TarveloConvertImage(&source, &output, layout, nullptr, nullptr);
}

void Check(const TarveloSource& memory, const std::string& source_file, TarveloLayout layout,
           const TarveloImageInfo& info, TarveloStatus info_status) {
  TarveloOutput to_buffer{};
  to_buffer.kind = TARVELO_OUTPUT_BUFFER;
  TarveloResult result;
  const TarveloStatus status = TarveloConvertImage(&memory, &to_buffer, layout, nullptr, &result);
  if (std::strchr(result.detail, '\n') != nullptr) {
    Fail("detail is more than one line", result.detail);
  }
  void* buffer = to_buffer.buffer;
  const size_t buffer_size = to_buffer.size;
  TarveloSource file{};
  file.kind = TARVELO_SOURCE_FILE;
  file.path = source_file.c_str();
  Sink from_file;
  const TarveloStatus file_status = ToSink(file, layout, from_file);
  if (status != file_status) {
    Fail("memory and file sources disagree", TarveloStatusMessage(status));
  }
  if (status != TARVELO_STATUS_CONVERTED) {
    if (buffer != nullptr || buffer_size != 0) {
      Fail("a failed conversion returned a buffer", TarveloStatusMessage(status));
    }
    return;
  }
  const std::string output(static_cast<const char*>(buffer), buffer_size);
  TarveloFree(buffer);
  if (output != from_file.bytes) {
    Fail("memory and file sources give different bytes", std::to_string(output.size()));
  }
  if (PromisedSize(output, layout) != output.size()) {
    Fail("output size differs from the header's", std::to_string(output.size()));
  }
  if (info_status != TARVELO_STATUS_CONVERTED) {
    Fail("a converted source has no info", TarveloStatusMessage(info_status));
  }
  if (layout == TARVELO_LAYOUT_TGA && (static_cast<uint32_t>(info.width) != Le(output, 12, 2) ||
                                       static_cast<uint32_t>(info.height) != Le(output, 14, 2) ||
                                       (Le(output, 16, 1) == 32) != (info.channels % 2 == 0))) {
    Fail("info differs from the converted image", info.format);
  }
  // A refusal somewhere inside the output, chosen by the input.
  Sink refusing;
  refusing.limit = (memory.size * 7919U) % output.size();
  if (ToSink(memory, layout, refusing) != TARVELO_STATUS_WRITE_FAILED) {
    Fail("a refusing callback did not fail the write", std::to_string(refusing.limit));
  }
  if (refusing.calls_after_refusal != 0 || refusing.bytes.size() > refusing.limit ||
      output.compare(0, refusing.bytes.size(), refusing.bytes) != 0) {
    Fail("the write went on after a refusal", std::to_string(refusing.limit));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The file twin of the same bytes: memory must behave exactly as a file does.
  const std::string source = tarvelo::fuzz::ScratchDirectory() + "/source";
  if (std::FILE* file = std::fopen(source.c_str(), "wb"); file != nullptr) {
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
      std::abort();
    }
  } else {
    std::abort();
  }
  TarveloSource memory{};
  memory.kind = TARVELO_SOURCE_MEMORY;
  memory.data = data;
  memory.size = size;
  TarveloImageInfo info;
  const TarveloStatus info_status = TarveloReadInfo(&memory, &info, nullptr);
  Check(memory, source, TARVELO_LAYOUT_TGA, info, info_status);
  Check(memory, source, TARVELO_LAYOUT_BMP, info, info_status);
  return 0;
}
