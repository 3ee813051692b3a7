#include "desktop/webrtc/gst_runtime.h"

#include <gst/gst.h>

#include <mutex>

namespace vela::GstRuntime {

bool ensure(std::string* why) {
  static std::once_flag once;
  static std::string failure;
  std::call_once(once, [] {
    GError* error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
      failure = std::string("GStreamer did not initialise: ") + (error ? error->message : "unknown error");
      g_clear_error(&error);
      return;
    }
    for (const char* name : {"appsrc", "videoconvert", "videoscale", "x264enc", "h264parse", "rtph264pay", "webrtcbin",
                             "nicesrc", "dtlssrtpenc", "sctpenc"}) {
      GstElementFactory* factory = gst_element_factory_find(name);
      if (!factory) {
        failure = std::string("GStreamer element ") + name + " is not installed";
        return;
      }
      gst_object_unref(factory);
    }
  });
  if (!failure.empty() && why) *why = failure;
  return failure.empty();
}

}  // namespace vela::GstRuntime
