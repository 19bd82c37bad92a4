#pragma once

#include <optional>
#include <string_view>

#include "TarveloConvert.h"

namespace tarvelo::cli {

// "tga" or "bmp", any case.
std::optional<TarveloLayout> LayoutFromName(std::string_view name);

// The layout a destination's extension names (".tga", ".bmp", any case); none for
// any other name.
std::optional<TarveloLayout> LayoutFromDestination(std::string_view destination);

// ".tga" or ".bmp".
const char* ExtensionOf(TarveloLayout layout);

}  // namespace tarvelo::cli
