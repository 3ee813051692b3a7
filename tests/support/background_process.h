#pragma once

// Child processes for tests: a program run to completion with its output collected
// (runProcess, runAgent), or left running while the test works (BackgroundProcess), its
// standard output and error going to files the test can read at any time. `env` entries
// are added to (or, with a nullopt value, removed from) the test's own environment.
// A child gets SIGTERM when the thread that started it ends, so a crashed test leaves
// no servers behind: start children on the thread that outlives them.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/build_paths.h"
#include "support/temp_dir.h"

namespace vela::testing {

using Environment = std::map<std::string, std::optional<std::string>>;

// The argument and environment vectors for execve, prepared before fork so the child
// only calls async-signal-safe functions.
class ExecImage {
 public:
  ExecImage(const std::string& program, const std::vector<std::string>& args, const Environment& env);
  ExecImage(const ExecImage&) = delete;
  ExecImage& operator=(const ExecImage&) = delete;

  // Replaces the calling (child) process; returns only when execve fails.
  void exec();

 private:
  std::string program_;
  std::vector<std::string> argStrings_, envStrings_;
  std::vector<char*> argv_, envp_;
};

// An exit status, or 128 + signal, from a waitpid status.
int exitStatusOf(int waitStatus);

class BackgroundProcess {
 public:
  // `input` is what the child reads on its standard input, then end of file.
  BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                    const Environment& env = {}, const std::string& input = "");
  ~BackgroundProcess();  // kills the child if it still runs

  pid_t pid() const { return pid_; }
  std::string out() const;
  std::string err() const;
  // Polls `condition` every 50 ms until it holds or `limit` passes; true when it held.
  static bool waitUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds limit = std::chrono::seconds(60));
  // True once the child ended (never blocks).
  bool exited();
  // Sends `signal` and waits for the exit (SIGKILL follows after 30 s); the exit status,
  // or 128 + signal.
  int stop(int signal);
  // Waits for the child to end by itself; the exit status, or 128 + signal.
  int wait();

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct ProcessOutput {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

ProcessOutput runProcess(const std::string& program, const std::vector<std::string>& args,
                         const Environment& env = {}, const std::string& input = "");

inline ProcessOutput runAgent(const std::vector<std::string>& args, const Environment& env = {},
                              const std::string& input = "") {
  return runProcess(agentExe(), args, env, input);
}

}  // namespace vela::testing
