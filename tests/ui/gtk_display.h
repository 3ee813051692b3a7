#pragma once

// A private X server (XvfbServer) with GTK running its main loop on a thread of the test,
// plus what UI tests need: running code on that loop, finding windows by widget name,
// XTest clicks and PNG screenshots. One per test binary (GTK initialises once per process).

#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "support/xvfb_server.h"
#include "ui/pixbuf.h"

typedef struct _GtkWidget GtkWidget;
struct _XDisplay;

namespace vela::testing {

struct ScreenRect {
  int x = 0, y = 0, width = 0, height = 0;
};

// A pixel of `image`, packed 0xRRGGBB.
unsigned pixelAt(GdkPixbuf* image, int x, int y);

class GtkDisplay {
 public:
  static GtkDisplay& shared();  // started on first use, for the rest of the process

  const std::string& name() const { return name_; }
  static constexpr int kWidth = 1280, kHeight = 800;

  // Runs `task` on the GTK main loop and waits for it.
  void run(const std::function<void()>& task);
  // The mapped top-level window whose widget name is `widgetName`, or null. Main loop.
  GtkWidget* findWindow(const std::string& widgetName);
  // Waits until such a window maps that no earlier call returned, and it is drawn.
  GtkWidget* awaitWindow(const std::string& widgetName);
  // A widget's rectangle in root-window coordinates. Main loop.
  ScreenRect rootRect(GtkWidget* widget);
  // The texts of every label shown inside `window`, and the rectangle of its button titled
  // `title` (with an empty title: its text field); empty when there is none.
  std::vector<std::string> labelsOf(GtkWidget* window);
  ScreenRect buttonRect(GtkWidget* window, const std::string& title);
  void click(const ScreenRect& r) { click(r.x + r.width / 2, r.y + r.height / 2); }
  // Moves the pointer and clicks button 1 through XTest, from a separate client.
  void click(int x, int y);
  // Presses one key by its keysym (e.g. XK_Return), or types ASCII text, through XTest.
  void press(unsigned long keysym);
  // Holds the keys down in order, then lets them go (a chord such as Ctrl+Alt+End).
  void chord(std::initializer_list<unsigned long> keysyms);
  void type(const std::string& text) {
    for (unsigned char c : text) press(c);  // ASCII keysyms equal their codes
  }
  // Saves the whole screen as a PNG where people look at them, after pending drawing.
  Pixbuf screenshot(const std::string& fileName);
  // Lets the main loop draw and the server settle.
  void settle();

 private:
  GtkDisplay();
  XvfbServer* const server_;  // lives until exit, like the GTK loop that draws on it
  std::string name_;
  _XDisplay* xtest_ = nullptr;
  std::thread loop_;
};

}  // namespace vela::testing
