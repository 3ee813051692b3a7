#include "desktop/ipc/desktop_ipc.h"

#include <cstdlib>
#include <optional>

#include "util/mutex.h"

namespace vela::DesktopIPC {
namespace {

struct Chosen {
  Mutex mu;
  std::optional<std::string> path GUARDED_BY(mu);
};

Chosen& chosen() {
  static Chosen instance;
  return instance;
}

}  // namespace

std::string socketPath() {
  Chosen& c = chosen();
  MutexLock guard(c.mu);
  if (c.path) return *c.path;
  if (const char* path = std::getenv(kSocketVariable); path && *path) return path;
  return kDefaultSocketPath;
}

void setSocketPath(std::string path) {
  Chosen& c = chosen();
  MutexLock guard(c.mu);
  c.path = std::move(path);
}

}  // namespace vela::DesktopIPC
