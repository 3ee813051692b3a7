#include "platform/host_facts.h"

#include "util/text_fields.h"

namespace vela::HostFacts {

std::string hostname(const platform::SystemSources& src) { return src.hostname().value_or(""); }

std::string computerName(const platform::SystemSources& src) {
  if (auto text = src.readText("/etc/machine-info")) {
    if (auto pretty = TextFields::shellVariable(*text, "PRETTY_HOSTNAME")) {
      auto trimmed = TextFields::trim(*pretty);
      if (!trimmed.empty()) return std::string(trimmed);
    }
  }
  return hostname(src);
}

std::string osVersion(const platform::SystemSources& src) {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    auto text = src.readText(path);
    if (!text) continue;
    if (auto v = TextFields::shellVariable(*text, "VERSION_ID"); v && !v->empty()) return *v;
  }
  return "unknown";
}

std::optional<std::string> osBuild(const platform::SystemSources& src) { return src.kernelRelease(); }

std::string normalizeArch(const std::string& machine) {
  if (machine == "x86_64") return "amd64";
  if (machine == "arm64" || machine == "arm64e" || machine == "aarch64") return "arm64";
  return machine;
}

std::string arch(const platform::SystemSources& src) {
  auto m = src.machine();
  return m ? normalizeArch(*m) : "unknown";
}

}  // namespace vela::HostFacts
