#include "desktop/linux/x11/x11_connection.h"

#include <cstdlib>
#include <mutex>
#include <thread>

namespace vela::x11 {
namespace {

thread_local int lastError = 0;

int recordError(Display*, XErrorEvent* event) {
  lastError = event->error_code;
  return 0;
}
int ignoreIOError(Display*) { return 0; }

void markLost(Display*, void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); }

void initializeOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(&recordError);
    XSetIOErrorHandler(&ignoreIOError);
  });
}

}  // namespace

int lastErrorOnThisThread() { return lastError; }
void resetLastErrorOnThisThread() { lastError = 0; }

std::string displayName() {
  const char* name = std::getenv("DISPLAY");
  return name ? name : "";
}

Result<std::unique_ptr<Connection>> Connection::open(const std::string& requested) {
  initializeOnce();
  std::string name = requested.empty() ? displayName() : requested;
  if (name.empty()) return fail("no X11 display (DISPLAY is not set)");
  // Xvfb now and then refuses a connection made right after another client of this
  // process closed; a short retry rides that out.
  Display* display = nullptr;
  for (int attempt = 0; attempt < 5 && !display; ++attempt) {
    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt));
    display = XOpenDisplay(name.c_str());
  }
  if (!display) return fail("cannot open X11 display \"" + name + "\"");
  auto lost = std::make_unique<std::atomic<bool>>(false);
  XSetIOErrorExitHandler(display, &markLost, lost.get());
  return std::unique_ptr<Connection>(new Connection(display, std::move(lost)));
}

Connection::~Connection() { XCloseDisplay(display_); }

}  // namespace vela::x11
