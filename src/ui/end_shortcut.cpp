#include "ui/end_shortcut.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>

#include <map>

#include "util/log.h"

namespace vela::EndShortcut {
namespace {

constexpr unsigned kModifiers = ControlMask | Mod1Mask;
// The modifiers that decide the combination; Caps Lock and Num Lock do not.
constexpr unsigned kSignificant = ControlMask | Mod1Mask | ShiftMask | Mod4Mask;
// A passive grab matches exact modifier states, so every lock combination is grabbed.
constexpr unsigned kLocks[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

// Main loop only, so without a lock; never destroyed, like the loop.
struct Registry {
  std::map<int, std::function<void()>> ends;
  int next = 1;
  KeyCode key = 0;
};
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

GdkFilterReturn onRootEvent(GdkXEvent* native, GdkEvent*, gpointer) {
  const XEvent* event = static_cast<const XEvent*>(native);
  Registry& r = registry();
  if (event->type != KeyPress || r.key == 0 || event->xkey.keycode != r.key ||
      (event->xkey.state & kSignificant) != kModifiers) {
    return GDK_FILTER_CONTINUE;
  }
  Log::info("desktop: " + std::string(kLabel) + " pressed at the screen");
  // A copy: an end may remove its own entry, or another's.
  auto ends = r.ends;
  for (auto& [id, end] : ends) end();
  return GDK_FILTER_REMOVE;
}

void grab(bool on) {
  GdkDisplay* display = gdk_display_get_default();
  if (!display || !GDK_IS_X11_DISPLAY(display)) return;
  Display* x = gdk_x11_display_get_xdisplay(display);
  Registry& r = registry();
  if (r.key == 0) r.key = XKeysymToKeycode(x, XK_End);
  if (r.key == 0) return;
  gdk_x11_display_error_trap_push(display);
  for (unsigned lock : kLocks) {
    if (on)
      XGrabKey(x, r.key, kModifiers | lock, DefaultRootWindow(x), False, GrabModeAsync, GrabModeAsync);
    else
      XUngrabKey(x, r.key, kModifiers | lock, DefaultRootWindow(x));
  }
  if (gdk_x11_display_error_trap_pop(display) != 0 && on) {
    Log::warn(std::string("desktop: another program holds ") + kLabel +
              "; the banner's \"Beenden\" still ends the session");
  }
  if (on)
    gdk_window_add_filter(gdk_get_default_root_window(), &onRootEvent, nullptr);
  else
    gdk_window_remove_filter(gdk_get_default_root_window(), &onRootEvent, nullptr);
}

}  // namespace

int add(std::function<void()> end) {
  Registry& r = registry();
  if (r.ends.empty()) grab(true);
  const int id = r.next++;
  r.ends.emplace(id, std::move(end));
  return id;
}

void remove(int id) {
  Registry& r = registry();
  if (r.ends.erase(id) == 1 && r.ends.empty()) grab(false);
}

}  // namespace vela::EndShortcut
