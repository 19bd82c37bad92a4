#include "layout_choice.h"

#include <filesystem>

namespace tarvelo::cli {
namespace {

bool EqualsIgnoringCase(std::string_view text, std::string_view lower_case) {
  if (text.size() != lower_case.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char folded = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (folded != lower_case[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<TarveloLayout> LayoutFromName(std::string_view name) {
  if (EqualsIgnoringCase(name, "tga")) {
    return TARVELO_LAYOUT_TGA;
  }
  if (EqualsIgnoringCase(name, "bmp")) {
    return TARVELO_LAYOUT_BMP;
  }
  return std::nullopt;
}

std::optional<TarveloLayout> LayoutFromDestination(std::string_view destination) {
  const std::string extension = std::filesystem::path(destination).extension().string();
  if (extension.empty()) {
    return std::nullopt;
  }
  return LayoutFromName(std::string_view(extension).substr(1));
}

const char* ExtensionOf(TarveloLayout layout) { return layout == TARVELO_LAYOUT_BMP ? ".bmp" : ".tga"; }

}  // namespace tarvelo::cli
