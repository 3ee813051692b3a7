#pragma once

// Who is logged in, from logind: the names of the users with at least one session.
// A user without a passwd entry has no name to address and is left out.

#include <string>
#include <vector>

namespace vela::platform {

// Empty when logind does not answer.
std::vector<std::string> loggedInUsers();

}  // namespace vela::platform
