#include <iostream>

#include "runtime/build_info.h"
#include "runtime/command_handlers.h"
#include "util/agent_version.h"
#include "util/canonical_json.h"

namespace vela {

std::string BuildInfo::compiler() {
#if defined(__clang__)
  return "clang " __clang_version__;
#elif defined(__GNUC__)
  return "gcc " __VERSION__;
#else
  return "unknown";
#endif
}

std::string BuildInfo::architecture() {
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "aarch64";
#elif defined(__i386__)
  return "i386";
#elif defined(__arm__)
  return "arm";
#elif defined(__riscv) && __riscv_xlen == 64
  return "riscv64";
#else
  return "unknown";
#endif
}

namespace CLI {

Result<int> versionCommand(Args args) {
  if (!removeFlag(args, "--json")) {
    std::cout << AgentVersion::current << "\n";
    return 0;
  }
  std::cout << CanonicalJSON::encode(JSONValue{{"version", AgentVersion::current},
                                               {"commit", BuildInfo::commit},
                                               {"build_date", BuildInfo::buildDate},
                                               {"compiler", BuildInfo::compiler()},
                                               {"architecture", BuildInfo::architecture()}})
            << "\n";
  return 0;
}

}  // namespace CLI
}  // namespace vela
