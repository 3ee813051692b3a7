#include "net/pinned_anchors.h"

#include <arpa/inet.h>

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace vela::PinnedAnchors {
namespace {

// A failed OpenSSL call as a non-zero status for the message.
long failureStatus() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  return code != 0 ? static_cast<long>(code) : -1;
}

}  // namespace

StoreStatus addTo(X509_STORE* store, const std::vector<Certificate>& anchors) {
  StoreStatus status;
  for (const Certificate& anchor : anchors) {
    if (X509_STORE_add_cert(store, anchor.get()) != 1 && status.add == 0) status.add = failureStatus();
  }
  if (X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN) != 1) status.restrict = failureStatus();
  return status;
}

bool isIPLiteral(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

bool expectHost(X509_VERIFY_PARAM* param, const std::string& host) {
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  bool set = isIPLiteral(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                               : X509_VERIFY_PARAM_set1_host(param, host.data(), host.size()) == 1;
  if (!set) ERR_clear_error();
  return set;
}

}  // namespace vela::PinnedAnchors
