#pragma once

// The module's DesktopBackend: X11 capture, GStreamer media (encoder, WebRTC peer,
// recording) and GTK windows.

#include "desktop/desktop_backend.h"

namespace vela {

DesktopBackend& linuxDesktopBackend();

}  // namespace vela
