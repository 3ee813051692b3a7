#include <chrono>
#include <iostream>

#include "runtime/command_handlers.h"
#include "telemetry/metrics.h"

namespace vela::CLI {

Result<int> metricsCommand() {
  std::string text;
  for (const auto& s : Metrics::sample(std::chrono::system_clock::now())) {
    text += s.metric + "=" + Metrics::valueText(s.value) + " @ " + s.recorded_at + "\n";
  }
  std::cout << text << std::flush;
  return 0;
}

}  // namespace vela::CLI
