// What the quick-assist end-to-end test does to the X display, as a person would:
//   qa_xtool wait-window TITLE        waits until a top-level window of that title maps
//   qa_xtool type TEXT                types TEXT (digits, space, '-') with XTest
//   qa_xtool key NAME                 presses one key (Return, Escape) with XTest
//   qa_xtool move X Y                 moves the pointer with XTest
//   qa_xtool pointer                  prints "X Y" of the pointer
//   qa_xtool screenshot FILE.png      writes the whole screen as PNG
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// _NET_WM_NAME holds UTF-8 titles ("–" has no Latin-1 WM_NAME).
std::string windowTitle(Display* dpy, Window w) {
  Atom netName = XInternAtom(dpy, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  Atom type;
  int format;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(dpy, w, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) == Success &&
      data) {
    title.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return title;
}

bool hasTitle(Display* dpy, Window w, const std::string& title) {
  if (windowTitle(dpy, w) == title) {
    XWindowAttributes a;
    return XGetWindowAttributes(dpy, w, &a) && a.map_state == IsViewable;
  }
  return false;
}

bool findWindow(Display* dpy, Window w, const std::string& title) {
  if (hasTitle(dpy, w, title)) return true;
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(dpy, w, &root, &parent, &children, &count)) return false;
  bool found = false;
  for (unsigned i = 0; i < count && !found; ++i) found = findWindow(dpy, children[i], title);
  if (children) XFree(children);
  return found;
}

void press(Display* dpy, KeySym sym) {
  KeyCode code = XKeysymToKeycode(dpy, sym);
  XTestFakeKeyEvent(dpy, code, True, CurrentTime);
  XTestFakeKeyEvent(dpy, code, False, CurrentTime);
  XFlush(dpy);
  usleep(30000);
}

int screenshot(Display* dpy, const char* file) {
  Window root = DefaultRootWindow(dpy);
  XWindowAttributes a;
  XGetWindowAttributes(dpy, root, &a);
  XImage* image = XGetImage(dpy, root, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
  if (!image) return 1;
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, a.width, a.height);
  guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
  int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      unsigned long p = XGetPixel(image, x, y);
      guchar* out = pixels + y * stride + x * 3;
      out[0] = (p >> 16) & 0xff;
      out[1] = (p >> 8) & 0xff;
      out[2] = p & 0xff;
    }
  XDestroyImage(image);
  gboolean saved = gdk_pixbuf_save(pixbuf, file, "png", nullptr, nullptr);
  g_object_unref(pixbuf);
  return saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) return 3;
  std::string what = argv[1];
  int status = 0;
  if (what == "wait-window" && argc == 3) {
    while (!findWindow(dpy, DefaultRootWindow(dpy), argv[2])) usleep(100000);
  } else if (what == "type" && argc == 3) {
    for (const char* c = argv[2]; *c; ++c) {
      KeySym sym = *c == ' ' ? XK_space : *c == '-' ? XK_minus : XStringToKeysym(std::string(1, *c).c_str());
      press(dpy, sym);
    }
  } else if (what == "key" && argc == 3) {
    press(dpy, XStringToKeysym(argv[2]));
  } else if (what == "move" && argc == 4) {
    XTestFakeMotionEvent(dpy, -1, std::atoi(argv[2]), std::atoi(argv[3]), CurrentTime);
    XFlush(dpy);
  } else if (what == "pointer") {
    Window root, child;
    int x, y, wx, wy;
    unsigned mask;
    XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &x, &y, &wx, &wy, &mask);
    std::printf("%d %d\n", x, y);
  } else if (what == "screenshot" && argc == 3) {
    status = screenshot(dpy, argv[2]);
  } else {
    status = 2;
  }
  XCloseDisplay(dpy);
  return status;
}
