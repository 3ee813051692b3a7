#include "identity/pem.h"

#include "util/base64.h"

namespace vela::PEM {
namespace {

// Length of the line break starting at `text[i]`, or 0. Besides CR, LF, VT and FF this
// accepts NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR in their UTF-8 forms, so that
// text passed through editors that use them still decodes.
std::size_t lineBreakAt(std::string_view text, std::size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  if (c >= 0x0A && c <= 0x0D) return 1;
  std::string_view rest = text.substr(i);
  if (rest.starts_with("\xC2\x85")) return 2;
  if (rest.starts_with("\xE2\x80\xA8") || rest.starts_with("\xE2\x80\xA9")) return 3;
  return 0;
}

}  // namespace

std::string encode(std::span<const std::uint8_t> der, std::string_view label) {
  std::string body = Base64::encode(der);
  std::string out = "-----BEGIN " + std::string(label) + "-----\n";
  for (std::size_t i = 0; i < body.size(); i += 64) {
    out.append(body, i, 64);
    out.push_back('\n');
  }
  out += "-----END " + std::string(label) + "-----\n";
  return out;
}

Result<Bytes> decode(std::string_view text) {
  std::string joined;
  std::size_t lineStart = 0;
  auto takeLine = [&](std::size_t end) {
    std::string_view line = text.substr(lineStart, end - lineStart);
    if (!line.empty() && !line.starts_with("-----")) joined.append(line);
  };
  for (std::size_t i = 0; i < text.size();) {
    std::size_t breakLength = lineBreakAt(text, i);
    if (breakLength == 0) {
      ++i;
      continue;
    }
    takeLine(i);
    i += breakLength;
    lineStart = i;
  }
  takeLine(text.size());
  std::optional<Bytes> der = Base64::decode(joined);
  if (!der) return fail("invalid PEM body");
  return std::move(*der);
}

}  // namespace vela::PEM
