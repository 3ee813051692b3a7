#pragma once

// Whether the modern data-protection keychain can be used is decided once per process
// by a probe and then fixed; every key-store query starts from base(). On systems
// without a keychain (Linux) the probe answers false without touching anything and
// modeName() reports "none". Safe to call from any thread.

#include <map>
#include <string>
#include <string_view>

#include "platform/key_store.h"

namespace vela::Keychain {

inline constexpr std::string_view kUseDataProtection = "useDataProtectionKeychain";
inline constexpr std::string_view kProbeAccount = "com.vela.agent.keychain-probe";

using Attributes = std::map<std::string, bool, std::less<>>;

// Computed by probe() on first use; later callers wait for the first one.
bool usesDataProtection();
// {kUseDataProtection: true} when the data-protection keychain is used, else empty.
Attributes base();
bool probe();

// False when the system has no keychain at all.
bool available();
// "data-protection", "legacy" or "none", for status output.
std::string_view modeName();

// The key store behind every keychain query.
platform::KeyStore& store();
// Replaces the store (nullptr: the system's) and forgets the probe result.
void setStoreForTesting(platform::KeyStore* store);

}  // namespace vela::Keychain
