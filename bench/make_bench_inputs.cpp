// Makes the comparison's source images with an independent encoder: photo-like
// content (smooth light, texture, sensor noise, hard-edged objects and, for RGBA, a
// soft cut-out) so that PNG and JPEG compress and decode as a real photo would.
//
// Usage: tarvelo-make-bench-inputs DIR
// Writes into DIR (which must exist) the files the comparison names; a file that
// already exists is kept, so a second run costs nothing.
#include <stb/stb_image_write.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Size {
  int width;
  int height;
};

constexpr Size kLarge{6000, 4000};  // 24 MP
constexpr Size kSmall{1224, 816};   // 1 MP
constexpr Size kBatch{640, 480};
constexpr int kBatchCount = 200;
constexpr Size kSmallBatch{64, 64};
constexpr int kSmallBatchCount = 2000;
constexpr int kJpegQuality = 90;

// A cheap, deterministic noise source (a linear congruential generator).
class Noise {
 public:
  explicit Noise(uint32_t seed) : state_(seed * 2654435761U + 1U) {}
  int Next(int amplitude) {
    state_ = state_ * 1664525U + 1013904223U;
    return static_cast<int>((state_ >> 16U) % static_cast<uint32_t>(2 * amplitude + 1)) - amplitude;
  }

 private:
  uint32_t state_;
};

// Smooth random detail at one scale (value noise): a random value per lattice
// point, interpolated between them. Summed over a few scales it looks like foliage,
// gravel or fabric, the fine detail that makes JPEG and PNG work as on a photo.
double ValueNoise(int x, int y, int cell, uint32_t seed) {
  const auto lattice = [seed](int i, int j) {
    uint32_t h = static_cast<uint32_t>(i) * 374761393U + static_cast<uint32_t>(j) * 668265263U + seed * 97U;
    h = (h ^ (h >> 13U)) * 1274126177U;
    return static_cast<double>(h >> 16U) / 65535.0 - 0.5;
  };
  const int i = x / cell;
  const int j = y / cell;
  const double fx = static_cast<double>(x % cell) / cell;
  const double fy = static_cast<double>(y % cell) / cell;
  const double top = lattice(i, j) + (lattice(i + 1, j) - lattice(i, j)) * fx;
  const double bottom = lattice(i, j + 1) + (lattice(i + 1, j + 1) - lattice(i, j + 1)) * fx;
  return top + (bottom - top) * fy;
}

double Detail(int x, int y, uint32_t seed) {
  return 0.10 * ValueNoise(x, y, 23, seed) + 0.07 * ValueNoise(x, y, 7, seed + 1) +
         0.05 * ValueNoise(x, y, 3, seed + 2);
}

uint8_t Clamp(double value) { return static_cast<uint8_t>(std::clamp(value, 0.0, 255.0)); }

// An RGBA picture: a lit, textured scene with a few solid objects.
std::vector<uint8_t> Scene(Size size, uint32_t seed) {
  std::vector<uint8_t> rgba(static_cast<size_t>(size.width) * size.height * 4);
  Noise noise(seed);
  const double phase = seed * 0.37;
  const double scale = 1.0 / std::max(size.width, size.height);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const double u = x * scale;
      const double v = y * scale;
      // Sky-to-ground light with broad waves, then fine texture.
      const double light = 0.55 + 0.25 * std::sin(2.1 * u + phase) * std::cos(1.7 * v - phase) - 0.2 * v;
      const double texture =
          0.06 * std::sin(90.0 * u + 13.0 * std::sin(7.0 * v)) * std::sin(70.0 * v + phase) +
          Detail(x, y, seed);
      double r = 255.0 * (light + texture) * (0.9 + 0.2 * u);
      double g = 255.0 * (light + 0.8 * texture) * (0.8 + 0.15 * std::sin(3.0 * v + phase));
      double b = 255.0 * (light * 0.9 + 0.5 * texture) * (0.7 + 0.3 * v);
      // Hard-edged objects: a disc and a band.
      const double du = u - 0.3 - 0.1 * std::sin(phase);
      const double dv = v - 0.35;
      if (du * du + dv * dv < 0.012) {
        r = 200 + 40 * std::sin(40 * u);
        g = 60;
        b = 40;
      } else if (std::fabs(v - 0.5 - 0.1 * std::sin(5 * u + phase)) < 0.02) {
        r = 30;
        g = 50 + 100 * u;
        b = 120;
      }
      uint8_t* pixel = rgba.data() + (static_cast<size_t>(y) * size.width + x) * 4;
      pixel[0] = Clamp(r + noise.Next(3));
      pixel[1] = Clamp(g + noise.Next(3));
      pixel[2] = Clamp(b + noise.Next(3));
      // A cut-out: opaque inside an ellipse, transparent outside, a soft edge between.
      const double eu = (u - 0.45) / 0.38;
      const double ev = (v - 0.33) / 0.28;
      pixel[3] = Clamp(255.0 * (1.0 - eu * eu - ev * ev) * 6.0);
    }
  }
  return rgba;
}

