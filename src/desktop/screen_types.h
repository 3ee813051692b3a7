#pragma once

// What the screen offers this process: the two permissions remote desktop needs and
// the active displays. Plain records shared by the agent and the desktop module.

#include <cstdint>
#include <string>
#include <variant>

namespace vela {

namespace ScreenPermissions {

enum class State { granted, denied, notDetermined };

struct Summary {
  bool screenRecording = false;
  bool accessibility = false;
  bool ready() const { return screenRecording && accessibility; }
};

}  // namespace ScreenPermissions

namespace Displays {

struct Info {
  std::uint32_t id = 0;
  int width = 0;
  int height = 0;
  bool isMain = false;
  // Position in the screen's coordinate space; capture reads this rectangle.
  int x = 0;
  int y = 0;
};

}  // namespace Displays

struct CaptureError {
  struct NotPermitted {
    std::string message;
  };
  struct NoDisplays {};
  std::variant<NotPermitted, NoDisplays> kind;

  static CaptureError notPermitted(std::string message) { return {NotPermitted{std::move(message)}}; }
  static CaptureError noDisplays() { return {NoDisplays{}}; }
  std::string description() const {
    if (auto* p = std::get_if<NotPermitted>(&kind)) return "screen capture not permitted: " + p->message;
    return "no shareable displays (Screen Recording not granted?)";
  }
};

}  // namespace vela
