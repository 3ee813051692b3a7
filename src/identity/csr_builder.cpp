#include "identity/csr_builder.h"

#include "identity/der.h"
#include "identity/pem.h"

namespace vela::CSRBuilder {

Result<Bytes> makeCSRDER(std::string_view commonName, const DeviceKey& key) {
  Bytes subject = DER::sequence({DER::set({DER::sequence({
      DER::oid(DER::OID::commonName),
      DER::utf8String(commonName),
  })})});
  Bytes info = DER::sequence({
      DER::integer(0),
      subject,
      VELA_TRY(key.publicKeySPKI()),
      DER::contextConstructed(0, {}),
  });
  Bytes signature = VELA_TRY(key.sign(info));
  return DER::sequence({
      info,
      DER::sequence({DER::oid(DER::OID::ecdsaWithSHA256)}),
      DER::bitString(signature, 0),
  });
}

Result<std::string> makeCSRPEM(std::string_view commonName, const DeviceKey& key) {
  Bytes der = VELA_TRY(makeCSRDER(commonName, key));
  return PEM::encode(der, "CERTIFICATE REQUEST");
}

}  // namespace vela::CSRBuilder
