#pragma once

// Finds a provisioning document installed alongside the agent. Searched in order:
// "sidecar" (provisioning.json next to the executable), "system" (the system daemon's
// state directory's: /var/lib/vela-agent, or VELA_STATE_DIR for a root process) and
// "user" (the user's state directory's; for root only when HOME is root's own). There
// are no application bundles on this platform, so no bundle resource is searched. A
// document names the server, token and trust, so one that another user could have
// planted or changed is skipped with a warning saying why; so is one that does not
// decode or names no server.

#include <optional>
#include <string>
#include <vector>

#include "config/provisioning_payload.h"

namespace vela {

struct FoundProvisioning {
  ProvisioningPayload payload;
  std::string source;  // label + ": " + path
  std::string path;

  bool operator==(const FoundProvisioning&) const = default;
};

namespace BundledProvisioning {

struct Candidate {
  std::string label;
  std::string path;

  bool operator==(const Candidate&) const = default;
};

std::vector<Candidate> candidatePaths();
// The "system" candidate's path.
std::string systemDocumentPath();

// The first candidate that reads, decodes and names a server.
std::optional<FoundProvisioning> find();
std::optional<FoundProvisioning> find(const std::vector<Candidate>& candidates);

}  // namespace BundledProvisioning
}  // namespace vela
