#include "ui/gtk_display.h"

// Before Xlib: its macros (None, Bool, Status) clash with the test framework's names.
#include <gtest/gtest.h>

#include "support/background_process.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <X11/extensions/XTest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <stdexcept>

namespace vela::testing {

GtkDisplay& GtkDisplay::shared() {
  static GtkDisplay* display = new GtkDisplay();  // lives until exit, like the server
  return *display;
}

GtkDisplay::GtkDisplay() : server_(new XvfbServer(kWidth, kHeight)), name_(server_->displayName()) {
  if (!server_->running()) throw std::runtime_error("cannot start Xvfb");
  setenv("DISPLAY", name_.c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
  setenv("GDK_BACKEND", "x11", 1);
  setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus in a private X server
  xtest_ = XOpenDisplay(name_.c_str());
  if (!xtest_) throw std::runtime_error("cannot open " + name_);

  std::promise<bool> started;
  loop_ = std::thread([&started] {
    bool ok = gtk_init_check(nullptr, nullptr);
    started.set_value(ok);
    if (ok) gtk_main();
  });
  if (!started.get_future().get()) throw std::runtime_error("gtk_init failed on " + name_);
  // The loop must be gone before the server: GDK ends the process when its display dies.
  std::atexit([] {
    GtkDisplay& d = shared();
    d.run([] { gtk_main_quit(); });
    d.loop_.join();
    XCloseDisplay(d.xtest_);
    d.server_->kill();
  });
}

void GtkDisplay::run(const std::function<void()>& task) {
  std::packaged_task<void()> call(task);
  std::future<void> done = call.get_future();
  g_main_context_invoke(
      nullptr,
      [](gpointer data) -> gboolean {
        (*static_cast<std::packaged_task<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      &call);
  done.get();
}

GtkWidget* GtkDisplay::findWindow(const std::string& widgetName) {
  GtkWidget* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* it = windows; it; it = it->next) {
    GtkWidget* w = GTK_WIDGET(it->data);
    if (gtk_widget_get_mapped(w) && widgetName == gtk_widget_get_name(w)) found = w;
  }
  g_list_free(windows);
  return found;
}

GtkWidget* GtkDisplay::awaitWindow(const std::string& widgetName) {
  GtkWidget* found = nullptr;
  EXPECT_TRUE(BackgroundProcess::waitUntil([&] {
    run([&] {
      found = findWindow(widgetName);
      if (found && g_object_get_data(G_OBJECT(found), "vela-test-seen")) found = nullptr;
      if (found) g_object_set_data(G_OBJECT(found), "vela-test-seen", found);
    });
    return found != nullptr;
  })) << widgetName;
  settle();
  return found;
}

ScreenRect GtkDisplay::rootRect(GtkWidget* widget) {
  GtkAllocation a;
  gtk_widget_get_allocation(widget, &a);
  GtkWidget* top = gtk_widget_get_toplevel(widget);
  int tx = 0, ty = 0, ox = 0, oy = 0;
  gtk_widget_translate_coordinates(widget, top, 0, 0, &tx, &ty);
  gdk_window_get_origin(gtk_widget_get_window(top), &ox, &oy);
  return ScreenRect{ox + tx, oy + ty, a.width, a.height};
}

namespace {
void collect(GtkWidget* widget, std::vector<GtkWidget*>& out) {
  out.push_back(widget);
  if (!GTK_IS_CONTAINER(widget)) return;
  gtk_container_forall(
      GTK_CONTAINER(widget),
      [](GtkWidget* child, gpointer data) { collect(child, *static_cast<std::vector<GtkWidget*>*>(data)); }, &out);
}
}  // namespace

std::vector<std::string> GtkDisplay::labelsOf(GtkWidget* window) {
  std::vector<std::string> texts;
  run([&] {
    std::vector<GtkWidget*> widgets;
    collect(window, widgets);
    for (GtkWidget* w : widgets)
      if (GTK_IS_LABEL(w) && gtk_widget_is_visible(w)) texts.push_back(gtk_label_get_text(GTK_LABEL(w)));
  });
  return texts;
}

ScreenRect GtkDisplay::buttonRect(GtkWidget* window, const std::string& title) {
  ScreenRect rect;
  run([&] {
    std::vector<GtkWidget*> widgets;
    collect(window, widgets);
    for (GtkWidget* w : widgets) {
      const char* label = GTK_IS_BUTTON(w) ? gtk_button_get_label(GTK_BUTTON(w)) : nullptr;
      if (title.empty() ? GTK_IS_ENTRY(w) : label && title == label) rect = rootRect(w);
    }
  });
  return rect;
}

void GtkDisplay::click(int x, int y) {
  XTestFakeMotionEvent(xtest_, 0, x, y, CurrentTime);
  XTestFakeButtonEvent(xtest_, 1, True, CurrentTime);
  XTestFakeButtonEvent(xtest_, 1, False, 10);
  XSync(xtest_, False);
}

void GtkDisplay::press(unsigned long keysym) {
  KeyCode code = XKeysymToKeycode(xtest_, keysym);
  // Keysyms on a key's second level need Shift.
  bool shifted = XkbKeycodeToKeysym(xtest_, code, 0, 0) != keysym;
  KeyCode shift = XKeysymToKeycode(xtest_, XK_Shift_L);
  if (shifted) XTestFakeKeyEvent(xtest_, shift, True, CurrentTime);
  XTestFakeKeyEvent(xtest_, code, True, CurrentTime);
  XTestFakeKeyEvent(xtest_, code, False, CurrentTime);
  if (shifted) XTestFakeKeyEvent(xtest_, shift, False, CurrentTime);
  XSync(xtest_, False);
}

void GtkDisplay::chord(std::initializer_list<unsigned long> keysyms) {
  for (unsigned long keysym : keysyms) XTestFakeKeyEvent(xtest_, XKeysymToKeycode(xtest_, keysym), True, CurrentTime);
  for (auto it = std::rbegin(keysyms); it != std::rend(keysyms); ++it)
    XTestFakeKeyEvent(xtest_, XKeysymToKeycode(xtest_, *it), False, CurrentTime);
  XSync(xtest_, False);
}

void GtkDisplay::settle() {
  for (int i = 0; i < 5; ++i) {
    run([] {
      while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
      gdk_display_sync(gdk_display_get_default());
    });
    usleep(40'000);
  }
}

Pixbuf GtkDisplay::screenshot(const std::string& fileName) {
  settle();
  std::filesystem::create_directories(VELA_TEST_OUTPUT_DIR);
  std::string path = VELA_TEST_OUTPUT_DIR "/" + fileName;
  Pixbuf image;
  run([&] {
    image.reset(gdk_pixbuf_get_from_window(gdk_get_default_root_window(), 0, 0, kWidth, kHeight));
    EXPECT_TRUE(gdk_pixbuf_save(image.get(), path.c_str(), "png", nullptr, nullptr)) << path;
  });
  return image;
}

unsigned pixelAt(GdkPixbuf* image, int x, int y) {
  const guchar* p = gdk_pixbuf_get_pixels(image) + y * gdk_pixbuf_get_rowstride(image) +
                    x * gdk_pixbuf_get_n_channels(image);
  return (unsigned(p[0]) << 16) | (unsigned(p[1]) << 8) | p[2];
}

}  // namespace vela::testing
