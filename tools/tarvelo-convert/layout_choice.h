#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "TarveloConvert.h"

namespace tarvelo::cli {

// Which names mean which layout is the library's to say (TarveloLayoutFromName):
// the tool keeps no list of its own, so a name means the same layout here as in
// every other program that uses the library.

// The layout --to NAME asks for: a name the library takes (".tga", "out.BMP"), or a
// bare extension ("tga", any case) taken as the file name extension it is. None
// when the library knows no layout by that name.
std::optional<TarveloLayout> LayoutFromName(std::string_view name);

// The layout a destination's name asks for; none when the library knows none.
std::optional<TarveloLayout> LayoutFromDestination(const std::string& destination);

// The extension a batch gives its outputs for --to NAME: NAME's own extension, or
// NAME itself, in lower case with its dot (".tga" for "TGA", ".tga" and "x.tga").
std::string OutputExtension(std::string_view name);

}  // namespace tarvelo::cli
