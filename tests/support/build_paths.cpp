#include "support/build_paths.h"

namespace vela::testing {

const char* agentExe() { return VELA_AGENT_EXE; }

std::string sourcePath(std::string_view relative) {
  return std::string(VELA_SOURCE_DIR "/").append(relative);
}

}  // namespace vela::testing
