#pragma once

// Small parsers for the key/value texts that kernel and system files use.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vela::TextFields {

std::string_view trim(std::string_view s);
std::vector<std::string_view> splitBlanks(std::string_view s);
std::optional<double> parseDouble(std::string_view s);
std::optional<std::uint64_t> parseUnsigned(std::string_view s);

// "Key: value" lines (meminfo, cpuinfo blocks); the first occurrence of a key wins.
std::map<std::string, std::string, std::less<>> colonFields(std::string_view text);

// KEY=value lines with optional shell quoting (os-release, machine-info).
std::optional<std::string> shellVariable(std::string_view text, std::string_view key);

}  // namespace vela::TextFields
