#pragma once

// Threads that finish tearing something down after its last owner let go of it on the
// thread itself: a queue destroyed by one of its own tasks, a connection's I/O loop
// destroyed by its own handler. They are kept here instead of detached, so that the end
// of the process can wait for them; a detached one could still be running while exit()
// runs the libraries' destructors.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace vela::RetiredThreads {

// Runs `work` on a thread of its own, kept until it has ended.
void start(std::function<void()> work);
// Keeps a running thread whose last act is setting `*ended`.
void adopt(std::thread thread, std::shared_ptr<const std::atomic<bool>> ended);
// Sets up the wait at the end of the process. A thread may retire while exit() is
// already running; a wait set up only then would come too late for it, so owners of
// threads that may retire call this once while they are made.
void prepareForExit();
// Joins every kept thread that ends within `limit` and lets the rest go. Called on the
// way out of main, and from an exit handler for programs that never call it.
void joinAll(std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace vela::RetiredThreads
