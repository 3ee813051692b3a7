#include "desktop/linux/x11/x11_clipboard.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <optional>
#include <thread>

#include "desktop/linux/x11/x11_connection.h"
#include "util/log.h"
#include "util/mutex.h"

namespace vela {

namespace {

class X11Clipboard final : public DesktopClipboard {
 public:
  X11Clipboard(std::unique_ptr<x11::Connection> connection, int fixesEvent, int wakeFd, std::size_t maxBytes)
      : x_(std::move(connection)), dpy_(x_->display()), fixesEvent_(fixesEvent), wakeFd_(wakeFd), maxBytes_(maxBytes) {
    window_ = XCreateSimpleWindow(dpy_, x_->root(), 0, 0, 1, 1, 0, 0, 0);
    clipboard_ = XInternAtom(dpy_, "CLIPBOARD", False);
    utf8_ = XInternAtom(dpy_, "UTF8_STRING", False);
    targets_ = XInternAtom(dpy_, "TARGETS", False);
    text_ = XInternAtom(dpy_, "TEXT", False);
    incr_ = XInternAtom(dpy_, "INCR", False);
    XFixesSelectSelectionInput(dpy_, window_, clipboard_, XFixesSetSelectionOwnerNotifyMask);
    // An incremental transfer's pieces are announced as new values of our own property.
    XSelectInput(dpy_, window_, PropertyChangeMask);
    XFlush(dpy_);
  }

  ~X11Clipboard() override {
    stop();
    XDestroyWindow(dpy_, window_);
    XFlush(dpy_);
    ::close(wakeFd_);
  }

  void start(Changed changed) override {
    MutexLock lock(lock_);
    if (thread_.joinable() || stopping_) return;
    changed_ = std::move(changed);
    thread_ = std::thread([this] { run(); });
  }

  void set(std::string text) override {
    if (text.size() > maxBytes_) return;
    {
      MutexLock lock(lock_);
      pending_ = std::move(text);
    }
    wake();
  }

  void stop() override {
    std::thread thread;
    {
      MutexLock lock(lock_);
      stopping_ = true;
      thread = std::move(thread_);
    }
    wake();
    if (thread.joinable()) thread.join();
  }

 private:
  void wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
  }

  void run() {
    pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
      std::optional<std::string> pending;
      {
        MutexLock lock(lock_);
        if (stopping_) return;
        pending = std::exchange(pending_, std::nullopt);
      }
      if (pending) {
        owned_ = std::move(*pending);
        last_ = owned_;  // our own text is not news to report back
        XSetSelectionOwner(dpy_, clipboard_, window_, CurrentTime);
      }
      while (XPending(dpy_)) {
        XEvent ev;
        XNextEvent(dpy_, &ev);
        handle(ev);
      }
      XFlush(dpy_);
      if (x_->lost()) return;
      // Not forever: an event that Xlib's XCB layer read off the socket while flushing, or
      // holds back behind a request it has not seen completed, leaves the descriptor idle
      // with the event still to be handed out; the next look finds it.
      if (::poll(fds, 2, 200) < 0) continue;
      if (fds[1].revents & POLLIN) {
        std::uint64_t count;
        [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
      }
    }
  }

  void handle(XEvent& ev) {
    if (ev.type == fixesEvent_ + XFixesSelectionNotify) {
      auto& notify = reinterpret_cast<XFixesSelectionNotifyEvent&>(ev);
      incoming_.reset();  // a newer copy: an unfinished incremental transfer is moot
      if (notify.owner != None && notify.owner != window_) {
        // A fresh property each time: an owner still pushing an abandoned incremental
        // transfer into the last one cannot mix into this answer.
        std::string name = "VELA_CLIPBOARD_" + std::to_string(++conversions_ % 8);
        XConvertSelection(dpy_, clipboard_, utf8_, XInternAtom(dpy_, name.c_str(), False), window_, CurrentTime);
      }
    } else if (ev.type == SelectionNotify && ev.xselection.property != None) {
      read(ev.xselection.property);
    } else if (ev.type == PropertyNotify && ev.xproperty.state == PropertyNewValue && incoming_ &&
               ev.xproperty.window == window_ && ev.xproperty.atom == incoming_->property) {
      readPiece();
    } else if (ev.type == SelectionRequest) {
      serve(ev.xselectionrequest);
    } else if (ev.type == SelectionClear && XGetSelectionOwner(dpy_, clipboard_) != window_) {
      // Only a loss still in force: the clear of an ownership that a newer set() already
      // replaced would otherwise empty the operator's new text.
      owned_.clear();
    }
  }

