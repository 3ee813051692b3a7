#pragma once

// Trust material compiled into the program. A deployment build replaces the
// placeholders; any value containing "REPLACE_ME" counts as absent.

#include <string_view>

namespace vela::PinnedDefaults {

inline constexpr std::string_view caCertificatePEM =
    "-----BEGIN CERTIFICATE-----\nREPLACE_ME_WITH_INTERNAL_CA_CERTIFICATE\n"
    "-----END CERTIFICATE-----";
inline constexpr std::string_view spkiPinsBase64 = "";
inline constexpr std::string_view commandPublicKeyBase64 =
    "REPLACE_ME_COMMAND_ED25519_PUBLIC_KEY_BASE64";
inline constexpr std::string_view updatePublicKeyBase64 =
    "REPLACE_ME_UPDATE_ED25519_PUBLIC_KEY_BASE64";
// Judges downloaded updates before they replace the running build.
inline constexpr std::string_view codeSigningRequirement =
    "anchor apple generic and certificate leaf[subject.OU] = \"Z7QK4MW2XP\"";

inline constexpr std::string_view placeholderMarker = "REPLACE_ME";

inline bool isPlaceholder(std::string_view value) {
  return value.find(placeholderMarker) != std::string_view::npos;
}

}  // namespace vela::PinnedDefaults
