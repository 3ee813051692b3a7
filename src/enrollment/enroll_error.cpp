#include "enrollment/enroll_error.h"

namespace vela {

std::string EnrollError::description() const {
  switch (kind_) {
    case Kind::server:
      return "enroll failed (HTTP " + std::to_string(status_) + "): " + message_;
    case Kind::decode:
      return "could not decode enroll response: " + message_;
    case Kind::invalidToken:
      return "Invalid or expired enrollment token (do not retry).";
  }
  return {};
}

}  // namespace vela