  void read(Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy_, window_, property, 0, 1, False, AnyPropertyType, &type, &format, &items, &after,
                           &data) != Success) {
      return;
    }
    if (type == incr_) {
      // ICCCM's incremental transfer: the value is a lower bound of the size; deleting the
      // property asks for the first piece, each piece comes as a new value of it, and an
      // empty piece ends it.
      unsigned long announced = data && format == 32 && items == 1 ? *reinterpret_cast<unsigned long*>(data) : 0;
      if (data) XFree(data);
      if (announced > maxBytes_) return overCap(std::to_string(announced) + " bytes announced");
      incoming_ = Incoming{property, {}};
      XDeleteProperty(dpy_, window_, property);
      return;
    }
    if (data) XFree(data);
    if (type == None || format != 8) return;
    if (items + after > maxBytes_) return overCap(std::to_string(items + after) + " bytes");
    auto text = readWhole(property);
    XDeleteProperty(dpy_, window_, property);
    if (text) report(std::move(*text));
  }

  // The next piece of the incremental transfer under way.
  void readPiece() {
    auto piece = readWhole(incoming_->property);
    if (!piece) {
      incoming_.reset();
      return;
    }
    if (piece->empty()) {
      Incoming done = std::move(*incoming_);
      incoming_.reset();
      XDeleteProperty(dpy_, window_, done.property);
      return report(std::move(done.text));
    }
    if (incoming_->text.size() + piece->size() > maxBytes_) {
      // Not deleted: the owner gets no request for more and gives up on its own.
      incoming_.reset();
      return overCap("more than " + std::to_string(maxBytes_) + " bytes sent incrementally");
    }
    incoming_->text += *piece;
    XDeleteProperty(dpy_, window_, incoming_->property);
  }

  // The property's whole 8-bit value, in pieces: one reply of a whole megabyte is more
  // than Xlib hands back at once. Nothing when it is not text or changes while read.
  std::optional<std::string> readWhole(Atom property) {
    std::string text;
    for (;;) {
      Atom type;
      int format;
      unsigned long items, after;
      unsigned char* data = nullptr;
      long offset = static_cast<long>(text.size() / 4);
      if (XGetWindowProperty(dpy_, window_, property, offset, 16384, False, AnyPropertyType, &type, &format,
                             &items, &after, &data) != Success) {
        return std::nullopt;
      }
      if (type == None || format != 8 || type == incr_) {
        if (data) XFree(data);
        return std::nullopt;
      }
      if (data) {
        text.append(reinterpret_cast<const char*>(data), items);
        XFree(data);
      }
      if (after == 0) return text;
      if (items == 0 || text.size() + after > maxBytes_ + 1) return std::nullopt;
    }
  }

  void overCap(const std::string& what) {
    Log::warn("desktop: clipboard text of " + what + " is over the 1 MiB cap; not shared");
  }

  void report(std::string text) {
    if (text == last_) return;
    last_ = text;
    Changed changed;
    {
      MutexLock lock(lock_);
      changed = changed_;
    }
    if (changed) changed(text);
  }

  void serve(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = request.display;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    Atom property = request.property != None ? request.property : request.target;
    if (request.owner == window_ && request.target == targets_) {
      Atom offered[] = {targets_, utf8_, XA_STRING, text_};
      XChangeProperty(dpy_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(offered), 4);
      reply.property = property;
    } else if (request.owner == window_ && owned_.size() <= maxRequestBytes() &&
               (request.target == utf8_ || request.target == XA_STRING || request.target == text_)) {
      XChangeProperty(dpy_, request.requestor, property, request.target == XA_STRING ? XA_STRING : utf8_, 8,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(owned_.data()),
                      static_cast<int>(owned_.size()));
      reply.property = property;
    } else {
      reply.property = None;
    }
    XSendEvent(dpy_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
  }

  // What one ChangeProperty can carry; more would need the incremental protocol, which
  // only a text far over the cap needs.
  std::size_t maxRequestBytes() const {
    long units = XExtendedMaxRequestSize(dpy_);
    if (units == 0) units = XMaxRequestSize(dpy_);
    return static_cast<std::size_t>(units) * 4 - 1024;
  }

  const std::unique_ptr<x11::Connection> x_;
  Display* const dpy_;
  const int fixesEvent_;
  const int wakeFd_;
  const std::size_t maxBytes_;
  Window window_;
  Atom clipboard_, utf8_, targets_, text_, incr_;
  unsigned conversions_ = 0;  // on the clipboard's thread

  Mutex lock_;
  Changed changed_ GUARDED_BY(lock_);
  std::optional<std::string> pending_ GUARDED_BY(lock_);
  bool stopping_ GUARDED_BY(lock_) = false;
  std::thread thread_ GUARDED_BY(lock_);

  // On the clipboard's thread (or before it starts).
  std::string owned_;
  std::string last_;
  struct Incoming {
    Atom property;
    std::string text;
  };
  std::optional<Incoming> incoming_;  // an incremental transfer under way
};

}  // namespace

std::shared_ptr<DesktopClipboard> makeX11Clipboard(std::size_t maxBytes) {
  auto connection = x11::Connection::open();
  if (!connection) return nullptr;
  int event = 0, error = 0;
  if (!XFixesQueryExtension((*connection)->display(), &event, &error)) return nullptr;
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return nullptr;
  return std::make_shared<X11Clipboard>(std::move(*connection), event, wake, maxBytes);
}

}  // namespace vela
