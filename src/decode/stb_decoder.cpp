// The one translation unit that compiles the decoder, with the allocator it decodes
// into (at the end). The decoder's symbols are hidden, so a host process that
// carries its own copy of the decoder can neither replace ours through symbol
// interposition nor see it.
//
// The C library headers the decoder uses come first, outside the hidden region: the
// C library's own functions must keep their default visibility.
#include "decode/stb_decoder.h"

#include <assert.h>
#include <limits.h>
#include <math.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

// Every buffer the decoder allocates comes from the decoder allocator (large ones
// are made resident by a helper thread while the decoder fills them).
#define STBI_MALLOC(size) tarvelo::AllocateDecoderMemory(size)
#define STBI_REALLOC(block, size) tarvelo::ResizeDecoderMemory(block, size)
#define STBI_FREE(block) tarvelo::FreeDecoderMemory(block)
// Sources are read whole into memory first, so the decoder never reads a file.
#define STBI_NO_STDIO
// A build without helper threads has no thread-local storage: the decoder keeps
// its reason for the last failure for the process (see DecoderMemoryScope).
#if defined(TARVELO_NO_HELPER_THREADS)
#define STBI_NO_THREAD_LOCALS
#endif

// The decoder's functions stay out of a shared library's dynamic symbols (set by the
// build where the object format has visibility).
#if defined(TARVELO_HIDE_DECODER_SYMBOLS)
#pragma GCC visibility push(hidden)
#endif
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#if defined(TARVELO_HIDE_DECODER_SYMBOLS)
#pragma GCC visibility pop
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#include "platform/file_system.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#define TARVELO_PREFAULT 1
#endif
#if defined(TARVELO_PREFAULT) && !defined(TARVELO_NO_HELPER_THREADS)
#include <new>
#include <system_error>
#include <thread>
#define TARVELO_PREFAULT_HELPER 1
#endif

namespace tarvelo {

void DecoderBufferDeleter::operator()(unsigned char* pixels) const noexcept { stbi_image_free(pixels); }

namespace {

// The tests of the decoder's own dispatch, in its order, on a context like the one
// the decoder will read through. Each test rewinds the context itself.
// SourceFormat follows this order.
SourceFormat IdentifyContext(stbi__context& context) noexcept {
  static constexpr int (*kTests[])(stbi__context*) = {stbi__png_test, stbi__bmp_test, stbi__gif_test,
                                                      stbi__psd_test, stbi__pic_test, stbi__jpeg_test,
                                                      stbi__pnm_test, stbi__hdr_test, stbi__tga_test};
  static_assert(std::size(kTests) == static_cast<size_t>(SourceFormat::kTga));
  for (size_t i = 0; i < std::size(kTests); ++i) {
    if (kTests[i](&context) != 0) {
      return static_cast<SourceFormat>(i + 1);
    }
  }
  return SourceFormat::kUnknown;
}

// Points a decoder context at the source's first byte.
bool StartContext(const SourceBytes& source, stbi__context& context) noexcept {
  if (source.data == nullptr || source.size == 0 || source.size > INT_MAX) {
    return false;
  }
  stbi__start_mem(&context, source.data, static_cast<int>(source.size));
  return true;
}

// The signatures of the formats that have one (TGA has none).
constexpr std::string_view kSignatures[] = {"\x89PNG\r\n\x1a\n", "BM",       "GIF8", "8BPS",
                                            "\x53\x80\xF6\x34",  "\xFF\xD8", "P5",   "P6",
                                            "#?RADIANCE\n",      "#?RGBE\n"};

// True when the source starts with a signature, or is (two bytes or more of) a start of one.
bool HasSignature(const SourceBytes& source) noexcept {
  const std::string_view start(reinterpret_cast<const char*>(source.data), source.size);
  for (const std::string_view signature : kSignatures) {
    if (source.size >= 2 && signature.starts_with(start.substr(0, signature.size()))) {
      return true;
    }
  }
  return false;
}

// A memory context that notes whether the decoder reached the source's end: read or
// skipped past it, or asked whether it is there when it is. Its callbacks run only then
// and give nothing, so the decoder reads as it would from memory (zeros past the end).
struct NotingContext {
  stbi__context context;
  bool ran_out = false;

