#include "identity/keychain.h"

#include <optional>

#include "util/log.h"
#include "util/mutex.h"

namespace vela::Keychain {
namespace {

Mutex mutex;
platform::KeyStore* storeOverride GUARDED_BY(mutex) = nullptr;
std::optional<bool> probed GUARDED_BY(mutex);

}  // namespace

platform::KeyStore& store() {
  MutexLock lock(mutex);
  return storeOverride ? *storeOverride : platform::systemKeyStore();
}

void setStoreForTesting(platform::KeyStore* replacement) {
  MutexLock lock(mutex);
  storeOverride = replacement;
  probed.reset();
}

bool available() { return store().available(); }

bool probe() {
  platform::KeyStore& keys = store();
  if (!keys.available()) return false;
  int status = keys.probeDataProtection(kProbeAccount);
  if (status == platform::kKeyStoreSuccess || status == platform::kKeyStoreDuplicateItem) {
    return true;
  }
  if (status == platform::kKeyStoreMissingEntitlement) {
    Log::debug("data-protection keychain unavailable (unsigned build); using legacy keychain");
    return false;
  }
  Log::debug([&] {
    return "keychain probe returned status " + std::to_string(status) +
           "; defaulting to data-protection keychain";
  });
  return true;
}

bool usesDataProtection() {
  {
    MutexLock lock(mutex);
    if (probed) return *probed;
  }
  // The probe runs outside the lock because it logs; a second thread arriving now
  // waits on probeMutex and then finds the answer.
  static Mutex probeMutex;
  MutexLock probeLock(probeMutex);
  {
    MutexLock lock(mutex);
    if (probed) return *probed;
  }
  bool result = probe();
  MutexLock lock(mutex);
  probed = result;
  return result;
}

Attributes base() {
  if (usesDataProtection()) return {{std::string(kUseDataProtection), true}};
  return {};
}

std::string_view modeName() {
  if (!available()) return "none";
  return usesDataProtection() ? "data-protection" : "legacy";
}

}  // namespace vela::Keychain
