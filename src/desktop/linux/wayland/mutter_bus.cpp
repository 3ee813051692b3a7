#include "desktop/linux/wayland/mutter_bus.h"

namespace vela::mutter {
namespace {

std::string textOf(GError* error) {
  if (!error) return "unknown error";
  // The remote error's name prefix ("GDBus.Error:org...: ") says nothing to a reader.
  if (g_dbus_error_is_remote_error(error)) g_dbus_error_strip_remote_error(error);
  std::string text = error->message;
  g_clear_error(&error);
  return text;
}

}  // namespace

Result<Connection> openSessionBus() {
  GError* error = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!address) return fail("no session bus: " + textOf(error));
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address, static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  g_free(address);
  if (!bus) return fail("cannot connect to the session bus: " + textOf(error));
  // The default would end the whole process when the bus goes away.
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  return Connection(bus);
}

Result<Variant> call(GDBusConnection* bus, const char* destination, const std::string& path, const char* interface,
                     const char* method, GVariant* params, const char* replyType, GDBusCallFlags flags) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, destination, path.c_str(), interface, method, params,
                                                replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                flags, 10'000, nullptr, &error);
  if (!reply) return fail(std::string(method) + ": " + textOf(error));
  return Variant(reply);
}

bool hasOwner(GDBusConnection* bus, const char* name) {
  auto reply = call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                    g_variant_new("(s)", name), "(b)");
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply->get(), "(b)", &owned);
  return owned;
}

std::string whyUnavailable() {
  auto bus = openSessionBus();
  if (!bus) return bus.error().message;
  for (const char* name : {kRemoteDesktopName, kScreenCastName}) {
    if (!hasOwner(bus->get(), name))
      return std::string("mutter's remote-desktop API (") + name + ") is not on the session bus";
  }
  return "";
}

}  // namespace vela::mutter
