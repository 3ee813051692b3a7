#include "identity/key_backing.h"

#include <mutex>

#include "identity/file_key_backing.h"
#include "util/mutex.h"

namespace vela {
namespace {

Mutex backingsMutex;
KeyBackings backingsOverride GUARDED_BY(backingsMutex);

}  // namespace

KeyBackings keyBackings() {
  {
    MutexLock lock(backingsMutex);
    if (!backingsOverride.empty()) return backingsOverride;
  }
  return {std::make_shared<FileKeyBacking>()};
}

void setKeyBackingsForTesting(KeyBackings backings) {
  MutexLock lock(backingsMutex);
  backingsOverride = std::move(backings);
}

}  // namespace vela
