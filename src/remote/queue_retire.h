#pragma once

// A SerialQueue must not be destroyed by a task running on it (its destructor would
// have to join its own thread). Objects that own queues and may lose their last
// reference inside one of their own tasks hand the queue to this helper instead.

#include <memory>
#include <thread>
#include <utility>

#include "util/serial_queue.h"

namespace vela {

inline void retireQueue(std::shared_ptr<SerialQueue> queue) {
  if (queue && queue->isCurrent()) {
    // The join waits for the running task, which is the one retiring the queue.
    std::thread([q = std::move(queue)]() mutable { q.reset(); }).detach();
  }
}

}  // namespace vela
