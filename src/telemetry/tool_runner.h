#pragma once

// How telemetry runs the system tools it reads (dmidecode, lsblk): a tool's standard
// output when it exits with status 0 within its time limit, else nothing. A seam so
// that tests replay recorded tool output.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vela {

using ToolRunner = std::function<std::optional<std::string>(
    const std::string& path, const std::vector<std::string>& arguments, double timeout)>;

// Runs the tool through the process runner.
ToolRunner shellToolRunner();

// Time limit for every tool telemetry runs; a hung tool costs at most this much.
inline constexpr double kToolTimeoutSeconds = 15;

}  // namespace vela
