#include "support/background_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace vela::testing {

ExecImage::ExecImage(const std::string& program, const std::vector<std::string>& args, const Environment& env)
    : program_(program) {
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (!env.contains(entry.substr(0, entry.find('=')))) envStrings_.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value) envStrings_.push_back(name + "=" + *value);
  }
  argStrings_ = {program};
  argStrings_.insert(argStrings_.end(), args.begin(), args.end());
  for (auto& s : argStrings_) argv_.push_back(s.data());
  argv_.push_back(nullptr);
  for (auto& s : envStrings_) envp_.push_back(s.data());
  envp_.push_back(nullptr);
}

void ExecImage::exec() { ::execve(program_.c_str(), argv_.data(), envp_.data()); }

int exitStatusOf(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

BackgroundProcess::BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                                     const Environment& env, const std::string& input) {
  ExecImage image(program, args, env);
  std::string inPath = dir_.file("stdin"), outPath = dir_.file("stdout"), errPath = dir_.file("stderr");
  writeFile(inPath, input);
  pid_ = ::fork();
  if (pid_ == 0) {
    // The test may block signals in its own threads; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(::open(inPath.c_str(), O_RDONLY), 0);
    ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
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

bool BackgroundProcess::exited() {
  int raw = 0;
  if (!status_ && ::waitpid(pid_, &raw, WNOHANG) == pid_) status_ = exitStatusOf(raw);
  return status_.has_value();
}

int BackgroundProcess::stop(int signal) {
  if (!status_ && pid_ > 0) ::kill(pid_, signal);
  if (!waitUntil([&] { return exited(); }, std::chrono::seconds(30))) ::kill(pid_, SIGKILL);
  return wait();
}

int BackgroundProcess::wait() {
  if (status_) return *status_;
  int raw = 0;
  ::waitpid(pid_, &raw, 0);
  status_ = exitStatusOf(raw);
  return *status_;
}

ProcessOutput runProcess(const std::string& program, const std::vector<std::string>& args,
                         const Environment& env, const std::string& input) {
  BackgroundProcess child(program, args, env, input);
  return {child.wait(), child.out(), child.err()};  // in order: a braced list is sequenced
}

}  // namespace vela::testing
