#include "support/background_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace vela::testing {

BackgroundProcess::BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
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
  std::vector<char*> argv, envp;
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
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
    ::execve(program.c_str(), argv.data(), envp.data());
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
