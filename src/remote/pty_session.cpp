#include "remote/pty_session.h"

#include <pthread.h>
#include <signal.h>

#include <array>
#include <thread>

#include "platform/pty.h"

namespace vela {

PTYSession::Exit PTYSession::Terminal::reap() {
  platform::waitChildEnded(pid);
  MutexLock lock(stateLock);
  reaped = true;
  auto status = platform::reapChild(pid);
  return Exit{status.code, status.signal};
}

void PTYSession::Terminal::release() {
  MutexLock lock(stateLock);
  if (released) return;
  released = true;
  platform::closeFD(masterFD);
  platform::closeFD(wakeFD);
}

Result<std::shared_ptr<PTYSession>, PTYSession::PTYError> PTYSession::spawn(
    const std::string& shell, const std::vector<std::string>& args,
    const std::vector<std::pair<std::string, std::string>>& extraEnv, std::uint16_t rows,
    std::uint16_t cols) {
  auto wakeFD = platform::makeWakeFD();
  if (!wakeFD) return tl::unexpected(PTYError::spawnFailed());
  std::vector<std::string> argv{shell};
  argv.insert(argv.end(), args.begin(), args.end());
  auto child = platform::ptyFork(shell, argv, extraEnv, rows, cols);
  if (!child || child->pid < 1 || child->masterFD < 0) {
    platform::closeFD(*wakeFD);
    return tl::unexpected(PTYError::spawnFailed());
  }
  auto terminal = std::make_shared<Terminal>();
  terminal->pid = child->pid;
  terminal->masterFD = child->masterFD;
  terminal->wakeFD = *wakeFD;
  return std::shared_ptr<PTYSession>(new PTYSession(child->pid, std::move(terminal)));
}

PTYSession::~PTYSession() {
  if (readingStarted_.exchange(true)) return;
  // Nobody ever read this terminal, so nobody will reap the child: hang it up and reap
  // it off this thread (a child that ignores the hang-up must not block the caller).
  terminate();
  terminal_->release();
  std::thread([terminal = terminal_] { terminal->reap(); }).detach();
}

void PTYSession::startReading(OutputHandler onOutput, ExitHandler onExit) {
  if (readingStarted_.exchange(true)) return;
  {
    std::weak_ptr<PTYSession> weak = weak_from_this();
    std::thread([weak, terminal = terminal_, pid = pid_, onOutput = std::move(onOutput),
                 onExit = std::move(onExit)] {
      pthread_setname_np(pthread_self(), "vela.pty.read");
      if (weak.expired()) {
        // The session went away before reading began: nobody wants the output, but the
        // child still has to be hung up and reaped.
        platform::sendSignal(pid, SIGHUP);
        terminal->release();
        terminal->reap();
        return;
      }
      std::array<std::uint8_t, 8192> buffer;
      bool done = false;
      while (!done) {
        auto ready = platform::waitReadable(terminal->masterFD, terminal->wakeFD);
        if (ready == platform::PTYReadiness::woken) break;
        // On hang-up, drain what the child wrote before it went.
        for (;;) {
          auto r = platform::ptyRead(terminal->masterFD, buffer);
          if (r.finished) {
            done = true;
            break;
          }
          if (r.again) {
            done = ready == platform::PTYReadiness::closed;
            break;
          }
          onOutput(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(r.count)));
        }
      }
      terminal->release();
      onExit(terminal->reap());
    }).detach();
  }
}

void PTYSession::write(std::span<const std::uint8_t> data) {
  if (data.empty()) return;
  MutexLock lock(terminal_->stateLock);
  if (terminal_->released) return;
  platform::ptyWrite(terminal_->masterFD, data);
}

void PTYSession::resize(std::uint16_t rows, std::uint16_t cols) {
  MutexLock lock(terminal_->stateLock);
  if (terminal_->released) return;
  (void)platform::ptySetWinsize(terminal_->masterFD, rows, cols);
}

void PTYSession::terminate() {
  MutexLock lock(terminal_->stateLock);
  if (terminal_->closed) return;
  terminal_->closed = true;
  if (!terminal_->reaped) platform::sendSignal(pid_, SIGHUP);
  if (!terminal_->released) platform::wake(terminal_->wakeFD);
}

bool PTYSession::isRunning() const {
  MutexLock lock(terminal_->stateLock);
  return !terminal_->reaped && platform::processExists(pid_);
}

}  // namespace vela
