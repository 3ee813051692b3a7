#pragma once

// The test control plane (tools/controlplane/controlplane.py) run as a child process for
// the life of the object: `init` in a fresh temporary directory, then `serve` on free
// loopback ports. The agent API speaks HTTPS with a certificate from the directory's own
// CA; the admin API is plain HTTP and is reached here through curl. Not thread-safe: use
// one object from one test thread.

#include <memory>
#include <optional>
#include <string>

#include "support/background_process.h"

namespace vela::testing {

class ControlPlane {
 public:
  struct Reply {
    int status = 0;  // 0 when no HTTP reply arrived
    std::string body;
  };

  // A scripted answer for the next agent call to `path` (e.g. "/api/agent/commands").
  // Without status and body the call proceeds normally after the delay.
  struct Fault {
    // Every member has an initializer, so that tests may name only the ones they set.
    std::string path{};
    std::optional<int> status{};
    std::optional<std::string> body{};
    double delaySeconds = 0;
    bool drop = false;  // close the connection without any reply
    // A JSON object merged into the genuine reply (null removes a key).
    std::optional<std::string> patch{};
    // Sent as the reply's Content-Encoding; the body is then bytes already so encoded.
    std::string contentEncoding{};
    int repeat = 1;  // the body sent this many times over, streamed
  };

  // Throws std::runtime_error, with the server's log, when it cannot be started.
  ControlPlane();
  ~ControlPlane();

  std::string baseURL() const;  // "https://127.0.0.1:PORT"
  const std::string& dir() const { return dir_; }
  int port() const { return port_; }
  std::string caPem() const;
  // provisioning.json: server, token (the one issued by init), caPem, commandPubkey,
  // updatePubkey (base64 of the raw 32-byte Ed25519 keys), channel.
  std::string provisioningJSON() const;
  std::string commandPublicKey() const;
  std::string updatePublicKey() const;
  // Writes the CA and both public keys under `stateDir`/pinned, as provisioning does.
  void pinInto(const std::string& stateDir) const;
  // An agent enrolled through the agent API with a fresh P-256 key made by the openssl
  // tool; throws std::runtime_error when enrolment fails.
  struct Enrolment {
    std::string agentID;
    std::string deviceToken;
  };
  Enrolment enrolAgent(const std::string& hostname) const;

  // Any admin call; `jsonBody` empty sends no body.
  Reply admin(const std::string& method, const std::string& path,
              const std::string& jsonBody = "") const;

  // The calls below throw std::runtime_error on an unexpected status.
  std::string newToken() const;
  // Queues a command; `tamper` is empty or one of signature, replay_sequence,
  // replay_nonce, wrong_agent, stale. Returns the command id.
  std::string queueCommand(const std::string& agentId, const std::string& type,
                           const std::string& payloadJson = "{}",
                           const std::string& tamper = "") const;
  // JSON arrays as text; an empty agent id (the control plane's are UUIDs) lists every
  // agent's entries.
  std::string agents() const;
  std::string results(const std::string& agentId = "") const;
  std::string heartbeats(const std::string& agentId = "") const;
  std::string commands(const std::string& agentId = "") const;
  std::string requests() const;
  // Publishes `file` as version `version` for this machine; returns the manifest JSON.
  // `tamper` is empty or one of signature, key, sha256, size.
  std::string publishUpdate(const std::string& version, const std::string& file,
                            const std::string& channel = "stable",
                            const std::string& tamper = "") const;
  void scriptFault(const Fault& fault) const;
  void clearFaults() const;

 private:
  std::string expect(int status, const std::string& method, const std::string& path,
                     const std::string& body = "") const;
  std::string listing(const std::string& what, const std::string& agentId) const;

  TempDir tmp_;  // declared first: removed only after the server has stopped
  std::string dir_;
  std::unique_ptr<BackgroundProcess> server_;  // never null once constructed
  int port_ = 0;
  int adminPort_ = 0;
};

}  // namespace vela::testing
