// JPEG: the decoder builds each Huffman table in fixed arrays of 256 codes without
// checking that the table's code counts fit, and decodes scans with Huffman and
// quantisation tables that may never have been defined (reading its uninitialised
// heap state). It also turns component planes that no complete scan wrote into
// pixels, uninitialised heap bytes included. The guard walks the marker segments as
// the decoder does and checks the tables, the scans and the coverage of every
// component.
#include <array>
#include <cstdint>
#include <utility>

#include "guard/input_guard.h"

namespace tarvelo::guard {
namespace {

constexpr const char* kUndefinedQuant = "JPEG scan uses an undefined quantisation table";

constexpr int kNoMarker = 0xFF;  // the decoder's "no marker" value
constexpr int kStartOfImage = 0xD8;
constexpr int kEndOfImage = 0xD9;
constexpr int kStartOfScan = 0xDA;
constexpr int kNumberOfLines = 0xDC;

bool IsFrame(int marker) { return marker == 0xC0 || marker == 0xC1 || marker == 0xC2; }
bool IsRestart(int marker) { return marker >= 0xD0 && marker <= 0xD7; }

struct Component {
  int id = 0;
  int h = 1;
  int v = 1;
  int quant_table = 0;
  uint64_t blocks_x = 0;  // 8x8 blocks the component's own pixels need
  uint64_t blocks_y = 0;
  bool covered = false;

  [[nodiscard]] uint64_t Blocks() const { return blocks_x * blocks_y; }
};

// A step's verdicts besides a defect: the decoder goes on, or stops here and
// reports an error (nothing later matters).
constexpr Verdict kGoesOn = std::nullopt;
constexpr Verdict kFails = kLeaveToDecoder;

class JpegChecker {
 public:
  explicit JpegChecker(SourceReader& reader) : reader_(reader) {}

  const char* Run() {
    if (NextMarker() != kStartOfImage) {
      return nullptr;
    }
    int marker = NextMarker();
    while (!IsFrame(marker)) {
      if (const Verdict verdict = Segment(marker)) {
        return *verdict;
      }
      marker = NextMarker();
      while (marker == kNoMarker) {
        if (reader_.AtEnd()) {
          return nullptr;  // "no SOF"
        }
        marker = NextMarker();
      }
    }
    progressive_ = marker == 0xC2;
    if (const Verdict verdict = Frame()) {
      return *verdict;
    }
    for (marker = NextMarker(); marker != kEndOfImage; marker = NextMarker()) {
      if (const Verdict verdict = marker == kStartOfScan ? Scan() : Segment(marker)) {
        return *verdict;
      }
    }
    for (int i = 0; i < component_count_; ++i) {
      if (!components_[i].covered) {
        return "JPEG image data does not cover every component";
      }
      // Progressive coefficients are dequantised once, at the end of the image.
      if (progressive_ && !quant_defined_[components_[i].quant_table]) {
        return kUndefinedQuant;
      }
    }
    return nullptr;
  }

 private:
  // The decoder's marker reader: a pending marker found inside scan data, else one
  // byte that must be 0xFF, fill bytes, and the marker code.
  int NextMarker() {
    if (pending_ != kNoMarker) {
      return std::exchange(pending_, kNoMarker);
    }
    return reader_.Get8() == 0xFF ? AfterFill() : kNoMarker;
  }

  // The first byte after a run of 0xFF fill bytes.
  int AfterFill() {
    int byte = 0xFF;
    while (byte == 0xFF) {
      byte = reader_.Get8();
    }
    return byte;
  }

