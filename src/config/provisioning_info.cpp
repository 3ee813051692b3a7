#include "config/provisioning_info.h"

namespace vela {

std::string ProvisioningInfo::selfSource(const std::string& lastPathComponent) {
  return "filename(" + lastPathComponent + ")";
}

bool ProvisioningInfo::isEmpty() const {
  return !tenantID && !customerID && !serverBaseURL && !enrollmentToken && !channel;
}

ProvisioningInfo ProvisioningInfo::overlaid(const ProvisioningInfo& other) const {
  auto pick = [](const std::optional<std::string>& mine, const std::optional<std::string>& theirs) {
    return theirs ? theirs : mine;
  };
  ProvisioningInfo result;
  result.tenantID = pick(tenantID, other.tenantID);
  result.customerID = pick(customerID, other.customerID);
  result.serverBaseURL = pick(serverBaseURL, other.serverBaseURL);
  result.enrollmentToken = pick(enrollmentToken, other.enrollmentToken);
  result.channel = pick(channel, other.channel);
  result.source = source;
  if (!other.source.empty()) {
    if (!result.source.empty()) result.source += "+";
    result.source += other.source;
  }
  return result;
}

}  // namespace vela
