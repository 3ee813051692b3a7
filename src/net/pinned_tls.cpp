#include "net/pinned_tls.h"

#include <exception>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "net/pinned_anchors.h"
#include "net/spki_pin.h"
#include "util/log.h"

namespace vela {
namespace {

struct StoreFree {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct StoreCtxFree {
  void operator()(X509_STORE_CTX* ctx) const { X509_STORE_CTX_free(ctx); }
};
struct StackFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};

// Replaces OpenSSL's chain verification for the whole handshake; curl reads the
// outcome back through SSL_get_verify_result.
int verifyPeerChainChecked(X509_STORE_CTX* ctx, PinnedTLS* tls) {
  CertificateChain chain;
  if (X509* leaf = X509_STORE_CTX_get0_cert(ctx)) chain.push_back(shareCertificate(leaf));
  if (STACK_OF(X509)* presented = X509_STORE_CTX_get0_untrusted(ctx)) {
    for (int i = 0; i < sk_X509_num(presented); ++i) {
      X509* certificate = sk_X509_value(presented, i);
      if (!chain.empty() && X509_cmp(certificate, chain.front().get()) == 0) continue;
      chain.push_back(shareCertificate(certificate));
    }
  }
  const std::string host = tls->expectedHost();
  if (!tls->evaluatePinned(chain, host)) {
    Log::error("TLS pinning rejected server for host " + host);
    X509_STORE_CTX_set_error(ctx, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  X509_STORE_CTX_set_error(ctx, X509_V_OK);
  return 1;
}

// Called from C inside the handshake: nothing may be thrown through it.
int verifyPeerChain(X509_STORE_CTX* ctx, void* arg) noexcept {
  try {
    return verifyPeerChainChecked(ctx, static_cast<PinnedTLS*>(arg));
  } catch (const std::exception&) {
    // Only allocation throws in there; refuse rather than allocate again to say so.
    X509_STORE_CTX_set_error(ctx, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
}

}  // namespace

PinnedTLS::PinnedTLS(PinnedTrust trust, std::optional<ClientIdentity> identity)
    : trust_(std::move(trust)), identity_(std::move(identity)) {}

void PinnedTLS::setExpectedHost(std::string host) {
  MutexLock lock(mutex_);
  expectedHost_ = std::move(host);
}

std::string PinnedTLS::expectedHost() const {
  MutexLock lock(mutex_);
  return expectedHost_;
}

std::optional<std::string> PinnedTLS::takeRejection() {
  MutexLock lock(mutex_);
  return std::exchange(lastRejection_, std::nullopt);
}

bool PinnedTLS::reject(std::string message) {
  Log::error(message);
  MutexLock lock(mutex_);
  lastRejection_ = std::move(message);
  return false;
}

bool PinnedTLS::evaluatePinned(const CertificateChain& chain, std::string_view hostView) {
  const std::string host(hostView);
  if (trust_.caCertificates.empty() && trust_.spkiPins.empty()) {
    return reject("refusing TLS for " + host + ": no CA pin and no SPKI pin (fail closed).");
  }
  const std::string evaluationFailed = "server trust evaluation failed for " + host + ": ";
  if (chain.empty() || !chain.front()) return reject(evaluationFailed + "?");
  // Without a name to prove, OpenSSL would skip the host check altogether.
  if (host.empty()) return reject(evaluationFailed + "no host name to check");

  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  if (!store) return reject(evaluationFailed + "?");
  if (trust_.pinsInternalCA()) {
    auto [addStatus, restrictStatus] = PinnedAnchors::addTo(store.get(), trust_.caCertificates);
    if (addStatus != 0 || restrictStatus != 0) {
      return reject("could not restrict trust to the pinned anchors (" +
                    std::to_string(addStatus) + "/" + std::to_string(restrictStatus) + ")");
    }
  } else if (X509_STORE_set_default_paths(store.get()) != 1) {
    ERR_clear_error();  // an empty system store simply fails the evaluation below
  }

  std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
  for (std::size_t i = 1; i < chain.size(); ++i) sk_X509_push(untrusted.get(), chain[i].get());
  std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), chain.front().get(),
                                  untrusted.get()) != 1) {
    ERR_clear_error();
    return reject(evaluationFailed + "?");
  }
  X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
  if (!PinnedAnchors::expectHost(X509_STORE_CTX_get0_param(ctx.get()), host)) {
    return reject(evaluationFailed + "invalid host name");
  }
  if (X509_verify_cert(ctx.get()) != 1) {
    int error = X509_STORE_CTX_get_error(ctx.get());
    ERR_clear_error();
    const char* text = error != X509_V_OK ? X509_verify_cert_error_string(error) : nullptr;
    return reject(evaluationFailed + (text ? text : "?"));
  }

  if (!trust_.pinsInternalCA() && !trust_.spkiPins.empty() &&
      !SPKIPin::leafMatches(chain, trust_.spkiPins)) {
    return reject("SPKI pin mismatch for " + host + ": leaf key not in the pinned set.");
  }
  return true;
}

Result<void> PinnedTLS::configure(SSL_CTX* ctx) {
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
    return fail("TLS setup: " + tlsErrorReason());
  }
  SSL_CTX_set_cert_verify_callback(ctx, verifyPeerChain, this);
  // A refused chain ends the handshake before any request byte is written.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (identity_) {
    if (SSL_CTX_use_certificate(ctx, identity_->certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx, identity_->privateKey.get()) != 1) {
      return fail("TLS client identity: " + tlsErrorReason());
    }
  }
  return {};
}

}  // namespace vela
