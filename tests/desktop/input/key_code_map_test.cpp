#include "desktop/input/key_code_map.h"

#include <gtest/gtest.h>

#include <set>
#include <string_view>
#include <utility>

namespace vela {
namespace {

TEST(KeyCodeMapTest, HoldsTheAnsiVirtualKeyCodes) {
  const std::pair<const char*, std::uint16_t> telling[] = {
      {"KeyA", 0},         {"KeyS", 1},      {"KeyC", 8},       {"KeyB", 11},
      {"KeyQ", 12},        {"Digit1", 18},   {"Digit0", 29},    {"Enter", 36},
      {"Tab", 48},         {"Space", 49},    {"Backspace", 51}, {"Escape", 53},
      {"MetaRight", 54},   {"MetaLeft", 55}, {"Fn", 63},        {"NumpadDecimal", 65},
      {"NumpadEnter", 76}, {"F5", 96},       {"Help", 114},     {"Home", 115},
      {"PageUp", 116},     {"Delete", 117},  {"F1", 122},       {"ArrowLeft", 123},
      {"ArrowUp", 126},
  };
  for (const auto& [name, code] : telling) EXPECT_EQ(KeyCodeMap::virtualKey(name), code) << name;
  for (const char* unknown : {"IntlBackslash", "F13", "AudioVolumeUp", "", "keya", "KeyA "}) {
    EXPECT_FALSE(KeyCodeMap::virtualKey(unknown)) << unknown;
  }
}

TEST(KeyCodeMapTest, OneHundredAndTwoDistinctKeys) {
  std::set<std::string_view> names;
  std::set<std::uint16_t> codes;
  for (const auto& entry : KeyCodeMap::entries()) {
    names.insert(entry.code);
    codes.insert(entry.virtualKey);
    EXPECT_EQ(KeyCodeMap::virtualKey(entry.code), entry.virtualKey);
  }
  EXPECT_EQ(KeyCodeMap::entries().size(), 102u);
  EXPECT_EQ(names.size(), 102u);
  EXPECT_EQ(codes.size(), 102u);
}

}  // namespace
}  // namespace vela
