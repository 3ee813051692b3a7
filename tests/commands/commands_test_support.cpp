#include "commands/commands_test_support.h"

#include <openssl/evp.h>

#include <sstream>

#include "util/base64.h"
#include "util/json_scanner.h"
#include "util/log.h"

namespace vela::testing {

TestSigner::TestSigner() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {}

AgentCrypto::Ed25519PublicKey TestSigner::publicKey() const {
  std::uint8_t raw[32];
  std::size_t length = sizeof raw;
  EVP_PKEY_get_raw_public_key(key_.get(), raw, &length);
  return AgentCrypto::Ed25519PublicKey::fromRaw(std::span(raw, length)).value();
}

std::string TestSigner::signBase64(std::string_view message) const {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::uint8_t signature[64];
  std::size_t length = sizeof signature;
  EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get());
  EVP_DigestSign(ctx.get(), signature, &length,
                 reinterpret_cast<const unsigned char*>(message.data()), message.size());
  return Base64::encode(std::span<const std::uint8_t>(signature, length));
}

JSONValue signedCommand(const TestSigner& signer, const WireFields& f) {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  std::string issued = std::to_string(
      f.issuedAt == 0 ? std::chrono::duration_cast<std::chrono::seconds>(now).count() : f.issuedAt);
  std::string seq = std::to_string(f.sequenceNo);
  // Not built with the agent's writer, so a fault there cannot cancel out.
  std::string message = R"({"agent_id":")" + f.agentID + R"(","issued_at":)" + issued +
                        R"(,"nonce":")" + f.nonce + R"(","payload":)" + f.payloadJSON +
                        R"(,"sequence_no":)" + seq + R"(,"type":"ping"})";
  return JSONScanner::parse(R"({"type":"ping","sequence_no":)" + seq + R"(,"nonce":")" +
                            f.nonce + R"(","issued_at":)" + issued + R"(,"payload":)" +
                            f.payloadJSON + R"(,"signature":")" + signer.signBase64(message) +
                            "\"}")
      .value();
}

LogCapture::LogCapture() : env_("VELA_LOG_FILE", dir_.file("agent.log")) {
  Log::resetLogFileForTesting();
}

LogCapture::~LogCapture() { Log::resetLogFileForTesting(); }

int LogCapture::count(const std::string& level, const std::string& fragment) const {
  std::istringstream lines(readFileOrEmpty(dir_.file("agent.log")));
  int n = 0;
  for (std::string line; std::getline(lines, line);) {
    n += line.find("] " + level + ": ") != std::string::npos &&
         line.find(fragment) != std::string::npos;
  }
  return n;
}

}  // namespace vela::testing
