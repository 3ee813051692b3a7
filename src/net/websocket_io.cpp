#include "net/websocket_io.h"

#include <pthread.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <thread>

#include "util/log.h"
#include "util/retired_threads.h"

namespace vela {

namespace net = boost::asio;

struct WebSocketIO::State {
  net::io_context ioc;
  net::executor_work_guard<net::io_context::executor_type> guard{ioc.get_executor()};
  std::thread thread;
};

WebSocketIO::WebSocketIO(std::string threadName) : state_(std::make_shared<State>()) {
  RetiredThreads::prepareForExit();  // its own handler may destroy it during exit
  state_->thread = std::thread([state = state_.get(), name = std::move(threadName)] {
    pthread_setname_np(pthread_self(), name.c_str());
    for (;;) {
      try {
        state->ioc.run();
        return;
      } catch (const std::exception& e) {
        Log::error(name + ": I/O handler failed: " + e.what());
      }
    }
  });
}

WebSocketIO::~WebSocketIO() {
  state_->guard.reset();
  state_->ioc.stop();
  if (isCurrentThread()) {
    // The loop is running the handler that destroys us: let it finish elsewhere.
    RetiredThreads::start([state = std::move(state_)] { state->thread.join(); });
  } else {
    state_->thread.join();
  }
}

namespace {
std::atomic<WebSocketIO*> sharedIO{nullptr};
}  // namespace

WebSocketIO& WebSocketIO::shared() {
  static WebSocketIO* io = [] {
    auto* created = new WebSocketIO("vela.gateway.io");
    sharedIO.store(created);
    return created;
  }();
  return *io;
}

void WebSocketIO::quiesceShared() {
  WebSocketIO* io = sharedIO.load();
  if (!io) return;
  State& state = *io->state_;
  state.guard.reset();
  state.ioc.stop();
  if (state.thread.joinable() && !io->isCurrentThread()) state.thread.join();
}

net::io_context& WebSocketIO::context() { return state_->ioc; }

bool WebSocketIO::isCurrentThread() const { return std::this_thread::get_id() == state_->thread.get_id(); }

}  // namespace vela
