// `vela-agent provision-name`: prints the recommended deploy file name, a blob by
// default or readable segments with --readable.

#include "config/filename_provisioning.h"
#include "platform/terminal.h"
#include "runtime/command_handlers.h"

namespace vela::CLI {

Result<int> provisionNameCommand(Args args) {
  const std::string prefix = removeOption(args, "--prefix").value_or("VelaAgent");
  const std::string ext = removeOption(args, "--ext").value_or("pkg");
  const auto tenant = removeOption(args, "--tenant");
  const auto customer = removeOption(args, "--customer");
  const auto server = FilenameProvisioning::normalizeServer(removeOption(args, "--server"));
  const auto token = removeOption(args, "--token");
  const auto channel = removeOption(args, "--channel");
  const bool readable = removeFlag(args, "--readable");

  std::string name =
      readable ? FilenameProvisioning::encodeReadableFilename(prefix, ext, tenant, customer, server, channel)
               : FilenameProvisioning::encodeBlobFilename(prefix, ext, tenant, customer, server, token, channel);
  platform::writeStandardOutput(name + "\n");
  return 0;
}

}  // namespace vela::CLI
