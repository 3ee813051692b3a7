#pragma once

// Where this build put the programs the tests run, and where the sources are. Only
// build_paths.cpp is compiled with these paths, so that a checkout in another folder
// still finds every other test object in the compiler cache.

#include <string>
#include <string_view>

namespace vela::testing {

// The agent executable of this build.
const char* agentExe();
// A file of the source tree, named relative to its root.
std::string sourcePath(std::string_view relative);

}  // namespace vela::testing
