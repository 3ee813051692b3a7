#include "config/bundled_provisioning.h"

#include <cstdlib>

#include "config/agent_paths.h"
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

// The per-user state directory, whatever VELA_STATE_DIR or the process's rights say.
std::string userStateDir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/vela-agent";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.local/share/vela-agent";
}

// A root process started with some user's environment (sudo keeps HOME) must not
// take its server, token and trust from that user's files.
bool userLocationApplies() {
  if (platform::effectiveUser() != 0) return true;
  const char* home = std::getenv("HOME");
  std::string rootHome = platform::homeDirectoryOf(0);
  return home && !rootHome.empty() && std::string_view(home) == rootHome;
}

}  // namespace

std::string systemDocumentPath() {
  const std::string dir =
      platform::effectiveUser() == 0 ? AgentPaths::stateDir() : std::string(AgentPaths::kSystemStateDir);
  return dir + "/" + kFileName;
}

std::vector<Candidate> candidatePaths() {
  std::vector<Candidate> candidates = {
      {"sidecar", directoryOf(ProcessInfo::executablePath()) + "/" + kFileName},
      {"system", systemDocumentPath()},
  };
  if (userLocationApplies()) candidates.push_back({"user", userStateDir() + "/" + kFileName});
  return candidates;
}

std::optional<FoundProvisioning> find() { return find(candidatePaths()); }

std::optional<FoundProvisioning> find(const std::vector<Candidate>& candidates) {
  for (const Candidate& candidate : candidates) {
    auto text = platform::readTrustedFile(candidate.path);
    if (!text) {
      Log::warn("provisioning: ignoring the " + candidate.label +
                " document: " + text.error().message);
      continue;
    }
    if (!*text) continue;
    auto payload = ProvisioningPayload::decode(**text, candidate.path);
    if (!payload || payload->server.empty()) {
      Log::warn("provisioning: ignoring the " + candidate.label + " document: " +
                (payload ? candidate.path + " names no server" : payload.error().message));
      continue;
    }
    return FoundProvisioning{std::move(*payload), candidate.label + ": " + candidate.path, candidate.path};
  }
  return std::nullopt;
}

}  // namespace vela::BundledProvisioning
