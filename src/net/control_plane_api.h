#pragma once

// Every call the agent makes to the control plane, in one table. Paths are relative to
// the configured server base URL (see Endpoints); a new call is added here first.

#include <string_view>

namespace vela::ControlPlaneAPI {

enum class Auth {
  none,          // nothing, or a one-time secret in the body
  bearer,        // "Authorization: Bearer <device token>"
  sessionToken,  // "Authorization: Bearer <quick-assist client token>"
};

struct Call {
  std::string_view method;
  std::string_view path;
  Auth auth;
};

// 200/201 with agent_id, optional device_token and certificate; 422 = token refused.
inline constexpr Call enroll{"POST", "api/agent/enroll", Auth::none};
// 2xx; anything else is logged.
inline constexpr Call telemetry{"POST", "api/agent/telemetry", Auth::bearer};
// 204 = nothing to do; 2xx with the signed commands.
inline constexpr Call commandsPoll{"GET", "api/agent/commands", Auth::bearer};
// "{id}" is the command id; commands without an id report to commandResultWithoutID.
inline constexpr Call commandResult{"POST", "api/agent/commands/{id}/result", Auth::bearer};
inline constexpr Call commandResultWithoutID{"POST", "api/agent/commands/result", Auth::bearer};
// Query os, arch, channel, current_version; 204 = up to date, 200 = an offer. The
// update command's client answers a client-certificate request.
inline constexpr Call updateCheck{"GET", "api/agent/update/check", Auth::none};
// 201 with session_id, client_token, gateway_url.
inline constexpr Call quickAssistJoin{"POST", "api/quick-assist/join", Auth::none};
// 200 with upload_url and optional headers.
inline constexpr Call quickAssistPresign{"POST", "api/quick-assist/recordings/presign",
                                         Auth::sessionToken};

// The gateway WebSocket: always wss://<host of the base URL>:8443/v1/agent/conn, with
// the bearer token; its own connection, not the HTTPS client.
inline constexpr int gatewayPort = 8443;
inline constexpr std::string_view gatewayPath = "/v1/agent/conn";

// Update artifacts and presigned recording uploads go to URLs the server returns.

}  // namespace vela::ControlPlaneAPI
