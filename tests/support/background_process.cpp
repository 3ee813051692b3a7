#include "support/background_process.h"

#include "support/exec_image.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace vela::testing {

BackgroundProcess::BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                                     const std::map<std::string, std::optional<std::string>>& env) {
  ExecImage image(program, args, env);
  std::string outPath = dir_.file("stdout"), errPath = dir_.file("stderr");
  pid_ = ::fork();
  if (pid_ == 0) {
    // The test may block signals in its own threads; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    image.exec();
    ::_exit(127);
  }
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0 && !status_) stop(SIGKILL);
}

std::string BackgroundProcess::out() const { return readFileOrEmpty(dir_.file("stdout")); }
std::string BackgroundProcess::err() const { return readFileOrEmpty(dir_.file("stderr")); }

bool BackgroundProcess::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

int BackgroundProcess::stop(int signal) {
  if (!status_ && pid_ > 0) ::kill(pid_, signal);
  return wait();
}

int BackgroundProcess::wait() {
  if (status_) return *status_;
  int raw = 0;
  ::waitpid(pid_, &raw, 0);
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return *status_;
}

}  // namespace vela::testing
