#pragma once

// Self-update: asks the control plane for a newer build, authenticates the manifest
// with the pinned update key only, downloads and checks the artifact, and swaps it in
// place of the installed executable. Synchronous; used from one thread at a time (the
// daemon loop or the update command).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/http_client.h"
#include "net/pinned_trust.h"
#include "update/manifest.h"
#include "update/update_error.h"

namespace vela {

class UpdateChecker {
 public:
  // upToDate when absent.
  using Outcome = std::optional<UpdateManifest>;

  // The checker's client uses the 60-second timeout that downloads need.
  UpdateChecker(std::string baseURL, PinnedTrust trust,
                std::optional<ClientIdentity> identity = std::nullopt);

  Result<Outcome> check(const std::string& channel, const std::string& currentVersion);
  Result<void> verifyManifestSignature(const UpdateManifest& manifest) const;

  // Streams the artifact to disk, stopping as soon as it outgrows the signed size,
  // checks size then hash, publishes "update-<version>.staged" (0755) in the state
  // directory and checks it can run here. Returns the staged path.
  Result<std::string> downloadAndVerify(const UpdateManifest& manifest);
  // The file must be a native executable whose "version" command prints `version`.
  Result<void> verifyCodeSignature(const std::string& path, const std::string& version) const;
  // Crash-safe replace with "<installed>.previous" kept (BinarySwap); restores it when
  // the rename fails.
  Result<void> swapBinary(const std::string& stagedBinary, const std::string& installedPath) const;
  // swapBinary, then ends the process with status 0 for the service manager to start
  // the new build. Returns only with an error.
  Result<void> applyAndRelaunch(const std::string& stagedBinary, const std::string& installedPath);

  static bool isProductionPath(const std::string& path);

  void setExitForTesting(std::function<void(int)> exitProcess) { exit_ = std::move(exitProcess); }
  // Called at each of BinarySwap::kSteps.
  void setSwapStepHookForTesting(std::function<void(std::string_view)> hook) {
    swapStepHook_ = std::move(hook);
  }

 private:
  const std::string baseURL_;
  const PinnedTrust trust_;
  std::unique_ptr<HTTPClient> http_;
  std::function<void(int)> exit_;
  std::function<void(std::string_view)> swapStepHook_;
};

}  // namespace vela
