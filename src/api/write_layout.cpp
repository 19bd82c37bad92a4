#include "api/write_layout.h"

#include "writer/output_layouts.h"

namespace tarvelo {

int WriteLayout(Layout layout, const char* destination_path, const DecodedImage& image,
                WriteFailure* failure) noexcept {
  return layout == Layout::kTga ? WriteTgaFile(destination_path, image, failure)
                                : WriteBmpFile(destination_path, image, failure);
}

}  // namespace tarvelo
