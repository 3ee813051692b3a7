// Installs the agent inside the test container the way the onboarding window does, with
// the container's root rights standing in for the authorization dialog.
//   install_driver <provisioning.json> <agent executable>

#include <iostream>

#include "config/system_install.h"
#include "platform/file_io.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: install_driver <provisioning.json> <agent executable>\n";
    return 2;
  }
  auto json = vela::platform::readFile(argv[1]);
  if (!json) {
    std::cerr << json.error().message << "\n";
    return 1;
  }
  auto payload = vela::ProvisioningPayload::decode(*json);
  if (!payload) {
    std::cerr << payload.error().message << "\n";
    return 1;
  }
  auto asRoot = [](const std::string& script) { return vela::Shell::run("/bin/bash", {"-s"}, script, 300); };
  auto error = vela::SystemInstall::install(*payload, vela::SystemInstall::resolvePlan(argv[2]), asRoot);
  if (error) {
    std::cerr << error->description() << "\n";
    return 1;
  }
  return 0;
}
