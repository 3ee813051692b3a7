#pragma once

// The few D-Bus calls the GNOME backend makes on the user's session bus, as Results.
// Each remote-desktop session has a private connection of its own: mutter ends the
// sessions of a connection that goes away, so a crashed agent leaves nothing running.
// Stateless; GDBus connections are thread-safe.

#include <gio/gio.h>

#include <memory>
#include <string>

#include "util/agent_error.h"

namespace vela::mutter {

inline constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* kScreenCastName = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* kDisplayConfigName = "org.gnome.Mutter.DisplayConfig";

struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

struct ObjectUnref {
  void operator()(void* object) const { g_object_unref(object); }
};
using Connection = std::unique_ptr<GDBusConnection, ObjectUnref>;

// A connection of its own to the session bus named by the environment.
Result<Connection> openSessionBus();
// Calls `method` and returns its reply, or D-Bus's reason in words. `params` is
// consumed when floating. A service not running is not started unless `flags` say so.
Result<Variant> call(GDBusConnection* bus, const char* destination, const std::string& path, const char* interface,
                     const char* method, GVariant* params, const char* replyType,
                     GDBusCallFlags flags = G_DBUS_CALL_FLAGS_NO_AUTO_START);
// Whether `name` has an owner on the bus now.
bool hasOwner(GDBusConnection* bus, const char* name);
// Why mutter's remote-desktop API cannot be used on this session bus, or empty when it can.
std::string whyUnavailable();

}  // namespace vela::mutter
