#include "support/pty_driver.h"

#include "support/background_process.h"

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace vela::testing {

PtyDriver::PtyDriver(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::optional<std::string>>& env) {
  ExecImage image(program, args, env);
  pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
  if (pid_ == 0) {
    image.exec();
    ::_exit(127);
  }
}

PtyDriver::~PtyDriver() {
  if (master_ >= 0) ::close(master_);
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void PtyDriver::type(const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(master_, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

// Once the child is gone and the slave side closed, Linux reports EIO on the master.
bool PtyDriver::readMore() {
  if (master_ < 0) return false;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(master_, buf, sizeof buf)) < 0 && errno == EINTR) continue;
  if (n <= 0) return false;
  transcript_.append(buf, static_cast<std::size_t>(n));
  return true;
}

bool PtyDriver::expect(const std::string& text) {
  std::size_t at;
  while ((at = transcript_.find(text, cursor_)) == std::string::npos) {
    if (!readMore()) return false;
  }
  cursor_ = at + text.size();
  return true;
}

int PtyDriver::wait() {
  if (status_) return *status_;
  while (readMore()) continue;
  int raw = 0;
  ::waitpid(pid_, &raw, 0);
  status_ = exitStatusOf(raw);
  return *status_;
}

}  // namespace vela::testing
