// Softimage PIC: when the packet data is malformed or ends early, the decoder frees
// its image, keeps going, and converts the freed (null) image with a channel count
// it never set, which asserts or dereferences null. Every packet of every scanline
// must be well-formed and inside the file.
#include <bit>
#include <cstdint>

#include "guard/input_guard.h"

namespace tarvelo::guard {
namespace {

constexpr const char* kPixelsShort = "PIC pixel data ends early";
constexpr const char* kOverrun = "PIC run overruns its scanline";
constexpr int kMaxPackets = 10;

struct Packet {
  uint32_t type = 0;
  uint64_t value_bytes = 0;  // bytes per pixel value: one per channel in the packet
};

// The decoder checks for the end of the file before each value byte it reads.
const char* CheckScanline(SourceReader& reader, const Packet& packet, uint64_t width) {
  if (packet.type == 0) {  // uncompressed
    return reader.Take(width * packet.value_bytes) ? nullptr : kPixelsShort;
  }
  if (packet.type > 2) {
    return "PIC packet has an unknown compression type";
  }
  // Run-length: pure (type 1: a count, cut to the scanline, and one value) or mixed
  // (type 2: a run of one value, or a literal of `count` values).
  for (uint64_t left = width; left > 0;) {
    uint64_t count = reader.Get8();
    if (reader.AtEnd()) {
      return kPixelsShort;
    }
    const bool literal = packet.type == 2 && count < 128;
    if (packet.type == 1) {
      count = count < left ? count : left;
    } else {
      count = literal ? count + 1 : (count == 128 ? reader.Get16Be() : count - 127);
    }
    if (count > left) {
      return kOverrun;
    }
    if (!reader.Take(literal ? count * packet.value_bytes : packet.value_bytes)) {
      return kPixelsShort;
    }
    left -= count;
  }
  return nullptr;
}

}  // namespace

const char* CheckPic(SourceReader& reader) noexcept {
  reader.Skip(92);
  const uint64_t width = reader.Get16Be();
  const uint64_t height = reader.Get16Be();
  if (reader.AtEnd() || width * height * 4 > INT32_MAX) {
    return nullptr;  // refused by the decoder before it allocates
  }
  reader.Skip(8);  // ratio, fields, pad
  Packet packets[kMaxPackets];
  int packet_count = 0;
  bool chained = true;
  while (chained) {
    if (packet_count == kMaxPackets) {
      return "PIC has more than 10 packets";
    }
    chained = reader.Get8() != 0;
    const uint32_t size = reader.Get8();
    const uint32_t type = reader.Get8();
    const uint32_t channels = reader.Get8();
    if (reader.AtEnd()) {
      return "PIC packet list ends early";
    }
    if (size != 8) {
      return "PIC packet is not 8 bits per channel";
    }
    packets[packet_count++] = {type, static_cast<uint64_t>(std::popcount(channels & 0xF0U))};
  }
  for (uint64_t y = 0; y < height; ++y) {
    for (int i = 0; i < packet_count; ++i) {
      if (const char* defect = CheckScanline(reader, packets[i], width); defect != nullptr) {
        return defect;
      }
    }
  }
  return nullptr;
}

}  // namespace tarvelo::guard
