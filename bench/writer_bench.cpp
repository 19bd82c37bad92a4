// Throughput of the writer alone, per layout and channel count: into a null sink
// (the stream discards the bytes, so only the pixel routines and the staging
// count) and into the page cache (a real file: temporary file, rename and all).
// A reference writer that hands every byte to the stream with putc_unlocked shows
// what staging in a fixed buffer buys.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "writer/destination_file.h"
#include "writer/layouts.h"
#include "writer/pixel_rows.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

const std::vector<uint8_t>& Pixels(int channels) {
  static std::array<std::vector<uint8_t>, 5> cache;
  auto& pixels = cache.at(static_cast<size_t>(channels));
  if (pixels.empty()) {
    pixels.resize(static_cast<size_t>(kWidth) * kHeight * channels);
    uint32_t state = 12345;
    for (auto& byte : pixels) {
      state = state * 1664525U + 1013904223U;
      byte = static_cast<uint8_t>(state >> 24U);
    }
  }
  return pixels;
}

tarvelo::DecodedImage Image(int channels) {
  return {.width = kWidth, .height = kHeight, .channels = channels, .pixels = Pixels(channels).data()};
}

bool IsTga(const benchmark::State& state) { return state.range(0) == 0; }

tarvelo::PixelStreamParams Params(bool tga, int channels) {
  return {.keep_alpha = tga && channels % 2 == 0, .row_pad = tga ? 0 : kWidth % 4};
}

size_t OutputBytes(bool tga, int channels) {
  const size_t per_pixel = tga && channels % 2 == 0 ? 4 : 3;
  return static_cast<size_t>(kWidth) * kHeight * per_pixel;
}

void Label(benchmark::State& state) {
  state.SetLabel(std::string(IsTga(state) ? "tga" : "bmp") + "/" + std::to_string(state.range(1)) + "ch");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(OutputBytes(IsTga(state), static_cast<int>(state.range(1)))));
}

// The pixel stream into a stream that discards everything.
void BM_PixelRowsToNullSink(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(1));
  const auto image = Image(channels);
  const auto params = Params(IsTga(state), channels);
  std::FILE* null_stream = std::fopen("/dev/null", "wb");
  tarvelo::CallbackOutput output(
      [](void* stream, const void* data, size_t size) {
        return static_cast<int>(std::fwrite(data, 1, size, static_cast<std::FILE*>(stream)) == size);
      },
      null_stream);
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
    tarvelo::ByteSink sink(output);
    tarvelo::EmitPixelRows(sink, params, image);
    benchmark::DoNotOptimize(sink.Flush());
  }
  (void)std::fclose(null_stream);
  Label(state);
}

// The same stream written the naive way: one putc_unlocked per byte under one lock.
void BM_PerBytePutcToNullSink(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(1));
  const auto image = Image(channels);
  const bool tga = IsTga(state);
  const bool alpha = tga && channels % 2 == 0;
  const int pad = tga ? 0 : kWidth % 4;
  std::FILE* null_stream = std::fopen("/dev/null", "wb");
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
    flockfile(null_stream);
    for (int y = kHeight - 1; y >= 0; --y) {
      const uint8_t* p = image.pixels + static_cast<size_t>(y) * kWidth * channels;
      for (int x = 0; x < kWidth; ++x, p += channels) {
        if (channels <= 2) {
          putc_unlocked(p[0], null_stream);
          putc_unlocked(p[0], null_stream);
          putc_unlocked(p[0], null_stream);
        } else if (channels == 4 && !alpha) {
          putc_unlocked(255 - ((255 - p[2]) * p[3]) / 255, null_stream);
          putc_unlocked((p[1] * p[3]) / 255, null_stream);
          putc_unlocked(255 - ((255 - p[0]) * p[3]) / 255, null_stream);
        } else {
          putc_unlocked(p[2], null_stream);
          putc_unlocked(p[1], null_stream);
          putc_unlocked(p[0], null_stream);
        }
        if (alpha) {
          putc_unlocked(p[channels - 1], null_stream);
        }
      }
      for (int i = 0; i < pad; ++i) {
        putc_unlocked(0, null_stream);
      }
    }
    funlockfile(null_stream);
    benchmark::DoNotOptimize(std::fflush(null_stream));
  }
  (void)std::fclose(null_stream);
  Label(state);
}

// A whole file into the page cache: header, pixels, temporary file and rename; with
// threads allowed, a large file is written by the overlapped writer.
void BM_WholeFileToPageCache(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(1));
  const auto image = Image(channels);
  const auto path = (std::filesystem::temp_directory_path() /
                     ("tarvelo-bench-" + std::to_string(getpid()) + (IsTga(state) ? ".tga" : ".bmp")))
                        .string();
  tarvelo::LayoutPlan plan;
  const auto layout = IsTga(state) ? tarvelo::Layout::kTga : tarvelo::Layout::kBmp;
  if (!tarvelo::FindLayout(static_cast<int>(layout))->plan(image, plan)) {
    state.SkipWithError("image too large");
    return;
  }
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
    tarvelo::DestinationFile output(path.c_str());
    const int written =
        tarvelo::WritePlan(plan, image, output, nullptr, {.allow_threads = state.range(2) != 0});
    if (written != 1) {
      state.SkipWithError("write failed");
      break;
    }
    // Each file is new, as a conversion's usually is: replacing the previous one
    // would add the freeing of its pages to the time.
    state.PauseTiming();
    std::filesystem::remove(path);
    state.ResumeTiming();
  }
  std::filesystem::remove(path);
  Label(state);
}

void Layouts(benchmark::internal::Benchmark* bench) {
  for (int layout = 0; layout <= 1; ++layout) {
    for (int channels = 1; channels <= 4; ++channels) {
      bench->Args({layout, channels});
    }
  }
  bench->ArgNames({"bmp", "ch"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

void LayoutsAndThreads(benchmark::internal::Benchmark* bench) {
  for (int layout = 0; layout <= 1; ++layout) {
    for (int channels = 1; channels <= 4; ++channels) {
      for (int threads = 0; threads <= 1; ++threads) {
        bench->Args({layout, channels, threads});
      }
    }
  }
  bench->ArgNames({"bmp", "ch", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

BENCHMARK(BM_PixelRowsToNullSink)->Apply(Layouts);
BENCHMARK(BM_PerBytePutcToNullSink)->Apply(Layouts);
BENCHMARK(BM_WholeFileToPageCache)->Apply(LayoutsAndThreads);

BENCHMARK_MAIN();
