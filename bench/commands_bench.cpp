// Commands verified per second, end to end (poll-body parsing, the canonical signed
// bytes, Ed25519 and the durable replay-state write), beside raw Ed25519 verifications
// per second measured in the same run.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "commands/command_verifier.h"
#include "util/base64.h"
#include "util/json_scanner.h"

namespace vela {
namespace {

class Signer {
 public:
  Signer() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {}

  AgentCrypto::Ed25519PublicKey publicKey() const {
    std::uint8_t raw[32];
    std::size_t length = sizeof raw;
    EVP_PKEY_get_raw_public_key(key_.get(), raw, &length);
    return AgentCrypto::Ed25519PublicKey::fromRaw(std::span(raw, length)).value();
  }

  std::string sign(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::uint8_t signature[64];
    std::size_t length = sizeof signature;
    EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get());
    EVP_DigestSign(ctx.get(), signature, &length,
                   reinterpret_cast<const unsigned char*>(message.data()), message.size());
    return Base64::encode(std::span<const std::uint8_t>(signature, length));
  }

 private:
  std::shared_ptr<EVP_PKEY> key_;
};

// Canonical form; the wire form below carries the same members in another order.
constexpr const char* kPayload =
    R"({"interpreter":"bash","script":"uptime; df -h / | tail -1","timeout_seconds":60})";

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The wire text of command `seq`, as a poll body would carry it.
std::string wireCommand(const Signer& signer, std::int64_t seq) {
  std::string nonce = "bench-nonce-" + std::to_string(seq);
  std::string issued = std::to_string(nowSeconds());
  std::string message = R"({"agent_id":"bench-agent","issued_at":)" + issued + R"(,"nonce":")" +
                        nonce + R"(","payload":)" + kPayload + R"(,"sequence_no":)" +
                        std::to_string(seq) + R"(,"type":"run_script"})";
  return R"({"id":"c-)" + std::to_string(seq) + R"(","sequence_no":)" + std::to_string(seq) +
         R"(,"nonce":")" + nonce + R"(","issued_at":)" + issued +
         R"(,"type":"run_script","payload":{"timeout_seconds":60,"interpreter":"bash",)"
         R"("script":"uptime; df -h / | tail -1"},"signature":")" +
         signer.sign(message) + R"("})";
}

void verifyCommands(benchmark::State& state, const std::string& directory) {
  std::filesystem::create_directories(directory);
  ::setenv("VELA_STATE_DIR", directory.c_str(), 1);
  Signer signer;
  CommandVerifier verifier(signer.publicKey(), "bench-agent",
                           ReplayStore(directory + "/replay.json"), 300);
  verifier.replay().clear();
  std::int64_t seq = 0;
  std::vector<std::string> batch;
  std::size_t next = 0;
  for (auto _ : state) {
    if (next == batch.size()) {
      state.PauseTiming();
      batch.clear();
      for (int i = 0; i < 256; ++i) batch.push_back(wireCommand(signer, ++seq));
      next = 0;
      state.ResumeTiming();
    }
    auto body = JSONScanner::parse(batch[next++]);
    auto command = IncomingCommand::parse(*body, "bench-agent");
    auto accepted = verifier.verifyAndAccept(*command, std::chrono::system_clock::now());
    if (!accepted) state.SkipWithError(accepted.error().description().c_str());
  }
  state.SetItemsProcessed(state.iterations());
  std::filesystem::remove_all(directory);
}

// The replay state on the disk that holds temporary files: each accept waits for its
// fsync, as on a real installation. Measured in wall time, since the waiting is the cost.
void BM_CommandsVerifiedDurableDisk(benchmark::State& state) {
  verifyCommands(state, std::filesystem::temp_directory_path() / "vela-commands-bench");
}
BENCHMARK(BM_CommandsVerifiedDurableDisk)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same on a memory file system: what the work costs apart from the disk.
void BM_CommandsVerifiedInMemoryFS(benchmark::State& state) {
  if (!std::filesystem::is_directory("/dev/shm")) {
    state.SkipWithError("no /dev/shm");
    return;
  }
  verifyCommands(state, "/dev/shm/vela-commands-bench");
}
BENCHMARK(BM_CommandsVerifiedInMemoryFS)->Unit(benchmark::kMicrosecond);

void BM_RawEd25519Verify(benchmark::State& state) {
  Signer signer;
  auto key = signer.publicKey();
  std::string message(200, 'm');
  std::string signature = signer.sign(message);
  for (auto _ : state) {
    auto ok = AgentCrypto::verifyEd25519(signature, message, key);
    if (!ok) state.SkipWithError("verification failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawEd25519Verify)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vela

BENCHMARK_MAIN();
