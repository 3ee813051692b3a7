#pragma once

// Which files some process holds open: a recording still being written is open in the
// process that writes it, a finished one in none. Reads /proc, so it sees the processes
// this one may look into (all of them for root, a user's own otherwise): every process
// that can write below a user's own directory.

#include <set>
#include <string>

namespace vela::platform {

// Paths, links resolved, of the open files directly inside `directory`; empty when it
// does not exist.
std::set<std::string> openFilesIn(const std::string& directory);

}  // namespace vela::platform
