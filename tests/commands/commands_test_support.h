#pragma once

// Command test helpers: an OpenSSL Ed25519 signer, wire commands signed over canonical
// bytes written by hand, a capture of log lines, and a SystemActions that records what
// would have run on the machine.

#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "commands/system_actions.h"
#include "support/temp_dir.h"
#include "util/agent_crypto.h"
#include "util/json_value.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace vela::testing {

class TestSigner {
 public:
  TestSigner();
  AgentCrypto::Ed25519PublicKey publicKey() const;
  std::string signBase64(std::string_view message) const;

 private:
  std::shared_ptr<EVP_PKEY> key_;
};

struct WireFields {
  std::string agentID = "agent-1";
  std::int64_t sequenceNo = 1;
  std::string nonce = "n-1";
  std::int64_t issuedAt = 0;  // 0: now
  std::string payloadJSON = "{}";  // canonical
};

// A "ping" command signed over the canonical bytes of `fields`.
JSONValue signedCommand(const TestSigner& signer, const WireFields& fields);

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  // How many lines of `level` ("WARN") contain `fragment`.
  int count(const std::string& level, const std::string& fragment) const;

 private:
  TempDir dir_;
  ScopedEnv env_;
};

struct Recorded {
  struct Call {
    std::string path;
    std::vector<std::string> arguments;
    double timeout = 0;
    bool operator==(const Call&) const = default;
    friend std::ostream& operator<<(std::ostream& os, const Call& c) {
      os << c.path << " (timeout " << c.timeout << ")";
      for (const auto& a : c.arguments) os << " [" << a << "]";
      return os;
    }
  };
  std::vector<Call> tools, detached;
  std::vector<std::pair<int, std::chrono::milliseconds>> exits;
  Shell::Result toolResult{0, "", "", false};
  bool detachedStarts = true;
  std::map<std::string, std::string> packages;  // path -> owning package
  std::vector<std::string> packageQueries;
  std::vector<std::string> users;
};

class RecordingSystemActions final : public SystemActions {
 public:
  explicit RecordingSystemActions(std::shared_ptr<Recorded> r) : r_(std::move(r)) {}
  Shell::Result runTool(const std::string& path, const std::vector<std::string>& args,
                        double timeout) override {
    r_->tools.push_back({path, args, timeout});
    return r_->toolResult;
  }
  bool spawnDetached(const std::string& path, const std::vector<std::string>& args) override {
    r_->detached.push_back({path, args, 0});
    return r_->detachedStarts;
  }
  void scheduleExit(int status, std::chrono::milliseconds delay) override {
    r_->exits.emplace_back(status, delay);
  }
  std::optional<std::string> owningPackage(const std::string& path) override {
    r_->packageQueries.push_back(path);
    return r_->packages.contains(path) ? std::optional(r_->packages[path]) : std::nullopt;
  }
  std::vector<std::string> loggedInUsers() override { return r_->users; }

 private:
  std::shared_ptr<Recorded> r_;
};

}  // namespace vela::testing
