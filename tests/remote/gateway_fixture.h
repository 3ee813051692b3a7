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
  // "test-device-token".
  explicit GatewayProcess(std::string dir, std::vector<std::string> extraArgs = {});
  ~GatewayProcess();
  GatewayProcess(const GatewayProcess&) = delete;
  GatewayProcess& operator=(const GatewayProcess&) = delete;

  bool ready() const { return operatorPort_ > 0; }
  // SIGKILL: the agent sees its connection vanish without a closing handshake.
  void kill();

  bool send(const std::string& frameText, const std::string& agent = kToken);
  // Frames the agent sent from index `since`; waits up to `waitSeconds` for a first one.
  std::vector<std::string> frames(std::size_t since, double waitSeconds, std::size_t* next,
                                  const std::string& agent = kToken);
  std::vector<JSONValue> connections();
  // Reads the agent's connection at `bytesPerSecond` (0 stops reading it; nothing lifts
  // the limit). Throttled stdout is only counted: throttledStdoutBytes().
  bool throttle(std::optional<double> bytesPerSecond, const std::string& agent = kToken);
  std::int64_t throttledStdoutBytes(const std::string& agent = kToken);

 private:
  std::optional<std::string> http(const std::string& method, const std::string& path,
                                  const std::string& body = "");
  std::optional<JSONValue> getJSON(const std::string& path);

  std::string dir_;
  std::unique_ptr<BackgroundProcess> server_;
  int operatorPort_ = -1;
};

// Reads the agent's frames in order and waits for the ones a test expects.
class FrameReader {
 public:
  explicit FrameReader(GatewayProcess& gateway) : gateway_(gateway) {}

  // The next frame of `type` for `session` (frames before it are kept in `skipped`), or
  // nothing after a minute without it.
  std::optional<JSONValue> nextOfType(const std::string& type, const std::string& session);

  std::vector<JSONValue> skipped;

 private:
  GatewayProcess& gateway_;
  std::vector<JSONValue> pending_;
  std::size_t next_ = 0;
};

int countOpenDescriptors();
// Children of this process that have not been reaped yet (zombies included).
int countChildProcesses();

}  // namespace vela::testing
