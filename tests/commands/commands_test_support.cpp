#include "commands/commands_test_support.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "util/base64.h"
#include "util/json_scanner.h"
#include "util/log.h"

namespace vela::testing {

TestSigner::TestSigner()
    : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {
  if (!key_) throw std::runtime_error("Ed25519 key generation failed");
}

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
  if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature, &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    throw std::runtime_error("Ed25519 signing failed");
  }
  return Base64::encode(std::span<const std::uint8_t>(signature, length));
}

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

JSONValue signedCommand(const TestSigner& signer, const WireFields& f) {
  std::int64_t issuedAt = f.issuedAt == 0 ? nowSeconds() : f.issuedAt;
  // Written out by hand rather than through the agent's own writer, so a fault in the
  // canonical encoder cannot cancel out on both sides.
  std::string nonceJSON = "\"" + f.nonce + "\"";
  std::string typeJSON = "\"" + f.type + "\"";
  std::string message = "{\"agent_id\":\"" + f.agentID + "\",\"issued_at\":" +
                        std::to_string(issuedAt) + ",\"nonce\":" + nonceJSON +
                        ",\"payload\":" + f.payloadJSON + ",\"sequence_no\":" +
                        std::to_string(f.sequenceNo) + ",\"type\":" + typeJSON + "}";
  std::string wire = "{\"sequence_no\":" + std::to_string(f.sequenceNo) + ",\"nonce\":" +
                     nonceJSON + ",\"issued_at\":" + std::to_string(issuedAt) +
                     ",\"type\":" + typeJSON + ",\"payload\":" + f.payloadJSON +
                     ",\"signature\":\"" + signer.signBase64(message) + "\"}";
  return JSONScanner::parse(wire).value();
}

LogCapture::LogCapture() : env_("VELA_LOG_FILE", dir_.file("agent.log")) {
  Log::resetLogFileForTesting();
}

LogCapture::~LogCapture() { Log::resetLogFileForTesting(); }

std::string LogCapture::text() const { return readFileOrEmpty(dir_.file("agent.log")); }

std::vector<std::string> LogCapture::lines(const std::string& level,
                                           const std::string& fragment) const {
  std::vector<std::string> found;
  std::string all = text();
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(start, end - start);
    if (line.find("] " + level + ": ") != std::string::npos &&
        line.find(fragment) != std::string::npos) {
      found.push_back(line);
    }
    start = end + 1;
  }
  return found;
}

}  // namespace vela::testing
