#pragma once

// A SerialQueue must not be destroyed by a task running on it (its destructor would
// have to join its own thread). Objects that own queues and may lose their last
// reference inside one of their own tasks hand the queue to this helper instead.

#include <memory>
#include <utility>

#include "util/retired_threads.h"
#include "util/serial_queue.h"

namespace vela {

inline void retireQueue(std::shared_ptr<SerialQueue> queue) {
  if (queue && queue->isCurrent()) {
    // The join waits for the running task, which is the one retiring the queue.
    RetiredThreads::start([q = std::move(queue)]() mutable { q.reset(); });
  }
}

}  // namespace vela
