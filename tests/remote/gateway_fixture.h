#pragma once

// The test gateway (tools/controlplane/gateway.py) as a child process on 127.0.0.1,
// and its operator API through the curl tool.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/background_process.h"
#include "util/json_value.h"

namespace vela::testing {

class GatewayProcess {
 public:
  static constexpr const char* kToken = "test-device-token";

  // Starts gateway.py on `dir` (a test control plane's, for its server certificate) and
  // the product's port 8443 and waits for its ready line; accepts kToken as agent
  // "test-device-token", the one agent all calls below concern.
  explicit GatewayProcess(const std::string& dir, std::vector<std::string> extraArgs = {});
  ~GatewayProcess();
  GatewayProcess(const GatewayProcess&) = delete;
  GatewayProcess& operator=(const GatewayProcess&) = delete;

  bool ready() const { return operatorPort_ > 0; }
  // SIGKILL: the agent sees its connection vanish without a closing handshake.
  void kill();

  bool send(const std::string& frameText);
  // The agent's next frame of `type` for `session` (frames before it are kept in
  // `skipped`), or nothing after a minute without it.
  std::optional<JSONValue> nextOfType(const std::string& type, const std::string& session);
  std::vector<JSONValue> skipped;

  std::vector<JSONValue> connections();
  // Reads the agent's connection at `bytesPerSecond` (0 stops reading it; nothing lifts
  // the limit). Throttled stdout is only counted: throttledStdoutBytes().
  bool throttle(double bytesPerSecond);
  std::int64_t throttledStdoutBytes();

 private:
  std::optional<std::string> http(const std::string& method, const std::string& path,
                                  const std::string& body = "");
  std::optional<JSONValue> getJSON(const std::string& path);

  std::unique_ptr<BackgroundProcess> server_;
  int operatorPort_ = -1;
  std::vector<JSONValue> pending_;  // frames fetched, not yet looked at
  std::size_t next_ = 0;            // index of the first frame not fetched
};

int countOpenDescriptors();
// Children of this process that have not been reaped yet (zombies included).
int countChildProcesses();

}  // namespace vela::testing
