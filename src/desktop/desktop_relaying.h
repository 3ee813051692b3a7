#pragma once

// Where a root daemon sends desktop frames it cannot serve itself: the channel to the
// per-user session helper. forward() passes one received frame on (re-encoded from its
// decoded envelope, never as the raw text), or says false when the relay cannot serve at all (its socket could
// not be made), so the frame is answered as by an agent without desktop support;
// setUpstream() installs the callback through which those of the helper's frames that
// the relay admits come back to be sent to the gateway. Implementations are thread-safe.

#include <functional>
#include <string>

#include "desktop/session_frame.h"

namespace vela {

class DesktopRelaying {
 public:
  virtual ~DesktopRelaying() = default;
  virtual bool forward(const SessionFrame& frame) = 0;
  virtual void setUpstream(std::function<void(std::string)> upstream) = 0;
};

}  // namespace vela
