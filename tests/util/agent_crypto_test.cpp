#include "util/agent_crypto.h"

#include <gtest/gtest.h>

#include "util/base64.h"
#include "util/hex.h"

namespace vela::AgentCrypto {
namespace {

Bytes hex(std::string_view text) { return *Hex::decode(text); }
std::string b64(std::span<const std::uint8_t> bytes) { return Base64::encode(bytes); }

// RFC 8032 section 7.1: TEST 1, TEST 2, TEST 3 and TEST SHA(abc).
struct Vector {
  const char* publicKey;
  const char* message;
  const char* signature;
};
const Vector kRFC8032[] = {
    {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
    {"ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704"},
};

Ed25519PublicKey loadRaw(const char* publicKeyHex) {
  return ed25519PublicKey(b64(hex(publicKeyHex))).value();
}

// A changed message failing is the command verifier's test (a tampered payload).
TEST(AgentCryptoTest, RFC8032VectorsVerifyAndAnyFlippedBitFails) {
  for (const Vector& v : kRFC8032) {
    Ed25519PublicKey key = loadRaw(v.publicKey);
    Bytes message = hex(v.message);
    Bytes signature = hex(v.signature);
    EXPECT_TRUE(verifyEd25519(b64(signature), message, key).has_value()) << v.publicKey;

    for (std::size_t bit : {0u, 255u, 300u, 511u}) {
      Bytes flipped = signature;
      flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      EXPECT_EQ(verifyEd25519(b64(flipped), message, key).error(), CryptoError::verificationFailed());
    }
  }
}

TEST(AgentCryptoTest, SignatureTextRules) {
  const Vector& v = kRFC8032[1];
  Ed25519PublicKey key = loadRaw(v.publicKey);
  Bytes message = hex(v.message);
  std::string signature = b64(hex(v.signature));
  EXPECT_TRUE(verifyEd25519("  " + signature + " \n", message, key).has_value());
  EXPECT_EQ(verifyEd25519("not base64!", message, key).error(), CryptoError::badSignature());
  EXPECT_EQ(verifyEd25519(signature.substr(0, 40) + "\n" + signature.substr(40), message, key).error(),
            CryptoError::badSignature());
  // Length is not judged as malformed: a short signature just fails.
  EXPECT_EQ(verifyEd25519(b64(hex("0102")), message, key).error(), CryptoError::verificationFailed());
}

TEST(AgentCryptoTest, PublicKeyLoadsFromRawSPKIAndPEMAlike) {
  const Bytes raw = hex(kRFC8032[0].publicKey);
  Bytes spki = hex("302a300506032b6570032100");
  spki.insert(spki.end(), raw.begin(), raw.end());
  std::string spkiText = b64(spki);
  std::string pem = "-----BEGIN PUBLIC KEY-----\r\n" + spkiText.substr(0, 20) + "\r\n" +
                    spkiText.substr(20) + "\n-----END PUBLIC KEY-----\n";

  for (const std::string& text : {b64(raw), " \t" + spkiText + "\n", pem, "\n\n" + pem + "\n"}) {
    auto key = ed25519PublicKey(text);
    ASSERT_TRUE(key.has_value()) << text;
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), key->rawRepresentation().begin()));
  }

  Bytes otherHeader = spki;
  otherHeader[5] = 0x04;
  const Bytes tooShort(raw.begin(), raw.end() - 1);
  for (const std::string& bad : {b64(tooShort), b64(otherHeader), std::string("@@@@"), std::string(""),
                                 spkiText.substr(0, 20) + "\n" + spkiText.substr(20),
                                 std::string("-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----")}) {
    auto key = ed25519PublicKey(bad);
    ASSERT_FALSE(key.has_value()) << bad;
    EXPECT_EQ(key.error(), CryptoError::badPublicKey());
  }
}

}  // namespace
}  // namespace vela::AgentCrypto
