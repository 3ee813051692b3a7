// Throughput of the JSON scanner against nlohmann::json on the same poll reply of
// signed commands (about 1 MiB), of the canonical writer, and of Ed25519 verification.
// After the table it prints both parsers' MB/s and their ratio.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "util/agent_crypto.h"
#include "util/base64.h"
#include "util/canonical_json.h"
#include "util/hex.h"
#include "util/json_scanner.h"

namespace {

using namespace vela;

// A poll reply as the control plane sends it: an array of signed commands with
// assorted payloads, pretty-printed in places, with some escapes and non-ASCII text.
const std::string& pollReply() {
  static const std::string document = [] {
    std::mt19937 rng(42);
    auto hexId = [&](int n) {
      std::string s;
      for (int k = 0; k < n; ++k) s += "0123456789abcdef"[rng() % 16];
      return s;
    };
    std::string out = "{\n  \"commands\": [\n";
    for (int n = 0; out.size() < (1u << 20); ++n) {
      if (n > 0) out += ",\n";
      std::string signature(64, '\0');
      for (char& c : signature) c = static_cast<char>(rng());
      out += "    {\"id\": \"" + hexId(8) + "-" + hexId(4) + "-" + hexId(12) + "\", ";
      out += "\"agent_id\": \"agt_" + hexId(16) + "\", \"sequence_no\": " + std::to_string(1000 + n) + ", ";
      out += "\"nonce\": \"" + hexId(32) + "\", \"issued_at\": \"2026-12-04T16:03:08Z\", ";
      switch (n % 3) {
        case 0:
          out += "\"type\": \"run_script\", \"payload\": {\"interpreter\": \"/bin/zsh\", "
                 "\"script\": \"#!/bin/zsh\\nset -e\\necho \\\"R\\u00e9sum\\u00e9 f\\u00fcr $USER\\\"\\n"
                 "softwareupdate --list 2>&1 | tail -n 20\\n\", \"timeout_seconds\": 300, "
                 "\"env\": {\"LANG\": \"de_DE.UTF-8\", \"VELA_JOB\": \"" + hexId(10) + "\"}}";
          break;
        case 1:
          out += "\"type\": \"service_control\", \"payload\": {\"action\": \"restart\", "
                 "\"label\": \"com.example.daemon\", \"ratio\": 0.75, \"retries\": [1, 2, 4, 8], "
                 "\"notify\": true, \"comment\": null}";
          break;
        default:
          out += "\"type\": \"wake_on_lan\", \"payload\": {\"mac\": \"a4:83:e7:" + hexId(2) + ":" +
                 hexId(2) + ":" + hexId(2) + "\", \"broadcast\": \"192.168.1.255\", \"port\": 9, "
                 "\"note\": \"B\xC3\xBCro 2. OG \xE2\x80\x93 Raum 4\"}";
      }
      out += ", \"signature\": \"" + Base64::encode(signature) + "\"}";
    }
    out += "\n  ]\n}\n";
    return out;
  }();
  return document;
}

void BM_ParseJSONScanner(benchmark::State& state) {
  const std::string& doc = pollReply();
  for (auto _ : state) {
    auto value = JSONScanner::parse(doc);
    if (!value) state.SkipWithError("scanner rejected the document");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_ParseJSONScanner)->Unit(benchmark::kMillisecond);

void BM_ParseNlohmann(benchmark::State& state) {
  const std::string& doc = pollReply();
  for (auto _ : state) {
    auto value = nlohmann::json::parse(doc, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) state.SkipWithError("nlohmann rejected the document");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_ParseNlohmann)->Unit(benchmark::kMillisecond);

void BM_CanonicalEncode(benchmark::State& state) {
  const JSONValue tree = *JSONScanner::parse(pollReply());
  std::size_t size = 0;
  for (auto _ : state) {
    std::string text = CanonicalJSON::encode(tree);
    size = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_CanonicalEncode)->Unit(benchmark::kMillisecond);

// RFC 8032 section 7.1, TEST 3: a real key and signature; verification cost does not
// depend on the message beyond hashing it.
void BM_Ed25519Verify(benchmark::State& state) {
  auto key = AgentCrypto::ed25519PublicKey(
      Base64::encode(*Hex::decode("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025")));
  const std::string signature = Base64::encode(*Hex::decode(
      "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
      "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"));
  const Bytes message = *Hex::decode("af82");
  for (auto _ : state) {
    auto ok = AgentCrypto::verifyEd25519(signature, message, *key);
    if (!ok) state.SkipWithError("verification failed");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_Ed25519Verify);

void BM_Sha256(benchmark::State& state) {
  const std::string& doc = pollReply();
  for (auto _ : state) benchmark::DoNotOptimize(AgentCrypto::sha256(doc));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_Sha256)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's rate while still printing the usual table.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      for (const char* counter : {"bytes_per_second", "items_per_second"}) {
        auto it = run.counters.find(counter);
        if (it != run.counters.end()) rates[run.benchmark_name()] = it->second.value;
      }
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  auto rate = [&](const char* name) {
    auto it = reporter.rates.find(name);
    return it == reporter.rates.end() ? 0.0 : it->second;
  };
  double ours = rate("BM_ParseJSONScanner") / 1e6;
  double theirs = rate("BM_ParseNlohmann") / 1e6;
  std::printf("\ndocument: %zu bytes\n", pollReply().size());
  if (ours > 0 && theirs > 0) {
    std::printf("parse JSONScanner:    %8.1f MB/s\n", ours);
    std::printf("parse nlohmann::json: %8.1f MB/s\n", theirs);
    std::printf("ratio scanner/nlohmann: %.2f\n", ours / theirs);
  }
  if (double encode = rate("BM_CanonicalEncode"); encode > 0) {
    std::printf("canonical encode:     %8.1f MB/s\n", encode / 1e6);
  }
  if (double verify = rate("BM_Ed25519Verify"); verify > 0) {
    std::printf("Ed25519 verify:       %8.0f /s\n", verify);
  }
  return 0;
}
