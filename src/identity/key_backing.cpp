#include "identity/key_backing.h"

#include <mutex>

#include "identity/file_key_backing.h"

namespace vela {
namespace {

std::mutex backingsMutex;
KeyBackings backingsOverride;  // guarded by backingsMutex

}  // namespace

KeyBackings keyBackings() {
  {
    std::lock_guard lock(backingsMutex);
    if (!backingsOverride.empty()) return backingsOverride;
  }
  return {std::make_shared<FileKeyBacking>()};
}

void setKeyBackingsForTesting(KeyBackings backings) {
  std::lock_guard lock(backingsMutex);
  backingsOverride = std::move(backings);
}

}  // namespace vela
