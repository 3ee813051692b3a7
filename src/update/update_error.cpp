#include "update/update_error.h"

namespace vela {

std::string UpdateError::description() const {
  switch (kind) {
    case Kind::sha256Mismatch: return "binary sha256 mismatch: expected " + expected + ", got " + got;
    case Kind::sizeMismatch:
      return "binary size mismatch: expected " + std::to_string(expectedSize) + ", got " +
             std::to_string(gotSize);
    case Kind::codeSignatureInvalid: return "Gatekeeper/code-signature check failed: " + text;
    case Kind::download: return "download failed: " + text;
    case Kind::server: return "update check failed (HTTP " + std::to_string(status) + ")";
    case Kind::signatureInvalid: return "update manifest signature failed pinned-key verification";
  }
  return text;
}

}  // namespace vela
