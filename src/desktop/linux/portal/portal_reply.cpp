#include "desktop/linux/portal/portal_reply.h"

#include <memory>

namespace vela::portal {
namespace {

struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

Variant lookup(GVariant* dict, const char* key, const GVariantType* type) {
  if (!dict || !g_variant_is_of_type(dict, G_VARIANT_TYPE_VARDICT)) return nullptr;
  return Variant(g_variant_lookup_value(dict, key, type));
}

bool hasKey(GVariant* dict, const char* key) { return lookup(dict, key, nullptr) != nullptr; }

}  // namespace

Result<void> checkResponse(std::uint32_t code, const std::string& step) {
  if (code == 0) return {};
  if (code == 1) return fail("the person at the screen declined the desktop's sharing dialog (" + step + ")");
  return fail("the desktop portal ended the request (" + step + ", response " + std::to_string(code) + ")");
}

Result<std::string> sessionHandleOf(GVariant* results) {
  // Spelled as a string by the portal's own documentation, as an object path by some.
  for (const GVariantType* type : {G_VARIANT_TYPE_STRING, G_VARIANT_TYPE_OBJECT_PATH}) {
    if (auto handle = lookup(results, "session_handle", type)) {
      const char* text = g_variant_get_string(handle.get(), nullptr);
      if (g_variant_is_object_path(text)) return std::string(text);
      return fail("the desktop portal named a session that is no object path");
    }
  }
  return fail("the desktop portal created a session without naming it");
}

Result<Started> startedOf(GVariant* results) {
  auto streams = lookup(results, "streams", G_VARIANT_TYPE("a(ua{sv})"));
  if (!streams) {
    return fail(hasKey(results, "streams") ? "the desktop portal's streams are of an unknown shape"
                                           : "the desktop portal granted no screen stream");
  }
  Started started;
  if (auto devices = lookup(results, "devices", G_VARIANT_TYPE_UINT32)) started.devices = g_variant_get_uint32(devices.get());
  GVariantIter iter;
  g_variant_iter_init(&iter, streams.get());
  guint32 node = 0;
  GVariant* properties = nullptr;
  while (g_variant_iter_next(&iter, "(u@a{sv})", &node, &properties)) {
    Variant owned(properties);
    Stream stream;
    stream.node = node;
    if (auto size = lookup(properties, "size", G_VARIANT_TYPE("(ii)"))) {
      g_variant_get(size.get(), "(ii)", &stream.display.width, &stream.display.height);
      stream.sized = stream.display.width > 0 && stream.display.height > 0;
    }
    // Positions stay the stream's own: input goes to the stream, in its coordinates.
    started.streams.push_back(stream);
  }
  if (started.streams.empty()) return fail("the desktop portal granted no screen stream");
  if (!started.streams.front().sized) return fail("the desktop portal's stream has no size");
  started.streams.front().display.isMain = true;
  return started;
}

Result<std::uint32_t> uintPropertyOf(GVariant* reply) {
  if (!reply || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(v)"))) return fail("not a property reply");
  Variant boxed(g_variant_get_child_value(reply, 0));
  Variant value(g_variant_get_variant(boxed.get()));
  if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32)) return fail("the property is not a number");
  return g_variant_get_uint32(value.get());
}

std::string requestPath(const std::string& uniqueName, const std::string& token) {
  // ":1.42" → "1_42", as the portal derives it.
  std::string sender = uniqueName.starts_with(':') ? uniqueName.substr(1) : uniqueName;
  for (char& c : sender) {
    if (c == '.') c = '_';
  }
  return std::string(kObjectPath) + "/request/" + sender + "/" + token;
}

std::uint32_t cursorModeFor(std::uint32_t available, bool showsCursor) {
  const std::uint32_t order[] = {showsCursor ? kCursorEmbedded : kCursorHidden, kCursorEmbedded, kCursorMetadata,
                                 kCursorHidden};
  for (std::uint32_t mode : order) {
    if (available & mode) return mode;
  }
  return 0;
}

}  // namespace vela::portal
