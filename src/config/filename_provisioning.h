#pragma once

// Provisioning settings carried by a file name or the environment. Two naming
// conventions exist: a blob (a base64url-encoded JSON object as one dot- or
// "__"-separated piece) and readable key-value segments ("VelaAgent__tenant-ACME").
// Nothing here fails: unusable pieces are skipped, and a non-https server is refused
// with a warning. Stateless and thread-safe.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "config/provisioning_info.h"
#include "util/bytes.h"

namespace vela::FilenameProvisioning {

using Environment = std::map<std::string, std::string>;

// Parses one file name or path: the blob convention first, else the readable one.
ProvisioningInfo parse(std::string_view path);

// Parses the running program's name (the executable, then argv0 or argv[0]); a hit
// carries the source "filename(<name>)".
ProvisioningInfo parseSelf(const std::optional<std::string>& argv0 = std::nullopt);

// Reads the VELA_* provisioning variables; an empty value counts as set.
ProvisioningInfo fromEnvironment(const Environment& environment);
// The process environment as a map.
Environment processEnvironment();

// Trimmed, "https://" added when there is no scheme, trailing "/" removed; any other
// scheme is refused (warning, absent).
std::optional<std::string> normalizeServer(const std::optional<std::string>& text);

// prefix + "." + base64url(canonical JSON of the short keys) [+ "." + ext].
std::string encodeBlobFilename(std::string_view prefix, std::string_view ext,
                               const std::optional<std::string>& tenantID,
                               const std::optional<std::string>& customerID,
                               const std::optional<std::string>& serverBaseURL,
                               const std::optional<std::string>& enrollmentToken,
                               const std::optional<std::string>& channel);

// prefix, then tenant-, customer-, server-<host>, channel- segments joined by "__"
// [+ "." + ext]; the token is never put into a readable name. The server comes already
// normalized; one without a host is left out.
std::string encodeReadableFilename(std::string_view prefix, std::string_view ext,
                                   const std::optional<std::string>& tenantID,
                                   const std::optional<std::string>& customerID,
                                   const std::optional<std::string>& serverBaseURL,
                                   const std::optional<std::string>& channel);

// The steps of parse(), exposed for the provision command and for tests.
std::string lastPathComponent(std::string_view path);
std::string stripExtensions(std::string_view name);
std::optional<ProvisioningInfo> parseBlob(std::string_view name);
ProvisioningInfo parseReadable(std::string_view name);
std::optional<std::pair<std::string, std::string>> splitKeyValue(std::string_view segment);

}  // namespace vela::FilenameProvisioning
