// Feeds arbitrary text as a provisioning document. Beyond not crashing: a decoded
// payload encodes to a document that decodes to the same payload (a pin list left
// empty by dropping empty pins reads back as no list, which pins the same: nothing),
// no pin is empty, and the configuration it yields survives being stored as
// config.json and read back.

#include "config/agent_config.h"
#include "config/provisioning_payload.h"
#include "fuzz_check.h"

using vela::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto payload = vela::ProvisioningPayload::decode(vela::fuzz::text(data, size));
  if (!payload) return 0;
  auto again = vela::ProvisioningPayload::decode(payload->encode());
  check(again.has_value(), "an encoded payload does not decode");
  vela::ProvisioningPayload expected = *payload;
  if (expected.spkiPins) {
    for (const auto& pin : *expected.spkiPins) check(!pin.empty(), "an empty pin");
    if (expected.spkiPins->empty()) expected.spkiPins.reset();
  }
  check(*again == expected, "an encoded payload decodes differently");

  vela::AgentConfig config = payload->toConfig();
  auto stored = vela::AgentConfig::decode(config.jsonData());
  check(stored.has_value(), "the provisioned configuration does not load");
  check(*stored == config, "the provisioned configuration loads differently");
  return 0;
}
