#pragma once

// Helpers for the command tests: an Ed25519 signer made with OpenSSL, wire commands
// signed over hand-built canonical bytes, a capture of the agent's log lines, and a
// stand-in for the machine-wide actions that records what would have run.

#include <chrono>
#include <cstdint>
#include <memory>
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
  std::string type = "ping";
  std::string payloadJSON = "{}";
};

std::int64_t nowSeconds();

// The wire form of a command signed over the canonical bytes of `fields`.
JSONValue signedCommand(const TestSigner& signer, const WireFields& fields);

// Log lines written while the capture lives (through VELA_LOG_FILE).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::string text() const;
  // Lines holding `level` ("WARN") and `fragment`.
  std::vector<std::string> lines(const std::string& level, const std::string& fragment) const;

 private:
  TempDir dir_;
  ScopedEnv env_;
};

class RecordingSystemActions final : public SystemActions {
 public:
  struct Call {
    std::string path;
    std::vector<std::string> arguments;
    double timeout = 0;
  };
  struct Record {
    std::vector<Call> tools;
    std::vector<Call> detached;
    std::vector<std::pair<int, std::chrono::milliseconds>> exits;
    Shell::Result toolResult{0, "", "", false};
    bool detachedStarts = true;
  };

  explicit RecordingSystemActions(std::shared_ptr<Record> record) : record_(std::move(record)) {}

  Shell::Result runTool(const std::string& path, const std::vector<std::string>& arguments,
                        double timeoutSeconds) override {
    record_->tools.push_back({path, arguments, timeoutSeconds});
    return record_->toolResult;
  }
  bool spawnDetached(const std::string& path, const std::vector<std::string>& arguments) override {
    record_->detached.push_back({path, arguments, 0});
    return record_->detachedStarts;
  }
  void scheduleExit(int status, std::chrono::milliseconds delay) override {
    record_->exits.emplace_back(status, delay);
  }

 private:
  std::shared_ptr<Record> record_;
};

}  // namespace vela::testing
