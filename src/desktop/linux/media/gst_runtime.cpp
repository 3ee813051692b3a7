#include "desktop/linux/media/gst_runtime.h"

#include <gst/gst.h>
#include <openssl/crypto.h>

#include <mutex>

namespace vela::GstRuntime {

Result<void> ensureInitialized() {
  static std::once_flag once;
  static std::string* failure = nullptr;  // never destroyed: media threads outlive exit
  std::call_once(once, [] {
    // GStreamer's pooled streaming threads keep the DTLS handshake's per-thread OpenSSL
    // state until the process ends; OpenSSL's exit handler would free what they still
    // point into. Without effect where the process set this up first, as the agent does.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    GError* error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
      failure = new std::string(error ? error->message : "gst_init failed");
      g_clear_error(&error);
    }
  });
  if (failure) return fail("GStreamer: " + *failure);
  return {};
}

Result<void> requireElements(std::initializer_list<const char*> names) {
  VELA_TRY_VOID(ensureInitialized());
  for (const char* name : names) {
    GstElementFactory* factory = gst_element_factory_find(name);
    if (!factory) return fail(std::string("GStreamer element ") + name + " is not installed");
    gst_object_unref(factory);
  }
  return {};
}

Result<GstElement*> launch(const std::string& description) {
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (pipeline && !error) return pipeline;
  std::string why = error ? error->message : "unknown error";
  g_clear_error(&error);
  if (pipeline) gst_object_unref(pipeline);
  return fail(why);
}

}  // namespace vela::GstRuntime
