#include "layout_choice.h"

namespace tarvelo::cli {

std::optional<TarveloLayout> LayoutFromDestination(const std::string& destination) {
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  if (TarveloLayoutFromName(destination.c_str(), &layout) != TARVELO_STATUS_CONVERTED) {
    return std::nullopt;
  }
  return layout;
}

std::optional<TarveloLayout> LayoutFromName(std::string_view name) {
  const std::string text(name);
  if (std::optional<TarveloLayout> layout = LayoutFromDestination(text)) {
    return layout;
  }
  return LayoutFromDestination("." + text);
}

std::string OutputExtension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  std::string extension = ".";
  extension += name.substr(dot == std::string_view::npos ? 0 : dot + 1);
  for (char& c : extension) {
    c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return extension;
}

}  // namespace tarvelo::cli
