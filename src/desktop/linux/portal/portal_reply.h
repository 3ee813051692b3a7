#pragma once

// Reading what the desktop portal answers: a Request's Response (a code and a vardict
// of results) and the interfaces' version properties. The portal is another process on
// the user's bus, so every reply is checked for shape rather than trusted. Stateless.

#include <gio/gio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "desktop/screen_types.h"
#include "util/agent_error.h"

namespace vela::portal {

inline constexpr const char* kBusName = "org.freedesktop.portal.Desktop";
inline constexpr const char* kObjectPath = "/org/freedesktop/portal/desktop";
inline constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
inline constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";

// SelectDevices' device types and SelectSources' source types and cursor modes.
inline constexpr std::uint32_t kKeyboard = 1;
inline constexpr std::uint32_t kPointer = 2;
inline constexpr std::uint32_t kMonitor = 1;
inline constexpr std::uint32_t kCursorHidden = 1;
inline constexpr std::uint32_t kCursorEmbedded = 2;
inline constexpr std::uint32_t kCursorMetadata = 4;

// One stream Start granted: its PipeWire node and the monitor's place and size (the
// portal may leave either out).
struct Stream {
  std::uint32_t node = 0;
  Displays::Info display;
  bool sized = false;
};

// What Start granted.
struct Started {
  std::vector<Stream> streams;
  std::uint32_t devices = 0;
};

// Response code 0 passes; 1 is the person's no, 2 anything else; `step` names the call.
Result<void> checkResponse(std::uint32_t code, const std::string& step);
// CreateSession's results: the session's object path.
Result<std::string> sessionHandleOf(GVariant* results);
// Start's results, which must grant a stream of known size.
Result<Started> startedOf(GVariant* results);
// A property Get reply, (<u>), as a number.
Result<std::uint32_t> uintPropertyOf(GVariant* reply);
// The Request object a call with `token` answers on, for a connection named `uniqueName`.
std::string requestPath(const std::string& uniqueName, const std::string& token);
// The cursor mode to ask for among `available`, or 0 when none fits.
std::uint32_t cursorModeFor(std::uint32_t available, bool showsCursor);

}  // namespace vela::portal