  // A marker segment outside the frame header and the scans, as the decoder's
  // process_marker reads it.
  Verdict Segment(int marker) {
    switch (marker) {
      case kNoMarker: return kFails;
      case kNumberOfLines: {  // read only after the frame header (a height of 0 before it)
        const uint32_t length = reader_.Get16Be();
        return height_ != 0 && length == 4 && reader_.Get16Be() == height_ ? kGoesOn : kFails;
      }
      case 0xDD:  // restart interval
        if (reader_.Get16Be() != 4) {
          return kFails;
        }
        restart_interval_ = reader_.Get16Be();
        return kGoesOn;
      case 0xDB: return QuantisationTables();
      case 0xC4: return HuffmanTables();
      default: break;
    }
    // Application segments and comments: whatever the decoder reads of a JFIF or
    // Adobe header inside, it moves to the segment's end.
    if ((marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE) {
      const uint32_t length = reader_.Get16Be();
      if (length < 2) {
        return kFails;
      }
      reader_.Skip(length - 2);
      return kGoesOn;
    }
    return kFails;  // "unknown marker"
  }

  Verdict QuantisationTables() {
    int64_t length = int64_t{reader_.Get16Be()} - 2;
    while (length > 0) {
      const uint32_t packed_ids = reader_.Get8();
      const uint32_t precision = packed_ids >> 4U;
      const uint32_t table = packed_ids & 15U;
      if (precision > 1 || table > 3) {
        return kFails;
      }
      reader_.Skip(precision != 0 ? 128 : 64);
      quant_defined_[table] = true;
      length -= precision != 0 ? 129 : 65;
    }
    return length == 0 ? kGoesOn : kFails;
  }

  Verdict HuffmanTables() {
    int64_t length = int64_t{reader_.Get16Be()} - 2;
    while (length > 0) {
      const uint32_t packed_ids = reader_.Get8();
      const uint32_t table_class = packed_ids >> 4U;
      const uint32_t table = packed_ids & 15U;
      if (table_class > 1 || table > 3) {
        return kFails;
      }
      // Canonical codes of each length must fit that length, or the decoder stops.
      uint32_t total = 0;
      uint32_t code = 0;
      bool codes_fit = true;
      for (uint32_t bits = 1; bits <= 16; ++bits) {
        const uint32_t count = reader_.Get8();
        total += count;
        code += count;
        codes_fit = codes_fit && (count == 0 || code - 1 < (1U << bits));
        code <<= 1U;
      }
      length -= 17;
      // The decoder writes one entry per code into arrays of 256 before any check.
      if (total > 256) {
        return "JPEG Huffman table counts exceed 256";
      }
      if (!codes_fit) {
        return kFails;
      }
      reader_.Skip(total);
      huffman_defined_[table_class][table] = true;
      length -= total;
    }
    return length == 0 ? kGoesOn : kFails;
  }

  Verdict Frame() {
    const uint32_t length = reader_.Get16Be();
    if (length < 11 || reader_.Get8() != 8) {
      return kFails;
    }
    height_ = reader_.Get16Be();
    width_ = reader_.Get16Be();
    component_count_ = reader_.Get8();
    if (height_ == 0 || width_ == 0 ||
        (component_count_ != 1 && component_count_ != 3 && component_count_ != 4) ||
        length != 8 + 3U * static_cast<uint32_t>(component_count_)) {
      return kFails;
    }
    int h_max = 1;
    int v_max = 1;
    for (int i = 0; i < component_count_; ++i) {
      Component& component = components_[i];
      component.id = reader_.Get8();
      const uint32_t sampling = reader_.Get8();
      component.h = static_cast<int>(sampling >> 4U);
      component.v = static_cast<int>(sampling & 15U);
      component.quant_table = reader_.Get8();
      if (component.h == 0 || component.h > 4 || component.v == 0 || component.v > 4 ||
          component.quant_table > 3) {
        return kFails;
      }
      h_max = component.h > h_max ? component.h : h_max;
      v_max = component.v > v_max ? component.v : v_max;
    }
    if (uint64_t{width_} * height_ * static_cast<uint64_t>(component_count_) > INT32_MAX) {
      return kFails;
    }
    for (int i = 0; i < component_count_; ++i) {
      Component& component = components_[i];
      if (h_max % component.h != 0 || v_max % component.v != 0) {
        return kFails;
      }
      const uint64_t pixels_x = (uint64_t{width_} * component.h + h_max - 1) / h_max;
      const uint64_t pixels_y = (uint64_t{height_} * component.v + v_max - 1) / v_max;
      component.blocks_x = (pixels_x + 7) / 8;
      component.blocks_y = (pixels_y + 7) / 8;
      image_blocks_ += component.Blocks();
    }
    const auto mcu_width = uint64_t{8} * static_cast<uint64_t>(h_max);
    const auto mcu_height = uint64_t{8} * static_cast<uint64_t>(v_max);
    mcus_x_ = (uint64_t{width_} + mcu_width - 1) / mcu_width;
    mcus_y_ = (uint64_t{height_} + mcu_height - 1) / mcu_height;
    return kGoesOn;
  }

  // A scan header, then its entropy-coded data up to the next marker.
  Verdict Scan() {
    const uint32_t length = reader_.Get16Be();
    const int count = reader_.Get8();
    if (count < 1 || count > 4 || count > component_count_ ||
        length != 6 + 2U * static_cast<uint32_t>(count)) {
      return kFails;
    }
    std::array<int, 4> order{};
    std::array<uint32_t, 4> tables{};  // DC table in the high nibble, AC in the low
    for (int i = 0; i < count; ++i) {
      const int id = reader_.Get8();
      tables[i] = reader_.Get8();
      int which = 0;
      while (which < component_count_ && components_[which].id != id) {
        ++which;
      }
      if (which == component_count_ || (tables[i] >> 4U) > 3 || (tables[i] & 15U) > 3) {
        return kFails;
      }
      order[i] = which;
    }
    const uint32_t spectral_start = reader_.Get8();
    const uint32_t spectral_end = reader_.Get8();
    const uint32_t approximation = reader_.Get8();
    const uint32_t high = approximation >> 4U;
    const uint32_t low = approximation & 15U;
    // A baseline scan covers the whole spectrum (the decoder ignores its end).
    if (progressive_ ? (spectral_start > 63 || spectral_end > 63 || spectral_start > spectral_end ||
                        high > 13 || low > 13)
                     : (spectral_start != 0 || high != 0 || low != 0)) {
      return kFails;
    }
    // A progressive scan codes either DC (refinements read single bits, no table) or AC.
    const bool dc_scan = spectral_start == 0 || count > 1;
    const bool uses_dc = !progressive_ || (dc_scan && high == 0);
    const bool uses_ac = !progressive_ || !dc_scan;
    for (int i = 0; i < count; ++i) {
      if (!progressive_ && !quant_defined_[components_[order[i]].quant_table]) {
        return kUndefinedQuant;
      }
      if ((uses_dc && !huffman_defined_[0][tables[i] >> 4U]) ||
          (uses_ac && !huffman_defined_[1][tables[i] & 15U])) {
        return "JPEG scan uses an undefined Huffman table";
      }
      // The decoder visits every block a scan covers, however few bytes the scan holds.
      scan_blocks_ += components_[order[i]].Blocks();
    }
    if (scan_blocks_ > kJpegScanPasses * image_blocks_) {
      return "JPEG scans x blocks exceed the work limit";
    }
    const uint64_t restarts = EntropyCodedData();
    // With a restart interval the decoder leaves the scan at the first interval that
    // does not end in a restart marker, and the blocks after it are never written.
    const uint64_t units = count == 1 ? components_[order[0]].Blocks() : mcus_x_ * mcus_y_;
    const bool complete =
        restart_interval_ == 0 || restarts + 1 >= (units + restart_interval_ - 1) / restart_interval_;
    // A progressive component is initialised only by its first DC scan.
    const bool initialises = !progressive_ || (spectral_start == 0 && spectral_end == 0 && high == 0);
    if (complete && initialises) {
      for (int i = 0; i < count; ++i) {
        components_[order[i]].covered = true;
      }
    }
    return kGoesOn;
  }

  // Skips entropy-coded data as the decoder's bit reader does: 0xFF 0x00 is a data
  // byte, fill bytes are dropped, restart markers are counted, and any other marker
  // ends the scan (it becomes the pending marker).
  uint64_t EntropyCodedData() {
    uint64_t restarts = 0;
    while (reader_.SkipPast(0xFF)) {
      const int byte = AfterFill();
      if (IsRestart(byte)) {
        ++restarts;
      } else if (byte != 0) {
        pending_ = byte;
        break;
      }
    }
    return restarts;
  }

  // Real progressive photos have about ten scans; this many full passes is far beyond any.
  static constexpr uint64_t kJpegScanPasses = 64;
  uint64_t scan_blocks_ = 0;
  uint64_t image_blocks_ = 0;
  SourceReader& reader_;
  int pending_ = kNoMarker;
  bool progressive_ = false;
  uint32_t restart_interval_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  int component_count_ = 0;
  std::array<Component, 4> components_{};
  uint64_t mcus_x_ = 0;
  uint64_t mcus_y_ = 0;
  std::array<bool, 4> quant_defined_{};
  std::array<std::array<bool, 4>, 2> huffman_defined_{};
};

}  // namespace

const char* CheckJpeg(SourceReader& reader) noexcept { return JpegChecker(reader).Run(); }

}  // namespace tarvelo::guard
