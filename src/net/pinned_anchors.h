#pragma once

// The pieces of a pinned server check that the HTTPS client and the gateway share: a
// certificate store whose only anchors are the pinned CA certificates, and the name
// (host or IP literal) the server's certificate has to carry.

#include <string>
#include <vector>

#include "net/tls_objects.h"

typedef struct x509_store_st X509_STORE;
typedef struct X509_VERIFY_PARAM_st X509_VERIFY_PARAM;

namespace vela::PinnedAnchors {

// OpenSSL's error codes of the two steps (0 for success): adding the certificates (the
// first failure) and making the store trust them as given, so that a pinned
// intermediate anchors a chain as well as a root.
struct StoreStatus {
  long add = 0;
  long restrict = 0;
  bool ok() const { return add == 0 && restrict == 0; }
};
StoreStatus addTo(X509_STORE* store, const std::vector<Certificate>& anchors);

bool isIPLiteral(const std::string& host);

// The peer must prove `host`: an IP literal as an address, anything else as a DNS name
// (wildcards only as a whole label). False when OpenSSL refuses the name.
bool expectHost(X509_VERIFY_PARAM* param, const std::string& host);

}  // namespace vela::PinnedAnchors
