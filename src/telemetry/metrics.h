#pragma once

// One snapshot of the machine-wide measurements (load, memory, disks, network,
// uptime) as named numbers. Stateless; safe from any thread. A value that cannot be
// measured is left out, never estimated.

#include <chrono>
#include <string>
#include <vector>

#include "platform/system_sources.h"

namespace vela {

struct MetricSample {
  std::string metric;
  double value = 0;
  std::string recorded_at;

  bool operator==(const MetricSample&) const = default;
};

namespace Metrics {

using Clock = std::chrono::system_clock;

// At most this many volumes are reported per sample.
inline constexpr std::size_t kMaxVolumes = 12;

std::vector<MetricSample> sample(Clock::time_point now);
std::vector<MetricSample> sample(Clock::time_point now, const platform::SystemSources& sources);

// round(x * 100) / 100 with halves away from zero.
double roundTwo(double x);

// The shortest decimal text that reads back as the same number; integral values end
// in ".0" (60.0, 0.25, 17179869184.0).
std::string valueText(double value);

}  // namespace Metrics
}  // namespace vela
