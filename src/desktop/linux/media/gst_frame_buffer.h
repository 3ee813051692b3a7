#pragma once

// A captured frame as a GStreamer buffer without copying: the buffer holds a reference
// to the frame's pixels and releases it when GStreamer is done with them.

#include <gst/gst.h>

#include "desktop/desktop_video_input.h"

namespace vela {

// Read-only memory (converters read the capture buffer, never write it); rows padded
// beyond width * 4 are described by video meta. Null for an empty or malformed frame.
GstBuffer* wrapFrameBuffer(const DesktopVideoFrame& frame);

}  // namespace vela
