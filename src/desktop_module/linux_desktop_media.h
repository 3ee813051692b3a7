#pragma once

// Desktop session media on GStreamer: the one encoder, the WebRTC peer on webrtcbin and
// the fragmented-MP4 recording as its branches.

#include <memory>

#include "desktop/desktop_media.h"

namespace vela {

std::unique_ptr<DesktopMedia> makeLinuxDesktopMedia();

}  // namespace vela
