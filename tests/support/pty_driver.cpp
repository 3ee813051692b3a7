#include "support/pty_driver.h"

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

extern char** environ;

namespace vela::testing {

PtyDriver::PtyDriver(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::optional<std::string>>& env) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (!env.contains(entry.substr(0, entry.find('=')))) envStrings.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value) envStrings.push_back(name + "=" + *value);
  }
  std::vector<std::string> argStrings = {program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> envp, argv;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
  if (pid_ == 0) {
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
}

PtyDriver::~PtyDriver() {
  if (master_ >= 0) ::close(master_);
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int ignored;
    ::waitpid(pid_, &ignored, 0);
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
  for (;;) {
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    transcript_.append(buf, static_cast<std::size_t>(n));
    return true;
  }
}

bool PtyDriver::expect(const std::string& text) {
  for (;;) {
    auto at = transcript_.find(text, cursor_);
    if (at != std::string::npos) {
      cursor_ = at + text.size();
      return true;
    }
    if (!readMore()) return false;
  }
}

int PtyDriver::wait() {
  if (status_) return *status_;
  while (readMore()) {
  }
  int raw = 0;
  ::waitpid(pid_, &raw, 0);
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return *status_;
}

}  // namespace vela::testing
