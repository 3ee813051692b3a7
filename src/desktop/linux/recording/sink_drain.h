#pragma once

// The finish() protocol of a recording sink, apart from how it drains: the first call
// is honoured and a later one answered `failed` at once; the sink is kept alive until
// its drain ends, however soon its owner lets go; the drain ends once, and `done` runs
// once with the final status. Thread-safe.

#include <atomic>
#include <functional>
#include <memory>

#include "desktop/linux/recording/recording_sink.h"
#include "util/mutex.h"

namespace vela {

class SinkDrain {
 public:
  using Done = std::function<void(RecordingSink::Status)>;

  // Keeps `sink` and `done` until complete(); false (with `done` already answered
  // `failed`) when a drain began before.
  bool begin(Done done, std::shared_ptr<void> sink);
  bool began() const { return began_.load(); }
  // True for the one caller that ends the drain.
  bool claimEnd() { return !ended_.exchange(true); }
  bool ended() const { return ended_.load(); }
  // Reports `status` and lets go of the sink. After claimEnd(), once.
  void complete(RecordingSink::Status status);

 private:
  std::atomic<bool> began_{false};
  std::atomic<bool> ended_{false};
  Mutex mu_;
  Done done_ GUARDED_BY(mu_);
  std::shared_ptr<void> keepAlive_ GUARDED_BY(mu_);
};

}  // namespace vela
