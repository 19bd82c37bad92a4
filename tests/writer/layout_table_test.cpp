// The layout table: every name, extension and value the library accepts for a
// layout, and the names it refuses.
#include <gtest/gtest.h>

#include <string>

#include "writer/layouts.h"

namespace tarvelo {
namespace {

std::string Upper(std::string text) {
  for (char& c : text) {
    c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return text;
}

// Every name the table gives a layout leads back to that layout, and its value too.
TEST(LayoutTable, NamesExtensionsAndValuesLeadToTheirRow) {
  for (const int value : {0, 1}) {
    ASSERT_NE(nullptr, FindLayout(value));
    const LayoutEntry& entry = *FindLayout(value);
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(value, static_cast<int>(entry.layout));
    const std::string name = entry.name;
    const std::string extension = entry.extension;
    const auto joined = [](std::string first, const std::string& second) { return first.append(second); };
    for (const std::string& given : {name, Upper(name), extension, joined("x", extension),
                                     joined("dir.png/Photo", Upper(extension)), joined("a.b", extension)}) {
      EXPECT_EQ(&entry, FindLayoutByName(given.c_str())) << given;
    }
    for (const std::string& given : {joined(extension, ".png"), joined(joined("dir", extension), "/x"),
                                     joined(extension, "x"), joined(name, "."), joined("x", name)}) {
      EXPECT_EQ(nullptr, FindLayoutByName(given.c_str())) << given;
    }
  }
  EXPECT_EQ(nullptr, FindLayout(-1));
  EXPECT_EQ(nullptr, FindLayout(2));
  EXPECT_EQ(nullptr, FindLayoutByName(nullptr));
  EXPECT_EQ(nullptr, FindLayoutByName(""));
}

}  // namespace
}  // namespace tarvelo
