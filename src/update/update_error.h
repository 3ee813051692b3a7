#pragma once

// The error vocabulary of the self-update subsystem.

#include <cstdint>
#include <string>

#include "util/agent_error.h"

namespace vela {

struct UpdateError {
  enum class Kind { sha256Mismatch, sizeMismatch, codeSignatureInvalid, download, server, signatureInvalid };

  Kind kind = Kind::download;
  std::string text;          // codeSignatureInvalid, download
  std::string expected, got;  // sha256Mismatch
  std::int64_t expectedSize = 0, gotSize = 0;  // sizeMismatch
  int status = 0;            // server

  static UpdateError sha256Mismatch(std::string expected, std::string got) {
    UpdateError e = of(Kind::sha256Mismatch);
    e.expected = std::move(expected);
    e.got = std::move(got);
    return e;
  }
  static UpdateError sizeMismatch(std::int64_t expected, std::int64_t got) {
    UpdateError e = of(Kind::sizeMismatch);
    e.expectedSize = expected;
    e.gotSize = got;
    return e;
  }
  static UpdateError codeSignatureInvalid(std::string text) {
    UpdateError e = of(Kind::codeSignatureInvalid);
    e.text = std::move(text);
    return e;
  }
  static UpdateError download(std::string text) {
    UpdateError e = of(Kind::download);
    e.text = std::move(text);
    return e;
  }
  static UpdateError server(int status) {
    UpdateError e = of(Kind::server);
    e.status = status;
    return e;
  }
  static UpdateError signatureInvalid() { return of(Kind::signatureInvalid); }

  std::string description() const;
  AgentError toAgentError() const { return AgentError(description()); }

 private:
  static UpdateError of(Kind kind) {
    UpdateError e;
    e.kind = kind;
    return e;
  }
};

}  // namespace vela
