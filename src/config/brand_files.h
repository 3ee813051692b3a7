#pragma once

// The agent's default logos, brand-light.png and brand-dark.png. They are looked for
// beside the running executable (its ../share/vela-agent, as in a build tree or after
// the agent's own installer), then where the agent's installer and the Debian package
// put them, so a copy of the program run from anywhere still finds them. Thread-safe.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vela::BrandFiles {

inline constexpr std::string_view kLight = "brand-light.png";
inline constexpr std::string_view kDark = "brand-dark.png";

// The folders searched, in order, for an executable at `executable`; every system path
// sits below `root` ("" on a live system).
std::vector<std::string> searchPath(std::string_view executable, std::string_view root = "");

// The first folder of the search path of the running executable that holds a logo.
std::optional<std::string> directory();

// Searches these folders instead; nothing restores the real search path.
void setSearchPathForTesting(std::optional<std::vector<std::string>> folders);

}  // namespace vela::BrandFiles
