#include "telemetry/cpu_core_sampler.h"

#include <string_view>

#include "util/text_fields.h"
#include "util/iso_time.h"

namespace vela {
namespace {

using Ticks = std::pair<std::uint64_t, std::uint64_t>;

// Per-processor "cpuN user nice system idle iowait irq softirq steal ..." lines of
// /proc/stat. Interrupt and steal time count as busy; waiting for I/O counts as idle,
// as the processor could have run something else.
std::optional<std::vector<Ticks>> readTicks(const platform::SystemSources& src) {
  auto text = src.readText("/proc/stat");
  if (!text) return std::nullopt;
  std::vector<Ticks> out;
  std::string_view rest = *text;
  while (!rest.empty()) {
    auto eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    if (line.size() < 4 || !line.starts_with("cpu") || line[3] < '0' || line[3] > '9') continue;
    auto parts = TextFields::splitBlanks(line);
    if (parts.size() < 5) return std::nullopt;
    std::uint64_t v[8] = {};
    for (std::size_t i = 1; i < parts.size() && i <= 8; ++i) {
      auto n = TextFields::parseUnsigned(parts[i]);
      if (!n) return std::nullopt;
      v[i - 1] = *n;
    }
    const std::uint64_t user = v[0], nice = v[1], system = v[2] + v[5] + v[6] + v[7];
    const std::uint64_t idle = v[3] + v[4];
    const std::uint64_t busy = user + system + nice;
    out.emplace_back(busy, busy + idle);
  }
  return out;
}

}  // namespace

CPUCoreSampler::CPUCoreSampler() : CPUCoreSampler(platform::systemSources()) {}
CPUCoreSampler::CPUCoreSampler(const platform::SystemSources& sources) : sources_(sources) {}

std::vector<MetricSample> CPUCoreSampler::sample(std::chrono::system_clock::time_point now) {
  auto current = readTicks(sources_);
  if (!current || current->empty()) return {};
  std::vector<MetricSample> out;
  if (previous.size() == current->size()) {
    const std::string at = ISOTime::format(now);
    out.reserve(current->size());
    for (std::size_t i = 0; i < current->size(); ++i) {
      // Signed deltas: counters that moved backwards (a processor brought back online)
      // must not show as enormous usage.
      double dTotal = static_cast<double>(static_cast<std::int64_t>((*current)[i].second - previous[i].second));
      double dBusy = static_cast<double>(static_cast<std::int64_t>((*current)[i].first - previous[i].first));
      double pct = dTotal > 0 ? dBusy / dTotal * 100.0 : 0.0;
      out.push_back({"cpu_core:" + std::to_string(i), Metrics::roundTwo(pct), at});
    }
  }
  previous = std::move(*current);
  return out;
}

}  // namespace vela
