#pragma once

// The clipboard of the screen a desktop session shows: text only. The backend reports
// each new text that someone on the machine copies and, when the operator sends text,
// owns the selection with it until the next copy. One per session; X11 today, a
// Wayland backend is another implementation. Thread-safe; `changed` runs on the
// backend's own thread, must return quickly and is never called after stop() returns.

#include <functional>
#include <string>

namespace vela {

class DesktopClipboard {
 public:
  // Texts over this are never read whole nor sent; the session goes on without them.
  static constexpr std::size_t kMaxBytes = std::size_t{1} << 20;
  using Changed = std::function<void(const std::string& text)>;

  virtual ~DesktopClipboard() = default;
  virtual void start(Changed changed) = 0;
  virtual void set(std::string text) = 0;
  virtual void stop() = 0;
};

}  // namespace vela
