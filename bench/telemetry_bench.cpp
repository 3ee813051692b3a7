// Cost of one heartbeat's measurements and of encoding its body, in microseconds.

#include <benchmark/benchmark.h>

#include <chrono>

#include "telemetry/cpu_core_sampler.h"
#include "telemetry/hardware_snapshot.h"
#include "telemetry/metrics.h"
#include "telemetry/telemetry_reporter.h"

namespace {

using vela::CPUCoreSampler;
using vela::Metrics::sample;

void BM_SampleSet(benchmark::State& state) {
  CPUCoreSampler cores;
  for (auto _ : state) {
    auto now = std::chrono::system_clock::now();
    auto samples = sample(now);
    auto perCore = cores.sample(now);
    benchmark::DoNotOptimize(samples);
    benchmark::DoNotOptimize(perCore);
  }
}
BENCHMARK(BM_SampleSet)->Unit(benchmark::kMicrosecond);

std::vector<vela::MetricSample> oneSampleSet() {
  CPUCoreSampler cores;
  auto now = std::chrono::system_clock::now();
  cores.sample(now);
  auto samples = sample(now);
  auto perCore = cores.sample(now);
  samples.insert(samples.end(), perCore.begin(), perCore.end());
  return samples;
}

void BM_HeartbeatBodyEncode(benchmark::State& state) {
  auto samples = oneSampleSet();
  auto now = std::chrono::system_clock::now();
  for (auto _ : state) {
    auto body = vela::TelemetryReporter::makeBody(samples, now, std::nullopt);
    benchmark::DoNotOptimize(body.encode());
  }
}
BENCHMARK(BM_HeartbeatBodyEncode)->Unit(benchmark::kMicrosecond);

void BM_HeartbeatBodyEncodeWithHardware(benchmark::State& state) {
  auto samples = oneSampleSet();
  auto hardware = vela::HardwareSnapshot::collect();
  auto now = std::chrono::system_clock::now();
  for (auto _ : state) {
    auto body = vela::TelemetryReporter::makeBody(samples, now, hardware);
    benchmark::DoNotOptimize(body.encode());
  }
}
BENCHMARK(BM_HeartbeatBodyEncodeWithHardware)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
