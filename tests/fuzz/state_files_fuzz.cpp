// Feeds arbitrary text as the agent's own state files, config.json and replay.json,
// which a crash, a full disk or a hand edit can leave in any shape. Beyond not
// crashing: whatever loads saves to a text that loads the same, and every member the
// configuration decoder read keeps its value (no integer wraps into another).

#include <nlohmann/json.hpp>

#include "commands/replay_store.h"
#include "config/agent_config.h"
#include "fuzz_check.h"

using vela::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = vela::fuzz::text(data, size);

  if (auto config = vela::AgentConfig::decode(text)) {
    std::string saved = config->jsonData();
    auto again = vela::AgentConfig::decode(saved);
    check(again.has_value(), "a saved configuration does not load");
    check(*again == *config, "a saved configuration loads differently");
    // The decoder accepted the text, so it is a JSON object; compare the values member
    // by member in their written form.
    auto original = nlohmann::json::parse(text);
    auto written = nlohmann::json::parse(saved);
    for (const auto& [key, value] : written.items()) {
      auto it = original.find(key);
      check(it != original.end(), "a saved member that was not in the file");
      check(it->dump() == value.dump(), "a member read as another value");
    }
  }

  if (auto state = vela::ReplayStore::decode(text)) {
    auto again = vela::ReplayStore::decode(vela::ReplayStore::encode(*state));
    check(again.has_value(), "a saved replay state does not load");
    check(*again == *state, "a saved replay state loads differently");
  }
  return 0;
}
