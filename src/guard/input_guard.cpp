#include "guard/input_guard.h"

#include "guard/format_checks.h"

namespace tarvelo {

const char* CheckSource(SourceFormat format, SourceReader& reader) noexcept {
  using namespace guard;
  if (reader.size() == 0) {
    return "source is empty";
  }
  const char* defect = nullptr;
  switch (format) {
    case SourceFormat::kJpeg: defect = CheckJpeg(reader); break;
    case SourceFormat::kPic: defect = CheckPic(reader); break;
    case SourceFormat::kHdr: defect = CheckHdr(reader); break;
    case SourceFormat::kTga: defect = CheckTga(reader); break;
    case SourceFormat::kPnm: defect = CheckPnm(reader); break;
    case SourceFormat::kBmp: defect = CheckBmp(reader); break;
    case SourceFormat::kGif: defect = CheckGif(reader); break;
    case SourceFormat::kPsd: defect = CheckPsd(reader); break;
    case SourceFormat::kPng: defect = CheckPng(reader); break;
    case SourceFormat::kUnknown: defect = CheckUnread(reader); break;  // else refused by the decoder
  }
  return defect;
}

uint64_t ClaimedSourcePixels(SourceFormat format, SourceReader& reader) noexcept {
  return format == SourceFormat::kPng ? guard::PngClaimedPixels(reader) : 0;
}

}  // namespace tarvelo
