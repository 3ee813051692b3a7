#pragma once

// A private X server for a test: Xvfb on a display number it picks itself (free by
// construction), with RANDR and the other extensions the desktop code uses. Killed when
// the object goes.

#include <sys/types.h>

#include <string>

namespace vela::testing {

class XvfbServer {
 public:
  XvfbServer(int width, int height);
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool running() const { return pid_ > 0 && !name_.empty(); }
  pid_t pid() const { return pid_; }  // the benchmark counts the server's CPU time
  const std::string& displayName() const { return name_; }  // ":<n>"
  // Ends the server as if the session went away.
  void kill();

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace vela::testing
