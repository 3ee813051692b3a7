#pragma once

// Replaces an installed executable so that a crash or power loss at any point leaves
// the old or the new build at its path, never a partial file. The new build is written
// and flushed under "<name>.new-<pid>" beside it and renamed over it; the backup
// "<installed>.previous" is published the same way, so it too is whole or absent.
// Synchronous, on the caller's thread.

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "util/agent_error.h"

namespace vela::BinarySwap {

// Where the step hook is called, in order; a test stops the process at each.
inline constexpr std::array<std::string_view, 6> kSteps = {
    "new build partly written", "new build written", "backup partly written",
    "backup written",           "new build installed", "staged file removed"};

using StepHook = std::function<void(std::string_view step)>;

// Fails with "atomic replace failed: <reason>" (wrapped as a download error by the
// caller) when the new build cannot be put in place; the old build is then restored
// from the backup if its path had gone.
Result<void> swap(const std::string& staged, const std::string& installed, const StepHook& hook = {});

}  // namespace vela::BinarySwap