std::vector<uint8_t> Channels(const std::vector<uint8_t>& rgba, int channels) {
  std::vector<uint8_t> out(rgba.size() / 4 * static_cast<size_t>(channels));
  for (size_t i = 0, o = 0; i < rgba.size(); i += 4) {
    if (channels == 1) {
      out[o++] = static_cast<uint8_t>((77 * rgba[i] + 150 * rgba[i + 1] + 29 * rgba[i + 2]) >> 8);
    } else {
      for (int c = 0; c < channels; ++c) {
        out[o++] = rgba[i + static_cast<size_t>(c)];
      }
    }
  }
  return out;
}

bool Exists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

bool Write(const std::string& path, Size size, int channels, const std::vector<uint8_t>& pixels) {
  const std::string extension = path.substr(path.rfind('.') + 1);
  const std::string temporary = path + ".part";
  int ok = 0;
  if (extension == "png") {
    ok = stbi_write_png(temporary.c_str(), size.width, size.height, channels, pixels.data(),
                        size.width * channels);
  } else if (extension == "jpg") {
    ok = stbi_write_jpg(temporary.c_str(), size.width, size.height, channels, pixels.data(), kJpegQuality);
  } else if (extension == "tga") {
    stbi_write_tga_with_rle = 0;
    ok = stbi_write_tga(temporary.c_str(), size.width, size.height, channels, pixels.data());
  } else if (extension == "bmp") {
    ok = stbi_write_bmp(temporary.c_str(), size.width, size.height, channels, pixels.data());
  }
  if (ok == 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
    (void)std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

// The single-conversion sources of one size: name, channel count.
struct Source {
  const char* suffix;
  int channels;
};
constexpr Source kSources[] = {{"rgb.png", 3}, {"rgba.png", 4}, {"grey.png", 1},
                               {"rgb.jpg", 3}, {"rgba.tga", 4}, {"rgb.bmp", 3}};

bool MakeSet(const std::string& directory, const char* prefix, Size size) {
  std::vector<uint8_t> scene;
  for (const Source& source : kSources) {
    const std::string path = directory + "/" + prefix + "-" + source.suffix;
    if (Exists(path)) {
      continue;
    }
    if (scene.empty()) {
      scene = Scene(size, 1);
    }
    if (!Write(path, size, source.channels, Channels(scene, source.channels))) {
      return false;
    }
  }
  return true;
}

bool MakeBatch(const std::string& directory) {
  const std::string batch = directory + "/batch";
  mkdir(batch.c_str(), 0777);
  for (int i = 0; i < kBatchCount; ++i) {
    char name[32];
    (void)std::snprintf(name, sizeof name, "/photo-%03d.png", i);
    const std::string path = batch + name;
    if (!Exists(path) &&
        !Write(path, kBatch, 3, Channels(Scene(kBatch, 100U + static_cast<uint32_t>(i)), 3))) {
      return false;
    }
  }
  return true;
}

// A set of 2000 RGBA pictures, `folder`/<name_format % i>, each `size`: at 64 x 64
// (icons, sprites) what costs is each file's system calls, not its pixels; the same
// pictures at 640 x 480 show what the tool adds per file to decoding.
bool MakeSmallBatch(const std::string& directory, const char* folder, const char* name_format, Size size) {
  const std::string batch = directory + "/" + folder;
  mkdir(batch.c_str(), 0777);
  for (int i = 0; i < kSmallBatchCount; ++i) {
    char name[32];
    (void)std::snprintf(name, sizeof name, name_format, i);
    const std::string path = batch + name;
    if (!Exists(path) && !Write(path, size, 4, Scene(size, 5000U + static_cast<uint32_t>(i)))) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string directory = argv[1];
  const bool ok = MakeSet(directory, "24mp", kLarge) && MakeSet(directory, "1mp", kSmall) &&
                  MakeBatch(directory) && MakeSmallBatch(directory, "small", "/icon-%04d.png", kSmallBatch) &&
                  MakeSmallBatch(directory, "small-640", "/pic-%04d.png", kBatch);
  return ok ? 0 : 1;
}
