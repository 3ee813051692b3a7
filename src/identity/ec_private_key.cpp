#include "identity/ec_private_key.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

namespace vela {
namespace {

constexpr std::size_t kPointSize = 65;
constexpr std::size_t kScalarSize = 32;

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;
using SecretBN = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free>>;

tl::unexpected<AgentError> sslFailure() { return fail(openSSLReason()); }

}  // namespace

std::string openSSLReason() {
  unsigned long code = ERR_get_error();
  const char* reason = code ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return reason ? reason : "unknown";
}

Result<std::unique_ptr<ECPrivateKey>> ECPrivateKey::generate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) return sslFailure();
  return std::unique_ptr<ECPrivateKey>(new ECPrivateKey(key));
}

Result<std::unique_ptr<ECPrivateKey>> ECPrivateKey::fromX963(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kX963PrivateSize || bytes[0] != 0x04) {
    return fail("expected 97 bytes of uncompressed P-256 point and private scalar");
  }
  SecretBN scalar(BN_bin2bn(bytes.data() + kPointSize, kScalarSize, nullptr));
  ParamBld builder(OSSL_PARAM_BLD_new());
  if (!scalar || !builder ||
      !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1",
                                       0) ||
      !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, bytes.data(),
                                        kPointSize) ||
      !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get())) {
    return sslFailure();
  }
  Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) <= 0) {
    return sslFailure();
  }
  std::unique_ptr<ECPrivateKey> key(new ECPrivateKey(raw));
  // fromdata accepts any point and scalar; a file with a torn or edited key must not
  // produce signatures that no one can verify.
  PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, raw, nullptr));
  if (!check || EVP_PKEY_check(check.get()) <= 0) return sslFailure();
  return key;
}

ECPrivateKey::~ECPrivateKey() { EVP_PKEY_free(key_); }

Result<Bytes> ECPrivateKey::publicKeyX963() const {
  Bytes point(kPointSize);
  std::size_t written = 0;
  if (EVP_PKEY_get_octet_string_param(key_, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                      &written) <= 0) {
    return sslFailure();
  }
  if (written != kPointSize || point[0] != 0x04)
    return fail("public key is not an uncompressed point");
  return point;
}

Result<Bytes> ECPrivateKey::exportX963() const {
  Bytes out = VELA_TRY(publicKeyX963());
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key_, OSSL_PKEY_PARAM_PRIV_KEY, &raw) <= 0) return sslFailure();
  SecretBN scalar(raw);
  out.resize(kX963PrivateSize);
  if (BN_bn2binpad(scalar.get(), out.data() + kPointSize, kScalarSize) != kScalarSize) {
    return sslFailure();
  }
  return out;
}

Result<std::string> ECPrivateKey::privateKeyPEM() const {
  Bio bio(BIO_new(BIO_s_secmem()));
  if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key_, nullptr, nullptr, 0, nullptr, nullptr)) {
    return sslFailure();
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

Result<Bytes> ECPrivateKey::sign(std::span<const std::uint8_t> data) const {
  MdCtx ctx(EVP_MD_CTX_new());
  std::size_t size = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_) <= 0 ||
      EVP_DigestSign(ctx.get(), nullptr, &size, data.data(), data.size()) <= 0) {
    return sslFailure();
  }
  Bytes signature(size);
  if (EVP_DigestSign(ctx.get(), signature.data(), &size, data.data(), data.size()) <= 0) {
    return sslFailure();
  }
  signature.resize(size);
  return signature;
}

}  // namespace vela
