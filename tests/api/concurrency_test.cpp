// Conversions on several threads at once share nothing: every output is exact and
// every failure reports its own reason.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "reference_decoder.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_path.h"

namespace tarvelo::test {
namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 8;

struct Job {
  std::string source;
  Bytes expected_tga;
  Bytes expected_bmp;
};

// What one thread saw; checked on the main thread after all have finished.
struct Outcome {
  std::vector<std::string> problems;
};

void RunThread(const TempDir& dir, int thread, const std::vector<Job>& jobs, Outcome& outcome) {
  const auto note = [&outcome](const std::string& problem) { outcome.problems.push_back(problem); };
  const auto read = [](const std::string& path) {
    try {
      return ReadFileBytes(path);
    } catch (const std::exception&) {
      return Bytes{};  // a missing output differs from every expectation
    }
  };
  const std::string missing = dir.File(std::to_string(thread) + "-missing.png");
  const std::string garbage = dir.File("garbage.bin");
  for (int round = 0; round < kRounds; ++round) {
    const Job& job = jobs[static_cast<size_t>(thread + round) % jobs.size()];
    const std::string stem = dir.File(std::to_string(thread) + "-" + std::to_string(round));
    std::string where = "thread ";
    where.append(std::to_string(thread)).append(" round ").append(std::to_string(round)).append(": ");

    if (BMP2TGA(WidePath(job.source).c_str(), WidePath(stem + ".tga").c_str()) != 999) {
      note(where + "BMP2TGA did not return 999");
    }
    if (TGA2BMP(WidePath(job.source).c_str(), WidePath(stem + ".bmp").c_str()) != 999) {
      note(where + "TGA2BMP did not return 999");
    }
    char detail[128] = "";
    if (TarveloConvert(job.source.c_str(), (stem + "-status.tga").c_str(), TARVELO_LAYOUT_TGA, detail,
                       sizeof detail) != TARVELO_STATUS_CONVERTED) {
      note(where + "TarveloConvert failed: " + detail);
    }
    if (read(stem + ".tga") != job.expected_tga || read(stem + "-status.tga") != job.expected_tga) {
      note(where + "TGA differs for " + job.source);
    }
    if (read(stem + ".bmp") != job.expected_bmp) {
      note(where + "BMP differs for " + job.source);
    }

    // Failures interleaved with the other threads' work: each reason is this
    // call's own, not another thread's.
    const bool use_missing = (thread + round) % 2 == 0;
    const std::string& bad = use_missing ? missing : garbage;
    const std::string expected_reason =
        use_missing ? "No such file or directory"
                    : "not an image format this library reads (JPEG, PNG, BMP, TGA, GIF, PSD, HDR, PIC, PNM)";
    if (TarveloConvert(bad.c_str(), (stem + "-bad.bmp").c_str(), TARVELO_LAYOUT_BMP, detail, sizeof detail) !=
            TARVELO_STATUS_SOURCE_UNREADABLE ||
        expected_reason != detail) {
      note(where.append("expected \"")
               .append(expected_reason)
               .append("\", got \"")
               .append(detail)
               .append("\""));
    }
  }
}

TEST(Concurrency, ThreadsConvertIndependently) {
  const TempDir dir;
  // Sources are made before any thread starts: the TGA encoder's RLE switch is
  // process-wide.
  const std::vector<std::pair<std::string, Image>> pictures = {
      {"a.png", MakeTestImage(7, 9, 4)},   {"b.bmp", MakeTestImage(33, 17, 3)},
      {"c.tga", MakeTestImage(5, 40, 2)},  {"d.jpg", MakeTestImage(64, 48, 3)},
      {"e.png", MakeTestImage(301, 3, 1)}, {"f.tga", MakeTestImage(6, 6, 4)},
  };
  std::vector<Job> jobs;
  for (const auto& [name, picture] : pictures) {
    const std::string path = dir.File(name);
    bool written = false;
    if (name.ends_with(".png")) {
      written = WritePng(path, picture);
    } else if (name.ends_with(".bmp")) {
      written = WriteBmp(path, picture);
    } else if (name.ends_with(".tga")) {
      written = WriteTga(path, picture, name == "f.tga");
    } else {
      written = WriteJpeg(path, picture, 85);
    }
    ASSERT_TRUE(written) << name;
    Image decoded;
    ASSERT_TRUE(DecodeReference(path, decoded)) << name;
    jobs.push_back({path, ExpectedTgaFile(decoded), ExpectedBmpFile(decoded)});
  }
  WriteFileBytes(dir.File("garbage.bin"), Bytes(300, 0x5A));

  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back(RunThread, std::cref(dir), thread, std::cref(jobs), std::ref(outcomes[thread]));
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const Outcome& outcome : outcomes) {
    for (const std::string& problem : outcome.problems) {
      ADD_FAILURE() << problem;
    }
  }
  // Nothing but the outputs: no temporary file left by any thread.
  EXPECT_EQ(pictures.size() + 1 + size_t{kThreads} * kRounds * 3, ListDirectory(dir.path().string()).size());
}

// Large images bring the library's own threads in: a helper that maps the decoder's
// buffer while it is filled, and a thread that writes the file while the pixels
// are converted. Two conversions at once, each with its helpers, stay exact.
TEST(Concurrency, LargeImagesUseTheLibrarysThreadsExactly) {
  const TempDir dir;
  // 23 MB decoded, 23 MB of TGA, 17 MB of BMP: above the sizes at which the
  // library starts its helper threads.
  const Image picture = MakeTestImage(2400, 2400, 4);
  const std::string source = dir.File("large.tga");
  ASSERT_TRUE(WriteTga(source, picture, false));
  Image decoded;
  ASSERT_TRUE(DecodeReference(source, decoded));
  const Bytes expected_tga = ExpectedTgaFile(decoded);
  const Bytes expected_bmp = ExpectedBmpFile(decoded);

  constexpr int kLargeThreads = 2;
  std::vector<std::string> problems(kLargeThreads);
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kLargeThreads; ++thread) {
    threads.emplace_back([&, thread] {
      const std::string stem = dir.File("out-" + std::to_string(thread));
      char detail[128] = "";
      for (const auto& [layout, extension, expected] :
           {std::tuple{TARVELO_LAYOUT_TGA, ".tga", &expected_tga},
            std::tuple{TARVELO_LAYOUT_BMP, ".bmp", &expected_bmp}}) {
        if (TarveloConvert(source.c_str(), (stem + extension).c_str(), layout, detail, sizeof detail) !=
            TARVELO_STATUS_CONVERTED) {
          problems[thread] += std::string(extension) + " failed: " + detail + "; ";
        } else if (ReadFileBytes(stem + extension) != *expected) {
          problems[thread] += std::string(extension) + " differs; ";
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const std::string& problem : problems) {
    EXPECT_EQ("", problem);
  }
}

}  // namespace
}  // namespace tarvelo::test
