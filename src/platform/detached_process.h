#pragma once

// Starting a program that outlives its caller's interest in it: no waiting, standard
// input, output and error on the null device, its own session so terminal signals of
// the parent do not reach it, and the clean start of platform/child_process.h. A background thread reaps the child when it ends, so it
// never lingers as a zombie.

#include <sys/types.h>

#include <string>
#include <vector>

#include "util/agent_error.h"

namespace vela::platform {

// `path` is absolute; `arguments` exclude the program name. Fails with the start
// error ("<path>: <system error text>").
Result<pid_t> spawnDetached(const std::string& path, const std::vector<std::string>& arguments);

}  // namespace vela::platform
