#include "support/test_pki.h"

#include <map>
#include <mutex>
#include <stdexcept>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace vela::testing {
namespace {

std::shared_ptr<EVP_PKEY> adoptKey(EVP_PKEY* key) {
  if (!key) throw std::runtime_error("key generation failed");
  return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

std::shared_ptr<EVP_PKEY> generateKey(KeyKind kind) {
  switch (kind) {
    case KeyKind::rsa2048:
      return adoptKey(EVP_RSA_gen(2048));
    case KeyKind::rsa3072:
      return adoptKey(EVP_RSA_gen(3072));
    case KeyKind::rsa4096:
      return adoptKey(EVP_RSA_gen(4096));
    case KeyKind::p256:
      return adoptKey(EVP_EC_gen("P-256"));
    case KeyKind::p384:
      return adoptKey(EVP_EC_gen("P-384"));
    case KeyKind::p521:
      return adoptKey(EVP_EC_gen("P-521"));
    case KeyKind::ed25519:
      return adoptKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  }
  throw std::runtime_error("unknown key kind");
}

std::shared_ptr<X509> adoptX509(X509* certificate) {
  return std::shared_ptr<X509>(certificate, X509_free);
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!extension) throw std::runtime_error("bad certificate extension " + value);
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// Builds and signs a certificate; `issuer` null means self-signed.
std::shared_ptr<X509> makeCertificate(const std::string& commonName, EVP_PKEY* subjectKey,
                                      X509* issuer, EVP_PKEY* issuerKey, bool isCA,
                                      const std::string& subjectAltName, Usage usage) {
  auto certificate = adoptX509(X509_new());
  X509* x = certificate.get();
  X509_set_version(x, 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof(serial));
  serial[0] &= 0x7F;
  BIGNUM* serialNumber = BN_bin2bn(serial, sizeof(serial), nullptr);
  BN_to_ASN1_INTEGER(serialNumber, X509_get_serialNumber(x));
  BN_free(serialNumber);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 30L * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(x, subjectKey);
  X509* signer = issuer ? issuer : x;
  addExtension(x, signer, NID_subject_key_identifier, "hash");
  if (isCA) {
    addExtension(x, signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(x, signer, NID_authority_key_identifier, "keyid:always");
    addExtension(x, signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(x, signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(x, signer, NID_ext_key_usage, usage == Usage::server ? "serverAuth" : "clientAuth");
    if (!subjectAltName.empty()) addExtension(x, signer, NID_subject_alt_name, subjectAltName);
  }
  bool edwards = EVP_PKEY_get_base_id(issuerKey) == EVP_PKEY_ED25519;
  if (X509_sign(x, issuerKey, edwards ? nullptr : EVP_sha256()) <= 0) {
    throw std::runtime_error("certificate signing failed");
  }
  return certificate;
}

template <typename Write>
std::string pemText(Write write) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return pem;
}

std::string certificatePEM(X509* certificate) {
  return pemText([certificate](BIO* bio) { PEM_write_bio_X509(bio, certificate); });
}

std::string privateKeyPEM(EVP_PKEY* key) {
  return pemText([key](BIO* bio) { PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr); });
}

}  // namespace

std::shared_ptr<EVP_PKEY> sharedKey(KeyKind kind) {
  static std::mutex mutex;
  static std::map<KeyKind, std::shared_ptr<EVP_PKEY>> keys;
  std::lock_guard lock(mutex);
  auto& key = keys[kind];
  if (!key) key = generateKey(kind);
  return key;
}

TestCA::TestCA(const std::string& commonName) {
  identity_.key = generateKey(KeyKind::p256);
  identity_.certificate = makeCertificate(commonName, identity_.key.get(), nullptr,
                                          identity_.key.get(), true, "", Usage::server);
  identity_.certificatePEM = vela::testing::certificatePEM(identity_.certificate.get());
  identity_.privateKeyPEM = privateKeyPEM(identity_.key.get());
}

TestCertificate TestCA::issue(const std::string& commonName, const std::string& subjectAltName,
                              KeyKind kind, Usage usage, std::shared_ptr<EVP_PKEY> key) const {
  TestCertificate leaf;
  leaf.key = key ? std::move(key) : generateKey(kind);
  leaf.certificate = makeCertificate(commonName, leaf.key.get(), identity_.certificate.get(),
                                     identity_.key.get(), false, subjectAltName, usage);
  leaf.certificatePEM = vela::testing::certificatePEM(leaf.certificate.get());
  leaf.privateKeyPEM = privateKeyPEM(leaf.key.get());
  return leaf;
}

}  // namespace vela::testing
