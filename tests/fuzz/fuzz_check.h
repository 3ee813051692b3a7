#pragma once

// What every fuzz target does when an invariant breaks: name it and abort, so that
// libFuzzer keeps the input as a crash. An exception escaping a decoder ends the same
// way (std::terminate), which is why no target catches any.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "util/agent_crypto.h"
#include "util/canonical_json.h"
#include "util/hex.h"
#include "util/json_scanner.h"

namespace vela::fuzz {

[[noreturn]] inline void violation(const char* what) {
  std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
  std::abort();
}

inline void check(bool holds, const char* what) {
  if (!holds) violation(what);
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A pinned signing key; no signature taken from an input may verify against it.
inline const AgentCrypto::Ed25519PublicKey& pinnedKey() {
  static const auto key = *AgentCrypto::Ed25519PublicKey::fromRaw(
      *Hex::decode("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"));
  return key;
}

// An answer the agent writes for a session: canonical JSON carrying that session's id.
inline JSONValue sessionFrame(const std::string& text, const std::string& sessionID) {
  auto document = JSONScanner::parse(text);
  check(document.has_value(), "an agent frame is not JSON");
  check(CanonicalJSON::encode(*document) == text, "an agent frame is not canonical");
  const JSONValue* session = (*document)["session_id"];
  check(session && session->stringRef() && *session->stringRef() == sessionID,
        "an agent frame carries another session id");
  return std::move(*document);
}

}  // namespace vela::fuzz
