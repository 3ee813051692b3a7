#include "desktop/linux/recording/sink_drain.h"

#include <utility>

namespace vela {

bool SinkDrain::begin(Done done, std::shared_ptr<void> sink) {
  if (began_.exchange(true)) {
    done(RecordingSink::Status::failed);
    return false;
  }
  MutexLock lock(mu_);
  done_ = std::move(done);
  keepAlive_ = std::move(sink);
  return true;
}

void SinkDrain::complete(RecordingSink::Status status) {
  Done done;
  std::shared_ptr<void> keepAlive;  // held past `done`: it may be the sink's last reference
  {
    MutexLock lock(mu_);
    done = std::move(done_);
    keepAlive = std::move(keepAlive_);
  }
  if (done) done(status);
}

}  // namespace vela
