#include "remote/desktop/ipc/desktop_ipc.h"

#include <cstdlib>
#include <mutex>
#include <optional>

namespace vela::DesktopIPC {
namespace {

std::mutex mu;
std::optional<std::string>& chosen() {
  static std::optional<std::string> path;
  return path;
}

}  // namespace

std::string socketPath() {
  std::lock_guard guard(mu);
  if (chosen()) return *chosen();
  if (const char* path = std::getenv(kSocketVariable); path && *path) return path;
  return kDefaultSocketPath;
}

void setSocketPath(std::string path) {
  std::lock_guard guard(mu);
  chosen() = std::move(path);
}

}  // namespace vela::DesktopIPC
