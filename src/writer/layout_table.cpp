#include <cstring>
#include <span>

#include "writer/output_layouts.h"

namespace tarvelo {
namespace {

constexpr LayoutEntry kLayouts[] = {
    {Layout::kTga, "tga", ".tga", PlanTgaFile, "TGA stores at most 65535 pixels per side"},
    {Layout::kBmp, "bmp", ".bmp", PlanBmpFile, "BMP file size would exceed 4 GiB"},
};

// `text` equals `lower_case` but for the case of ASCII letters.
bool EqualsFolded(const char* text, const char* lower_case) noexcept {
  for (; *text != '\0' && *lower_case != '\0'; ++text, ++lower_case) {
    const char c = *text;
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != *lower_case) {
      return false;
    }
  }
  return *text == *lower_case;
}

}  // namespace

std::span<const LayoutEntry> Layouts() noexcept { return kLayouts; }

const LayoutEntry& LayoutOf(Layout layout) noexcept { return *FindLayout(static_cast<int>(layout)); }

const LayoutEntry* FindLayout(int value) noexcept {
  for (const LayoutEntry& entry : kLayouts) {
    if (static_cast<int>(entry.layout) == value) {
      return &entry;
    }
  }
  return nullptr;
}

const LayoutEntry* FindLayoutByName(const char* name) noexcept {
  if (name == nullptr) {
    return nullptr;
  }
  // The extension is what follows the last dot; one followed by a directory
  // separator ("dir.tga/out") ends no extension, as the comparison shows.
  const char* dot = std::strrchr(name, '.');
  for (const LayoutEntry& entry : kLayouts) {
    if (EqualsFolded(name, entry.name) || (dot != nullptr && EqualsFolded(dot, entry.extension))) {
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace tarvelo
