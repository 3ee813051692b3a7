#pragma once

// A compositor's remote-desktop session as the capturer and the injector use it: one
// PipeWire stream of one monitor, and the input of the same session in that stream's
// coordinates. Made by a backend (mutter's API, the desktop portal); the closed handler
// it was opened with runs once when the desktop ends the session, never after close().
// Input calls reach the desktop in the order they are made. Thread-safe.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "desktop/screen_types.h"

namespace vela {

class RemoteDesktopSession {
 public:
  using ClosedHandler = std::function<void(const std::string& why)>;
  // Opens a session that records `displayID` (or the main monitor). `abandoned` turns
  // true when the capture that waits for it stops, so a session waiting for the person
  // at the screen gives up.
  using Opener = std::function<Result<std::shared_ptr<RemoteDesktopSession>, CaptureError>(
      std::optional<std::uint32_t> displayID, bool showsCursor, ClosedHandler onClosed,
      std::function<bool()> abandoned)>;

  virtual ~RemoteDesktopSession() = default;

  virtual std::uint32_t pipewireNode() const = 0;
  // The PipeWire connection the stream lives on, or -1 for the session's default one.
  virtual int pipewireFd() const { return -1; }
  // The recorded monitor: its place in global coordinates and its size.
  virtual const Displays::Info& display() const = 0;
  // How logs name the recorded monitor.
  virtual std::string displayName() const = 0;
  // The size the stream was negotiated at, where display() said otherwise; input is in
  // the stream's pixels. Called once, before any input.
  virtual void streamSized(int /*width*/, int /*height*/) {}

  // Stream coordinates: (0, 0) is the monitor's top left corner.
  virtual void pointerMotion(double x, double y) = 0;
  virtual void pointerButton(std::int32_t evdevCode, bool pressed) = 0;
  // Axis 0 is vertical, 1 horizontal; positive steps scroll down or right.
  virtual void pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) = 0;
  virtual void keyboardKeycode(std::uint32_t evdevCode, bool pressed) = 0;
  // Why the desktop takes no input in this session, or empty when it does.
  virtual std::string refusesInput() const { return ""; }
  // Ends the session at the desktop; no closed handler runs after it returns.
  virtual void close() = 0;
};

}  // namespace vela
