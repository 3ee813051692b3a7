#include "net/spki_pin.h"

#include <array>
#include <span>
#include <string_view>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "util/base64.h"

namespace vela::SPKIPin {
namespace {

// DER SubjectPublicKeyInfo prefixes; the key bytes that follow complete the structure.
constexpr std::array<std::uint8_t, 24> kRSA2048Header = {
    0x30, 0x82, 0x01, 0x22, 0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
    0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00, 0x03, 0x82, 0x01, 0x0F, 0x00};
constexpr std::array<std::uint8_t, 24> kRSA4096Header = {
    0x30, 0x82, 0x02, 0x22, 0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
    0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00, 0x03, 0x82, 0x02, 0x0F, 0x00};
constexpr std::array<std::uint8_t, 26> kP256Header = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
    0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
constexpr std::array<std::uint8_t, 23> kP384Header = {
    0x30, 0x76, 0x30, 0x10, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02,
    0x01, 0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22, 0x03, 0x62, 0x00};

// PKCS#1 RSAPublicKey DER.
std::optional<Bytes> rsaKeyBytes(EVP_PKEY* key) {
  unsigned char* out = nullptr;
  int length = i2d_PublicKey(key, &out);
  if (length <= 0) {
    ERR_clear_error();
    return std::nullopt;
  }
  Bytes bytes(out, out + length);
  OPENSSL_free(out);
  return bytes;
}

// 0x04 || X || Y with both coordinates padded to the field size, whatever point
// format the certificate used.
std::optional<Bytes> ecUncompressedPoint(EVP_PKEY* key, int fieldBytes) {
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  std::optional<Bytes> point;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
      EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1) {
    Bytes bytes(1 + 2 * static_cast<std::size_t>(fieldBytes));
    bytes[0] = 0x04;
    if (BN_bn2binpad(x, bytes.data() + 1, fieldBytes) == fieldBytes &&
        BN_bn2binpad(y, bytes.data() + 1 + fieldBytes, fieldBytes) == fieldBytes) {
      point = std::move(bytes);
    }
  }
  BN_free(x);
  BN_free(y);
  ERR_clear_error();
  return point;
}

std::string curveName(EVP_PKEY* key) {
  char name[64] = {};
  std::size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof(name),
                                     &length) != 1) {
    ERR_clear_error();
    return {};
  }
  return std::string(name, length);
}

std::string pinOf(std::span<const std::uint8_t> header, const Bytes& keyBytes) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  EVP_DigestUpdate(ctx, header.data(), header.size());
  EVP_DigestUpdate(ctx, keyBytes.data(), keyBytes.size());
  EVP_DigestFinal_ex(ctx, digest, &digestLength);
  EVP_MD_CTX_free(ctx);
  return Base64::encode(std::span<const std::uint8_t>(digest, digestLength));
}

}  // namespace

std::optional<std::string> sha256Base64(const Certificate& certificate) {
  if (!certificate) return std::nullopt;
  EVP_PKEY* key = X509_get0_pubkey(certificate.get());
  if (!key) {
    ERR_clear_error();
    return std::nullopt;
  }
  int bits = EVP_PKEY_get_bits(key);
  switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA: {
      if (bits != 2048 && bits != 4096) return std::nullopt;
      auto keyBytes = rsaKeyBytes(key);
      if (!keyBytes) return std::nullopt;
      return bits == 2048 ? pinOf(kRSA2048Header, *keyBytes) : pinOf(kRSA4096Header, *keyBytes);
    }
    case EVP_PKEY_EC: {
      // The headers name the NIST curves; another curve of the same size has no pin.
      std::string curve = curveName(key);
      if (bits == 256 && curve == "prime256v1") {
        auto point = ecUncompressedPoint(key, 32);
        if (point) return pinOf(kP256Header, *point);
      } else if (bits == 384 && curve == "secp384r1") {
        auto point = ecUncompressedPoint(key, 48);
        if (point) return pinOf(kP384Header, *point);
      }
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

bool leafMatches(const CertificateChain& chain, const std::set<std::string>& pins) {
  if (pins.empty() || chain.empty()) return false;
  auto pin = sha256Base64(chain.front());
  return pin && pins.contains(*pin);
}

}  // namespace vela::SPKIPin
