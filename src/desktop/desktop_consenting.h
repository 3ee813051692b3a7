#pragma once

// Asks the person at the machine whether an attended session may start. request() may
// be called from any thread; the dialog runs on the UI main loop and the completion is
// called there exactly once (for a window host's dialog: on the thread that reads its
// answers). A timeout, and a dialog whose process died, count as declined.

#include <chrono>
#include <functional>
#include <string>

namespace vela {

class DesktopConsenting {
 public:
  using Completion = std::function<void(bool accepted)>;

  virtual ~DesktopConsenting() = default;
  virtual void request(std::chrono::milliseconds timeout, const std::string& operatorName,
                       const std::string& brandName, const std::string& logoBase64, bool recording,
                       Completion completion) = 0;
};

// How long the session controller waits for an answer.
inline constexpr std::chrono::seconds kConsentTimeout{45};

}  // namespace vela
