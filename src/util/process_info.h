#pragma once

// Process-wide facts recorded once by the entry point: the program path (argv[0]).

#include <string>

namespace vela::ProcessInfo {

void setProgramPath(std::string path);
// argv[0] as given, or "" before the entry point recorded it.
const std::string& programPath();
// Whether this executable lives in an application bundle. Linux has none: the agent is
// one plain file, so the answer is always no.
bool insideAppBundle();
// Absolute path of the running executable (/proc/self/exe), or argv[0] when unreadable.
std::string executablePath();

}  // namespace vela::ProcessInfo
