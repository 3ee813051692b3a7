#include "desktop/input/key_code_map.h"

#include <array>
#include <string>
#include <unordered_map>

namespace vela {

namespace {

// The values are the ANSI-layout virtual key codes, which follow the physical key
// matrix rather than the alphabet (hence KeyS 1, KeyB 11).
// clang-format off
constexpr std::array<KeyCodeMap::Entry, 102> kTable{{
    {"KeyA", 0x00},          {"KeyS", 0x01},         {"KeyD", 0x02},
    {"KeyF", 0x03},          {"KeyH", 0x04},         {"KeyG", 0x05},
    {"KeyZ", 0x06},          {"KeyX", 0x07},         {"KeyC", 0x08},
    {"KeyV", 0x09},          {"KeyB", 0x0B},         {"KeyQ", 0x0C},
    {"KeyW", 0x0D},          {"KeyE", 0x0E},         {"KeyR", 0x0F},
    {"KeyY", 0x10},          {"KeyT", 0x11},         {"KeyO", 0x1F},
    {"KeyU", 0x20},          {"KeyI", 0x22},         {"KeyP", 0x23},
    {"KeyL", 0x25},          {"KeyJ", 0x26},         {"KeyK", 0x28},
    {"KeyN", 0x2D},          {"KeyM", 0x2E},

    {"Digit1", 0x12},        {"Digit2", 0x13},       {"Digit3", 0x14},
    {"Digit4", 0x15},        {"Digit6", 0x16},       {"Digit5", 0x17},
    {"Digit9", 0x19},        {"Digit7", 0x1A},       {"Digit8", 0x1C},
    {"Digit0", 0x1D},

    {"Equal", 0x18},         {"Minus", 0x1B},        {"BracketRight", 0x1E},
    {"BracketLeft", 0x21},   {"Quote", 0x27},        {"Semicolon", 0x29},
    {"Backslash", 0x2A},     {"Comma", 0x2B},        {"Slash", 0x2C},
    {"Period", 0x2F},        {"Backquote", 0x32},

    {"Enter", 0x24},         {"Tab", 0x30},          {"Space", 0x31},
    {"Backspace", 0x33},     {"Escape", 0x35},

    {"MetaRight", 0x36},     {"MetaLeft", 0x37},     {"ShiftLeft", 0x38},
    {"CapsLock", 0x39},      {"AltLeft", 0x3A},      {"ControlLeft", 0x3B},
    {"ShiftRight", 0x3C},    {"AltRight", 0x3D},     {"ControlRight", 0x3E},
    {"Fn", 0x3F},

    {"F5", 0x60},            {"F6", 0x61},           {"F7", 0x62},
    {"F3", 0x63},            {"F8", 0x64},           {"F9", 0x65},
    {"F11", 0x67},           {"F10", 0x6D},          {"F12", 0x6F},
    {"F4", 0x76},            {"F2", 0x78},           {"F1", 0x7A},

    {"Help", 0x72},          {"Home", 0x73},         {"PageUp", 0x74},
    {"Delete", 0x75},        {"End", 0x77},          {"PageDown", 0x79},
    {"ArrowLeft", 0x7B},     {"ArrowRight", 0x7C},   {"ArrowDown", 0x7D},
    {"ArrowUp", 0x7E},

    {"NumpadDecimal", 0x41}, {"NumpadMultiply", 0x43}, {"NumpadAdd", 0x45},
    {"NumpadClear", 0x47},   {"NumpadDivide", 0x4B}, {"NumpadEnter", 0x4C},
    {"NumpadSubtract", 0x4E}, {"NumpadEqual", 0x51}, {"Numpad0", 0x52},
    {"Numpad1", 0x53},       {"Numpad2", 0x54},      {"Numpad3", 0x55},
    {"Numpad4", 0x56},       {"Numpad5", 0x57},      {"Numpad6", 0x58},
    {"Numpad7", 0x59},       {"Numpad8", 0x5B},      {"Numpad9", 0x5C},
}};
// clang-format on

const std::unordered_map<std::string_view, std::uint16_t>& index() {
  static const auto* const map = [] {
    auto* built = new std::unordered_map<std::string_view, std::uint16_t>();
    for (const auto& entry : kTable) built->emplace(entry.code, entry.virtualKey);
    return built;
  }();
  return *map;
}

}  // namespace

std::optional<std::uint16_t> KeyCodeMap::virtualKey(std::string_view jsCode) {
  const auto& map = index();
  auto it = map.find(jsCode);
  if (it == map.end()) return std::nullopt;
  return it->second;
}

std::span<const KeyCodeMap::Entry> KeyCodeMap::entries() { return kTable; }

}  // namespace vela
