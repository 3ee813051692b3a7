#include "desktop/linux/recording/media_check.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include "desktop/linux/webrtc/test_pattern.h"

namespace vela::testing {

std::vector<std::uint8_t> testPattern(int width, int height, int index) {
  DesktopVideoFrame frame = TestPattern(width, height).next(static_cast<std::uint32_t>(index));
  return {frame.pixels.get(), frame.pixels.get() + std::size_t(frame.stride) * std::size_t(height)};
}

DecodedMedia decodeH264(const std::string& source, const std::function<void(GstElement* src)>& push) {
  gst_init(nullptr, nullptr);
  DecodedMedia result;
  GError* error = nullptr;
  std::string description = source + " ! h264parse ! avdec_h264 ! appsink name=out sync=false";
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (!pipeline) {
    result.error = error ? error->message : "parse failed";
    g_clear_error(&error);
    return result;
  }
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  if (push) {
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    push(src);
    gst_object_unref(src);
  }
  while (GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (result.frames == 0) {
      GstStructure* s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
      gst_structure_get_int(s, "width", &result.width);
      gst_structure_get_int(s, "height", &result.height);
      result.firstS = double(GST_BUFFER_PTS(buffer)) / GST_SECOND;
    }
    GstClockTime duration = GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : 0;
    result.endS = double(GST_BUFFER_PTS(buffer) + duration) / GST_SECOND;
    ++result.frames;
    gst_sample_unref(sample);
  }
  GstBus* bus = gst_element_get_bus(pipeline);
  if (GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
    gst_message_parse_error(message, &error, nullptr);
    result.error = error ? error->message : "error";
    g_clear_error(&error);
    gst_message_unref(message);
  }
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return result;
}

}  // namespace vela::testing