  static int Read(void* user, char* /*data*/, int /*size*/) {
    Skip(user, 0);
    return 0;
  }
  static void Skip(void* user, int /*count*/) { static_cast<NotingContext*>(user)->ran_out = true; }
  static int Eof(void* user) {
    auto* self = static_cast<NotingContext*>(user);
    self->ran_out = self->ran_out || self->context.img_buffer >= self->context.img_buffer_end;
    return 1;
  }
};

// Runs a step of the decoder on the source. When it fails on a source of a known format
// after reaching the end, whichever step noticed it, the reason is the decoder's
// "outofdata": the file ends early.
template <typename Step>
auto RunDecoder(const SourceBytes& source, Step step) noexcept {
  NotingContext noting;
  decltype(step(noting.context)) result{};
  if (StartContext(source, noting.context)) {
    noting.context.io = {.read = NotingContext::Read, .skip = NotingContext::Skip, .eof = NotingContext::Eof};
    noting.context.io_user_data = &noting;
    noting.context.read_from_callbacks = 1;
    result = step(noting.context);
    if (!result && noting.ran_out && HasSignature(source)) {
      (void)stbi__err("outofdata", "Corrupt image");
    }
  }
  return result;
}

}  // namespace

SourceFormat IdentifySourceFormat(const SourceBytes& source) noexcept {
  stbi__context context;
  return StartContext(source, context) ? IdentifyContext(context) : SourceFormat::kUnknown;
}

bool ReadDecoderInfo(const SourceBytes& source, int& width, int& height, int& channels) noexcept {
  return RunDecoder(source, [&](stbi__context& context) {
    return stbi__info_main(&context, &width, &height, &channels) != 0;
  });
}

DecoderBuffer DecodePixels(const SourceBytes& source, int& width, int& height, int& channels) noexcept {
  return DecoderBuffer(RunDecoder(source, [&](stbi__context& context) {
    return stbi__load_and_postprocess_8bit(&context, &width, &height, &channels, 0);
  }));
}

const char* DecoderFailureReason() noexcept { return stbi_failure_reason(); }

namespace {

// The decoder's reasons that have plain words of their own (the text for "unknown
// image type" names the formats the decoder reads), and, without words, those that
// name a kind of image it does not read; any other reason is reported as corrupt data.
constexpr const char* kKnownReasons[][2] = {
    {"outofdata", "file ends early"},
    {"bad file", "file ends early"},
    {"unknown image type",
     "not an image format this library reads (JPEG, PNG, BMP, TGA, GIF, PSD, HDR, PIC, PNM)"},
    {"outofmem", "out of memory"},
    {"too large", "image too large for the decoder"},
    {"only 8-bit", nullptr},
    {"1/2/4/8/16-bit only", nullptr},
    {"bad bits_per_channel", nullptr},
    {"unsupported bit depth", nullptr},
    {"max value > 65535", nullptr},
    {"BMP JPEG/PNG", nullptr},
    {"BMP RLE", nullptr},
    {"unknown BMP", nullptr},
    {"unsupported format", nullptr},
    {"unsupported", nullptr},
    {"unsupported data layout", nullptr},
    {"wrong channel count", nullptr},
    {"wrong color format", nullptr},
    {"wrong version", nullptr},
    {"no header height", nullptr},
    {"bad format", nullptr},
};

}  // namespace

void DescribeDecoderFailure(SourceFormat source_format, const char* terse_reason, char* out,
                            size_t size) noexcept {
  const char* format = SourceFormatName(source_format);
  if (terse_reason == nullptr || *terse_reason == '\0') {
    (void)std::snprintf(out, size, "the decoder could not read the %s data", format);
    return;
  }
  bool unsupported = false;
  for (const auto& [terse, plain] : kKnownReasons) {
    if (std::strcmp(terse, terse_reason) != 0) {
      continue;
    }
    if (plain != nullptr) {
      (void)std::snprintf(out, size, "%s", plain);
      return;
    }
    unsupported = true;
  }
  (void)std::snprintf(out, size,
                      unsupported ? "a kind of %s this library does not read (%s)" : "corrupt %s data (%s)",
                      format, terse_reason);
  // Some reasons quote bytes of the file (a PNG chunk's name): keep the line one
  // line of plain text.
  for (char* at = out; *at != '\0'; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte < 0x20 || byte >= 0x7F) {
      *at = '?';
    }
  }
}

