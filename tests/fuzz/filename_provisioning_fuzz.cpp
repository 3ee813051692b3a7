// Feeds arbitrary text as an installer's path to the file-name decoder. Beyond not
// crashing: any server it yields has the https scheme and no trailing "/", the source
// names the convention exactly when something was found, and settings found in a blob
// survive being written into a new blob name (unless the new name contains "__", where
// the convention cuts blobs, or the server is one that normalising changes again,
// such as "https:// x").

#include <strings.h>

#include "config/filename_provisioning.h"
#include "fuzz_check.h"
#include "util/log.h"

using vela::ProvisioningInfo;
using vela::fuzz::check;
namespace FP = vela::FilenameProvisioning;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Refused servers are logged; the lines would swamp the fuzzer's output.
  vela::Log::forwardTo([](vela::Log::Level, std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ProvisioningInfo info = FP::parse(vela::fuzz::text(data, size));
  check(info.isEmpty() == info.source.empty(), "source and settings disagree");
  check(info.source.empty() || info.source == ProvisioningInfo::kFilename ||
            info.source == ProvisioningInfo::kFilenameBlob,
        "unknown source");
  if (info.serverBaseURL) {
    const std::string& server = *info.serverBaseURL;
    // "https:" alone is what normalising leaves of a bare "https://".
    check(strncasecmp(server.c_str(), "https:", 6) == 0, "a server that is not https");
    check(!server.ends_with('/'), "a server with a trailing slash");
  }
  bool stableServer = !info.serverBaseURL || FP::normalizeServer(info.serverBaseURL) == info.serverBaseURL;
  if (info.source == ProvisioningInfo::kFilenameBlob && stableServer) {
    std::string name = FP::encodeBlobFilename("VelaAgent", "pkg", info.tenantID, info.customerID,
                                              info.serverBaseURL, info.enrollmentToken, info.channel);
    // The parser passes over pieces shorter than the smallest useful blob; a blob of
    // nothing but empty values encodes that short.
    const std::size_t blobSize = name.size() - std::string_view("VelaAgent..pkg").size();
    if (name.find("__") == std::string::npos && blobSize >= 12) {
      check(FP::parse("/Volumes/Installer/" + name) == info, "a blob does not survive re-encoding");
    }
  }
  return 0;
}
