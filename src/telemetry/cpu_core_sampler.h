#pragma once

// Per-core processor use between consecutive calls. Each call reads the tick counters
// of every logical processor and reports, per core, the busy share of the ticks since
// the previous call; the first call (and the first after the processor count changes)
// only records. Not thread-safe: one owner calls it at a time.

#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/system_sources.h"
#include "telemetry/metrics.h"

namespace vela {

class CPUCoreSampler {
 public:
  CPUCoreSampler();
  // Sources must outlive the sampler.
  explicit CPUCoreSampler(const platform::SystemSources& sources);

  std::vector<MetricSample> sample(std::chrono::system_clock::time_point now);

 private:
  const platform::SystemSources& sources_;
  // (busy, total) ticks per logical processor from the previous call.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> previous;
};

}  // namespace vela
