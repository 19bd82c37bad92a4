#include "guard/input_guard.h"

#include <iterator>

namespace tarvelo {

const char* CheckSource(SourceFormat format, SourceReader& reader) noexcept {
  using namespace guard;
  // In SourceFormat's order; a source of no format is otherwise refused by the decoder.
  static constexpr const char* (*kChecks[])(SourceReader&) noexcept = {
      CheckUnread, CheckPng, CheckBmp, CheckGif, CheckPsd, CheckPic, CheckJpeg, CheckPnm, CheckHdr, CheckTga};
  static_assert(std::size(kChecks) == static_cast<size_t>(SourceFormat::kTga) + 1);
  return reader.size() == 0 ? "source is empty" : kChecks[static_cast<int>(format)](reader);
}

}  // namespace tarvelo
