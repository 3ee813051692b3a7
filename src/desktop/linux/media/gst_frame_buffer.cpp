#include "desktop/linux/media/gst_frame_buffer.h"

#include <gst/video/video.h>

#include <cstdint>
#include <memory>

namespace vela {
namespace {

void releaseFrame(gpointer owner) { delete static_cast<std::shared_ptr<const std::uint8_t>*>(owner); }

}  // namespace

GstBuffer* wrapFrameBuffer(const DesktopVideoFrame& frame) {
  if (!frame.pixels || frame.width <= 0 || frame.height <= 0 || frame.stride < frame.width * 4) return nullptr;
  const gsize size = static_cast<gsize>(frame.stride) * static_cast<gsize>(frame.height);
  auto* owner = new std::shared_ptr<const std::uint8_t>(frame.pixels);
  GstBuffer* buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<std::uint8_t*>(owner->get()),
                                                  size, 0, size, owner, releaseFrame);
  if (frame.stride != frame.width * 4) {
    gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
    gint strides[GST_VIDEO_MAX_PLANES] = {frame.stride};
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGRA, frame.width,
                                   frame.height, 1, offsets, strides);
  }
  return buffer;
}

}  // namespace vela
