#pragma once

// Delivers chosen signals to a handler on a named thread instead of their default
// action, so SIGTERM/SIGINT never kill the process abruptly. The signals are blocked in
// the calling thread (and so in every thread it creates later): create the source on
// the main thread before other threads start. Destruction stops the thread; the
// signals stay blocked, so a late signal is held rather than fatal.

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "util/agent_error.h"

namespace vela::platform {

class SignalSource {
 public:
  using Handler = std::function<void(int signal)>;

  static Result<std::unique_ptr<SignalSource>> create(std::string label, std::vector<int> signals,
                                                      Handler handler);
  ~SignalSource();
  SignalSource(const SignalSource&) = delete;
  SignalSource& operator=(const SignalSource&) = delete;

 private:
  SignalSource(int signalFd, int stopFd, std::string label, Handler handler);
  void run();

  const int signalFd_;
  const int stopFd_;
  const std::string label_;
  const Handler handler_;
  std::thread thread_;
};

// SIGPIPE ignored for the whole process: a reader of standard error or of a socket
// that goes away becomes a failed write, never the end of the agent. Children reset it.
void ignoreBrokenPipes();

// Blocks SIGTERM and SIGINT in the calling thread. The daemon calls this first thing so
// that helper threads started before the signal source inherit the blocked mask.
void blockStopSignals();

}  // namespace vela::platform