const char* SourceFormatName(SourceFormat format) noexcept {
  static constexpr const char* kNames[] = {"unknown", "PNG",  "BMP", "GIF", "PSD",
                                           "PIC",     "JPEG", "PNM", "HDR", "TGA"};
  return kNames[static_cast<int>(format)];
}

uint8_t* InflateLikeDecoder(const uint8_t* data, size_t size, size_t expected_size, bool zlib_header,
                            size_t& inflated_size) noexcept {
  inflated_size = 0;
  if (size > INT_MAX || expected_size > INT_MAX) {
    return nullptr;
  }
  int length = 0;
  char* inflated = stbi_zlib_decode_malloc_guesssize_headerflag(
      reinterpret_cast<const char*>(data), static_cast<int>(size), static_cast<int>(expected_size), &length,
      zlib_header ? 1 : 0);
  if (inflated != nullptr) {
    inflated_size = static_cast<size_t>(length);
  }
  return reinterpret_cast<uint8_t*>(inflated);
}

}  // namespace tarvelo

// ---- the decoder allocator

namespace tarvelo {
namespace {

struct Prefault;

// In front of every block, at malloc's address. Its size keeps the block at the
// alignment malloc guarantees, which the decoder relies on. It asks for no more
// alignment than that: 32-bit Windows' malloc gives 8 bytes, and a header aligned
// beyond what malloc gives would be misaligned there.
struct alignas(kDecoderBlockAlignment) BlockHeader {
  size_t size;
  Prefault* prefault;  // null: no helper
  size_t scope;        // the serial of the scope that counts the block; 0: none
};
static_assert(sizeof(BlockHeader) % kDecoderBlockAlignment == 0);
static_assert(alignof(BlockHeader) <= kDecoderBlockAlignment);

BlockHeader* HeaderOf(void* block) noexcept { return static_cast<BlockHeader*>(block) - 1; }
void* BlockOf(BlockHeader* header) noexcept { return header + 1; }

#if defined(TARVELO_PREFAULT_HELPER)
// The permission of ScopedDecoderThreads: per thread, so that it needs no lock and
// one caller's choice never reaches another's conversion.
thread_local bool t_threads_allowed = false;

struct Prefault {
  std::atomic<bool> stop{false};
  std::thread helper;
};
#endif

#if defined(TARVELO_PREFAULT)

// The helper works in steps so that freeing the block stops it soon: a decoder
// that gives up early on a corrupt file must not wait for, or pay for, pages it
// never needed.
constexpr size_t kPrefaultStep = size_t{2} << 20;

// Kernels before 5.14 do not know MADV_POPULATE_WRITE; after the first refusal no
// more blocks are mapped ahead.
std::atomic<bool> g_populate_refused{false};

void Populate(uint8_t* begin, uint8_t* end, const std::atomic<bool>* stop) noexcept {
  for (uint8_t* at = begin; at < end && !stop->load(std::memory_order_relaxed); at += kPrefaultStep) {
    const size_t length = std::min(static_cast<size_t>(end - at), kPrefaultStep);
    if (madvise(at, length, MADV_POPULATE_WRITE) != 0) {
      if (errno == EINVAL) {
        g_populate_refused.store(true, std::memory_order_relaxed);
      }
      return;  // whatever the reason, the decoder's own faults still work
    }
  }
}

void StartPrefault(BlockHeader* header) noexcept {
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  if (page == 0 || (page & (page - 1)) != 0 || g_populate_refused.load(std::memory_order_relaxed)) {
    return;
  }
  // Only the whole pages inside the block: the partial ones at its ends are shared
  // with other heap memory, which must not be touched.
  auto* begin = static_cast<uint8_t*>(BlockOf(header));
  const uintptr_t first = reinterpret_cast<uintptr_t>(begin);
  const auto lead = static_cast<size_t>((page - first % page) % page);
  const auto tail = static_cast<size_t>((first + header->size) % page);
  if (lead + tail >= header->size) {
    return;
  }
  uint8_t* end = begin + header->size - tail;
  begin += lead;
  if (header->size < kPrefaultFrom) {
    // Not worth a thread, but one call that maps every page costs less than a fault
    // for each.
    const std::atomic<bool> never{false};
    Populate(begin, end, &never);
    return;
  }
  // Without a helper that stops when the block is freed, a large block stays plain:
  // a decoder that gives up early on a corrupt file must not pay for (or hold)
  // pages it never needed.
#if defined(TARVELO_PREFAULT_HELPER)
  auto* prefault = t_threads_allowed ? new (std::nothrow) Prefault : nullptr;
  if (prefault == nullptr) {
    return;
  }
  try {
    prefault->helper = std::thread(Populate, begin, end, &prefault->stop);
  } catch (const std::system_error&) {
    delete prefault;  // no thread to spare: the decoder faults its pages in itself
    return;
  }
  header->prefault = prefault;
#endif
}

#else
void StartPrefault(BlockHeader* /*header*/) noexcept {}
#endif

void StopPrefault([[maybe_unused]] BlockHeader* header) noexcept {
#if defined(TARVELO_PREFAULT_HELPER)
  if (header->prefault != nullptr) {
    header->prefault->stop.store(true, std::memory_order_relaxed);
    header->prefault->helper.join();
    delete header->prefault;
    header->prefault = nullptr;
  }
#endif
}

}  // namespace

// The calling thread's decode accounting (see DecoderMemoryScope): per thread, so
// that it takes no lock and conversions on other threads neither see nor change it.
// A build without helper threads has no thread-local storage either: its account
// is the process's, and a scope holds it until it ends (see DecoderMemoryScope).
// Each scope has a serial that the blocks it counts carry, so that a block freed
// or grown later, by whichever thread, changes no other scope's count.
struct DecoderMemoryAccount {
  static inline std::atomic<size_t> g_last_serial{0};
#if defined(TARVELO_NO_HELPER_THREADS)
  static inline DecoderMemoryScope::State g_account;
  static inline std::atomic_flag g_account_held;
#endif

