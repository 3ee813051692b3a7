#pragma once

// The thin system-call layer under remote shells: start a program on a new
// pseudo-terminal, size the terminal, move bytes through the master side, and reap the
// child. Every function is safe to call from any thread; none keeps state.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "util/agent_error.h"

namespace vela::platform {

struct PTYChild {
  pid_t pid = -1;
  int masterFD = -1;
};

// forkpty with the given window size, then execve(path, argv, environment + extraEnv) in
// the child; a failing exec ends the child with status 127. The child starts clean like
// every other (platform/child_process.h), with the terminal as its session and standard
// descriptors. The master is close-on-exec and non-blocking. Fails with the errno text
// when forkpty fails.
Result<PTYChild> ptyFork(const std::string& path, const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& extraEnv,
                         std::uint16_t rows, std::uint16_t cols);

// TIOCSWINSZ with zero pixel sizes.
Result<void> ptySetWinsize(int fd, std::uint16_t rows, std::uint16_t cols);

// What waiting for the master to become readable produced.
enum class PTYReadiness { readable, closed, woken };

// A wake-up descriptor lets another thread interrupt a reader blocked in waitReadable.
Result<int> makeWakeFD();
void wake(int wakeFD);
PTYReadiness waitReadable(int masterFD, int wakeFD);

// One read; 0 at end of file, nullopt for an error (EIO once the child side closed).
// EAGAIN yields an empty success so callers poll again.
struct ReadOutcome {
  std::size_t count = 0;
  bool again = false;
  bool finished = false;
};
ReadOutcome ptyRead(int fd, std::span<std::uint8_t> buffer);

// One write call; returns the bytes accepted (0 when the terminal buffer is full).
std::size_t ptyWrite(int fd, std::span<const std::uint8_t> data);

void closeFD(int fd);

// waitpid(pid, 0) blocking, retried on EINTR. Exactly one of code/signal is set when
// the child was reaped; neither when waitpid failed.
struct ChildStatus {
  std::optional<int> code;
  std::optional<int> signal;
};
ChildStatus reapChild(pid_t pid);
// Blocks until the child has ended without reaping it: its pid stays taken (a zombie)
// until reapChild, so it can still be signalled safely.
void waitChildEnded(pid_t pid);

void sendSignal(pid_t pid, int signal);
bool processExists(pid_t pid);

}  // namespace vela::platform
