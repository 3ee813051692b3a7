#pragma once

// A child process left running while the test works: its standard output and error go
// to files the test can read at any time; stop() signals it and collects the status.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vela::testing {

class BackgroundProcess {
 public:
  BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::optional<std::string>>& env = {});
  ~BackgroundProcess();  // kills the child if it still runs
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  pid_t pid() const { return pid_; }
  std::string out() const;
  std::string err() const;
  // Polls `condition` every 50 ms until it holds or `limit` passes; true when it held.
  static bool waitUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds limit = std::chrono::seconds(60));
  // Sends `signal` and waits for the exit; the exit status, or 128 + signal.
  int stop(int signal);
  // Waits for the child to end by itself; the exit status, or 128 + signal.
  int wait();

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace vela::testing
