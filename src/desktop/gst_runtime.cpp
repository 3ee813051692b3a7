#include "desktop/gst_runtime.h"

#include <gst/gst.h>

#include <mutex>

namespace vela::GstRuntime {

Result<void> ensureInitialized() {
  static std::once_flag once;
  static std::string* failure = nullptr;  // never destroyed: media threads outlive exit
  std::call_once(once, [] {
    GError* error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
      failure = new std::string(error ? error->message : "gst_init failed");
      if (error) g_error_free(error);
    }
  });
  if (failure) return fail("GStreamer: " + *failure);
  return {};
}

}  // namespace vela::GstRuntime
