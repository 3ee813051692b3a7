#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/active_seat_user.h"
#include "util/mutex.h"

namespace vela::platform {
namespace {

class LogindActiveSeat final : public ActiveSeatUser {
 public:
  ~LogindActiveSeat() override { stop(); }

  std::optional<uid_t> current() override {
    char* session = nullptr;
    uid_t uid = 0;
    int status = sd_seat_get_active("seat0", &session, &uid);
    std::free(session);
    if (status < 0 || uid == 0) return std::nullopt;
    return uid;
  }

  Result<void> watch(Changed changed) override {
    MutexLock guard(mu_);
    if (thread_.joinable()) return fail("already watching the seat");
    sd_login_monitor* monitor = nullptr;
    int status = sd_login_monitor_new("seat", &monitor);
    if (status < 0) return fail(std::string("cannot watch logind seats: ") + std::strerror(-status));
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
      sd_login_monitor_unref(monitor);
      return fail(std::string("cannot watch logind seats: ") + std::strerror(errno));
    }
    wake_ = wake;
    thread_ = std::thread([this, monitor, wake, changed = std::move(changed)] {
      run(monitor, wake, changed);
      sd_login_monitor_unref(monitor);
    });
    return {};
  }

  void stop() override {
    std::thread thread;
    int wake = -1;
    {
      MutexLock guard(mu_);
      thread = std::move(thread_);
      wake = std::exchange(wake_, -1);
    }
    if (!thread.joinable()) return;
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake, &one, sizeof one);
    thread.join();
    ::close(wake);
  }

 private:
  void run(sd_login_monitor* monitor, int wake, const Changed& changed) {
    std::optional<uid_t> last = current();
    while (true) {
      pollfd fds[2] = {{sd_login_monitor_get_fd(monitor), static_cast<short>(sd_login_monitor_get_events(monitor)), 0},
                       {wake, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
      sd_login_monitor_flush(monitor);
      auto now = current();
      if (now != last) {
        last = now;
        changed(now);
      }
    }
  }

  Mutex mu_;
  std::thread thread_ GUARDED_BY(mu_);
  int wake_ GUARDED_BY(mu_) = -1;
};

}  // namespace

std::unique_ptr<ActiveSeatUser> ActiveSeatUser::logind() { return std::make_unique<LogindActiveSeat>(); }

}  // namespace vela::platform
