#include "desktop/linux/x11/x11_clipboard.h"

#include <gtest/gtest.h>
#include <poll.h>
// After gtest: Xlib's None macro would rename gtest's internal::None.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "support/temp_dir.h"
#include "support/xvfb_server.h"

namespace vela {
namespace {

// What one clipboard reported, waited for without a deadline.
struct Heard {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::string> texts;
  DesktopClipboard::Changed sink() {
    return [this](const std::string& text) {
      std::lock_guard lock(mu);
      texts.push_back(text);
      cv.notify_all();
    };
  }
  std::string next() {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return !texts.empty(); });
    std::string t = texts.front();
    texts.pop_front();
    return t;
  }
};

// A program that owns the CLIPBOARD with a text it only hands out incrementally (ICCCM
// INCR), in pieces of 64 KiB, as GTK does past 256 KiB. `announced` is the size it
// claims up front, which the protocol makes a lower bound only.
class IncrementalOwner {
 public:
  IncrementalOwner(std::string text, unsigned long announced) : text_(std::move(text)), announced_(announced) {
    dpy_ = XOpenDisplay(nullptr);
    window_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 1, 1, 0, 0, 0);
    clipboard_ = XInternAtom(dpy_, "CLIPBOARD", False);
    utf8_ = XInternAtom(dpy_, "UTF8_STRING", False);
    incr_ = XInternAtom(dpy_, "INCR", False);
    XSetSelectionOwner(dpy_, clipboard_, window_, CurrentTime);
    // Owner once constructed: a copy made after this must be the newer one.
    XSync(dpy_, False);
    thread_ = std::thread([this] { run(); });
  }
  ~IncrementalOwner() {
    stop_ = true;
    thread_.join();
    XDestroyWindow(dpy_, window_);
    XCloseDisplay(dpy_);
  }

 private:
  void run() {
    pollfd fd{ConnectionNumber(dpy_), POLLIN, 0};
    while (!stop_) {
      while (XPending(dpy_)) {
        XEvent ev;
        XNextEvent(dpy_, &ev);
        if (ev.type == SelectionRequest) begin(ev.xselectionrequest);
        if (ev.type == PropertyNotify && ev.xproperty.state == PropertyDelete) {
          auto it = sent_.find({ev.xproperty.window, ev.xproperty.atom});
          if (it != sent_.end() && it->second <= text_.size()) next(it->first, it->second);
        }
      }
      ::poll(&fd, 1, 50);
    }
  }
  void begin(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;
    if (request.target == utf8_) {
      sent_[{request.requestor, request.property}] = 0;
      XSelectInput(dpy_, request.requestor, PropertyChangeMask);
      XChangeProperty(dpy_, request.requestor, request.property, incr_, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&announced_), 1);
      reply.property = request.property;
    }
    XSendEvent(dpy_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(dpy_);
  }
  // The requestor took the last piece (or the INCR notice): the next, empty at the end.
  void next(std::pair<Window, Atom> to, std::size_t& sent) {
    std::size_t n = std::min<std::size_t>(64 * 1024, text_.size() - sent);
    XChangeProperty(dpy_, to.first, to.second, utf8_, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text_.data() + sent), static_cast<int>(n));
    sent = n == 0 ? text_.size() + 1 : sent + n;
    XFlush(dpy_);
  }

  const std::string text_;
  const unsigned long announced_;
  Display* dpy_;
  Window window_;
  Atom clipboard_, utf8_, incr_;
  std::map<std::pair<Window, Atom>, std::size_t> sent_;  // per requestor and property
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The session's clipboard and another X client (a second one, as a person's editor
// would own the selection) on one private Xvfb.
TEST(X11ClipboardTest, TextTravelsBothWaysAndAnOversizedCopyIsSkippedWithoutStoppingIt) {
  testing::XvfbServer xvfb(640, 480);
  ASSERT_TRUE(xvfb.running());
  testing::ScopedEnv display("DISPLAY", xvfb.displayName());
  auto session = makeX11Clipboard();
  // Another program may own more than the cap; this one can hold 8 MiB.
  auto person = makeX11Clipboard(std::size_t{8} << 20);
  ASSERT_TRUE(session && person);
  Heard sessionHeard, personHeard;
  session->start(sessionHeard.sink());
  person->start(personHeard.sink());

  person->set("copied on the machine ✓");
  EXPECT_EQ(sessionHeard.next(), "copied on the machine ✓");
  session->set("from the operator");
  EXPECT_EQ(personHeard.next(), "from the operator");

  // Exactly the cap is shared; one byte more is not, and the next copy still is.
  std::string cap(DesktopClipboard::kMaxBytes, 'x');
  person->set(cap);
  EXPECT_EQ(sessionHeard.next().size(), cap.size());
  // 8 MiB copied on the machine: never read whole nor reported; the next copy arrives.
  person->set(std::string(std::size_t{8} << 20, 'y'));
  person->set("after the big one");
  EXPECT_EQ(sessionHeard.next(), "after the big one");
  session->set("operator text");
  EXPECT_EQ(personHeard.next(), "operator text");
  session->stop();
  person->stop();
}

TEST(X11ClipboardTest, AnIncrementalCopyIsReadWithinTheCapAndDroppedPastIt) {
  testing::XvfbServer xvfb(640, 480);
  ASSERT_TRUE(xvfb.running());
  testing::ScopedEnv display("DISPLAY", xvfb.displayName());
  auto session = makeX11Clipboard();
  auto person = makeX11Clipboard();
  ASSERT_TRUE(session && person);
  Heard heard;
  session->start(heard.sink());
  person->start([](const std::string&) {});

  std::string text;
  for (int i = 0; text.size() < 600 * 1024; ++i) text += "Zeile " + std::to_string(i) + " äöü\n";
  {
    IncrementalOwner owner(text, text.size());
    EXPECT_EQ(heard.next(), text);
  }
  {
    // Announced small, then more than the cap: dropped at the cap; the next copy arrives.
    IncrementalOwner owner(std::string(std::size_t{3} << 20, 'q'), 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // lets the transfer run into the cap
    person->set("after the incremental one");
    EXPECT_EQ(heard.next(), "after the incremental one");
  }
  {
    // Announced over the cap: not read at all.
    IncrementalOwner owner(std::string(std::size_t{2} << 20, 'r'), std::size_t{2} << 20);
    person->set("and after that");
    EXPECT_EQ(heard.next(), "and after that");
  }
  session->stop();
  person->stop();
}

}  // namespace
}  // namespace vela
