#pragma once

#include <string_view>

namespace vela::AgentVersion {

inline constexpr std::string_view current = "0.1.0";
inline constexpr std::string_view bundleID = "com.vela.agent";
inline constexpr std::string_view productName = "VELA RMM Agent";
// "VELA RMM Agent 0.1.0": usage, status, doctor and the daemon banner.
inline constexpr std::string_view banner = "VELA RMM Agent 0.1.0";
// The control-plane HTTPS client's user agent on this platform.
inline constexpr std::string_view httpUserAgent = "vela-agent/0.1.0 (Linux)";
inline constexpr std::string_view gatewayUserAgent = "vela-agent/0.1.0";

}  // namespace vela::AgentVersion
