#include "config/bundled_provisioning.h"

#include <cstdlib>

#include "platform/file_io.h"
#include "util/log.h"
#include "util/process_info.h"

namespace vela::BundledProvisioning {
namespace {

constexpr const char* kFileName = "provisioning.json";

std::string directoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The per-user state directory, whatever VELA_STATE_DIR or the process's rights say:
// a document a user dropped there is found by a root process too.
std::string userStateDir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/vela-agent";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.local/share/vela-agent";
}

}  // namespace

std::vector<Candidate> candidatePaths() {
  return {
      {"sidecar", directoryOf(ProcessInfo::executablePath()) + "/" + kFileName},
      {"system", std::string("/var/lib/vela-agent/") + kFileName},
      {"user", userStateDir() + "/" + kFileName},
  };
}

std::optional<FoundProvisioning> find() { return find(candidatePaths()); }

std::optional<FoundProvisioning> find(const std::vector<Candidate>& candidates) {
  for (const Candidate& candidate : candidates) {
    auto text = platform::readFile(candidate.path);
    if (!text) continue;
    auto payload = ProvisioningPayload::decode(*text);
    if (!payload) {
      Log::debug([&] { return "provisioning: skipping " + candidate.path + ": " + payload.error().message; });
      continue;
    }
    if (payload->server.empty()) continue;
    return FoundProvisioning{std::move(*payload), candidate.label + ": " + candidate.path};
  }
  return std::nullopt;
}

}  // namespace vela::BundledProvisioning