  static DecoderMemoryScope::State& Current() noexcept {
#if defined(TARVELO_NO_HELPER_THREADS)
    return g_account;
#else
    thread_local DecoderMemoryScope::State state;
    return state;
#endif
  }

  // False when the block may not grow by `more` bytes; records why. Outside a
  // scope (serial 0) nothing is counted.
  static bool Reserve(size_t more) noexcept {
    DecoderMemoryScope::State& state = Current();
    if (state.serial == 0) {
      return true;
    }
    if (more > state.budget || state.held > state.budget - more) {
      state.over_budget = true;
      return false;
    }
    state.held += more;
    state.peak = std::max(state.held, state.peak);
    return true;
  }

  static void Release(size_t less) noexcept {
    DecoderMemoryScope::State& state = Current();
    state.held -= std::min(less, state.held);
  }

  static void Refused() noexcept { Current().out_of_memory = true; }

  // A block made outside any scope carries serial 0, as the account does there,
  // where nothing is counted.
  static bool Counts(const BlockHeader* header) noexcept { return header->scope == Current().serial; }
};

DecoderMemoryScope::DecoderMemoryScope(size_t budget) noexcept {
#if defined(TARVELO_NO_HELPER_THREADS)
  // A waiter pauses rather than spins: a strict-priority scheduler would let a
  // spinning waiter of higher priority keep the holder from ever running.
  while (DecoderMemoryAccount::g_account_held.test_and_set(std::memory_order_acquire)) {
    platform::files.pause();
  }
#endif
  previous_ = DecoderMemoryAccount::Current();
  DecoderMemoryAccount::Current() =
      State{.budget = budget, .serial = DecoderMemoryAccount::g_last_serial.fetch_add(1) + 1};
}

DecoderMemoryScope::~DecoderMemoryScope() {
  DecoderMemoryAccount::Current() = previous_;
#if defined(TARVELO_NO_HELPER_THREADS)
  DecoderMemoryAccount::g_account_held.clear(std::memory_order_release);
#endif
}

bool DecoderMemoryScope::out_of_memory() const noexcept {
  return DecoderMemoryAccount::Current().out_of_memory;
}
bool DecoderMemoryScope::over_budget() const noexcept { return DecoderMemoryAccount::Current().over_budget; }
size_t DecoderMemoryScope::peak() const noexcept { return DecoderMemoryAccount::Current().peak; }

#if defined(TARVELO_PREFAULT_HELPER)
ScopedDecoderThreads::ScopedDecoderThreads(bool allow) noexcept : previous_(t_threads_allowed) {
  t_threads_allowed = allow;
}

ScopedDecoderThreads::~ScopedDecoderThreads() { t_threads_allowed = previous_; }

bool DecoderThreadsAllowed() noexcept { return t_threads_allowed; }
#else
ScopedDecoderThreads::ScopedDecoderThreads(bool /*allow*/) noexcept : previous_(false) {}
ScopedDecoderThreads::~ScopedDecoderThreads() = default;
bool DecoderThreadsAllowed() noexcept { return false; }
#endif

void* AllocateDecoderMemory(size_t size) noexcept { return ResizeDecoderMemory(nullptr, size); }

// A new block (`block` null) counts in the current scope, if any; an old one only
// in the scope that allocated it.
void* ResizeDecoderMemory(void* block, size_t size) noexcept {
  if (size > SIZE_MAX - sizeof(BlockHeader)) {
    DecoderMemoryAccount::Refused();
    return nullptr;
  }
  BlockHeader* header = block != nullptr ? HeaderOf(block) : nullptr;
  const size_t old_size = header != nullptr ? header->size : 0;
  const bool counted = header == nullptr || DecoderMemoryAccount::Counts(header);
  const size_t grown = counted && size > old_size ? size - old_size : 0;
  if (grown != 0 && !DecoderMemoryAccount::Reserve(grown)) {
    return nullptr;  // an old block stays valid
  }
  if (header != nullptr) {
    StopPrefault(header);  // the block may move
  }
  auto* resized = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + size));
  if (resized == nullptr) {
    DecoderMemoryAccount::Release(grown);
    DecoderMemoryAccount::Refused();
    return nullptr;  // an old block stays valid, as realloc's contract says
  }
  if (counted && size < old_size) {
    DecoderMemoryAccount::Release(old_size - size);
  }
  resized->size = size;
  if (header == nullptr) {
    resized->prefault = nullptr;
    resized->scope = DecoderMemoryAccount::Current().serial;
    if (size >= kPopulateFrom) {
      StartPrefault(resized);
    }
  }
  return BlockOf(resized);
}

void FreeDecoderMemory(void* block) noexcept {
  if (block == nullptr) {
    return;
  }
  BlockHeader* header = HeaderOf(block);
  StopPrefault(header);
  if (DecoderMemoryAccount::Counts(header)) {
    DecoderMemoryAccount::Release(header->size);
  }
  std::free(header);
}

}  // namespace tarvelo
