#pragma once

// A one-way "stop now" flag that blocking waits can poll as a descriptor: cancel() once
// from any thread, and every wait that includes fd() returns. Thread-safe.

#include <atomic>

namespace vela {

class Cancellation {
 public:
  Cancellation();
  ~Cancellation();
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  void cancel();
  bool cancelled() const { return cancelled_.load(); }
  // Readable once cancelled; -1 when no descriptor could be made (poll the flag).
  int fd() const { return readFD_; }

 private:
  std::atomic<bool> cancelled_{false};
  int readFD_ = -1;
  int writeFD_ = -1;
};

}  // namespace vela
