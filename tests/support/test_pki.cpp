#include "support/test_pki.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>

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
  static const std::map<KeyKind, unsigned> rsaBits = {
      {KeyKind::rsa2048, 2048}, {KeyKind::rsa3072, 3072}, {KeyKind::rsa4096, 4096}};
  static const std::map<KeyKind, const char*> curves = {
      {KeyKind::p256, "P-256"}, {KeyKind::p384, "P-384"}, {KeyKind::p521, "P-521"}};
  if (rsaBits.contains(kind)) return adoptKey(EVP_RSA_gen(rsaBits.at(kind)));
  if (curves.contains(kind)) return adoptKey(EVP_EC_gen(curves.at(kind)));
  return adoptKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
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
  std::shared_ptr<X509> certificate(X509_new(), X509_free);
  X509* x = certificate.get();
  X509_set_version(x, 2);
  std::uint64_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof(serial));
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), serial >> 1);
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
  if (X509_sign(x, issuerKey, EVP_sha256()) <= 0) throw std::runtime_error("signing failed");
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

TestCertificate withPEM(std::shared_ptr<X509> certificate, std::shared_ptr<EVP_PKEY> key) {
  std::string pem = pemText([&](BIO* bio) { PEM_write_bio_X509(bio, certificate.get()); });
  std::string keyPEM = pemText([&](BIO* bio) {
    PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  return {std::move(certificate), std::move(key), std::move(pem), std::move(keyPEM)};
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
  auto key = generateKey(KeyKind::p256);
  identity_ = withPEM(
      makeCertificate(commonName, key.get(), nullptr, key.get(), true, "", Usage::server), key);
}

TestCertificate TestCA::issue(const std::string& commonName, const std::string& subjectAltName,
                              KeyKind kind, Usage usage, std::shared_ptr<EVP_PKEY> key) const {
  if (!key) key = generateKey(kind);
  return withPEM(makeCertificate(commonName, key.get(), identity_.certificate.get(),
                                 identity_.key.get(), false, subjectAltName, usage),
                 key);
}

}  // namespace vela::testing
