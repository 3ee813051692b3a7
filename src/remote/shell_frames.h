#pragma once

// The remote-shell frames exchanged with the gateway: what the operator side sends
// (IncomingShellFrame) and what the agent answers (OutgoingShellFrame). Plain values.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "desktop/session_frame.h"
#include "util/bytes.h"

namespace vela {

struct IncomingShellFrame {
  struct Open {
    std::string sessionID;
    std::string shell = "auto";
    std::int64_t cols = 80;
    std::int64_t rows = 24;
    bool operator==(const Open&) const = default;
  };
  struct Stdin {
    std::string sessionID;
    Bytes data;
    bool operator==(const Stdin&) const = default;
  };
  struct Resize {
    std::string sessionID;
    std::int64_t cols = 80;
    std::int64_t rows = 24;
    bool operator==(const Resize&) const = default;
  };
  struct Close {
    std::string sessionID;
    std::string reason = "teardown";
    bool operator==(const Close&) const = default;
  };

  std::variant<Open, Stdin, Resize, Close> payload;

  // Nothing for malformed JSON, a non-object, a missing or non-string `type` or
  // `session_id`, or a type outside "shell.*". Bad optional members take defaults.
  static std::optional<IncomingShellFrame> parse(std::string_view text);
  // The same from a frame whose envelope is already read.
  static std::optional<IncomingShellFrame> from(const SessionFrame& frame);

  const std::string& sessionID() const;
  bool operator==(const IncomingShellFrame&) const = default;
};

struct OutgoingShellFrame {
  struct Opened {
    std::string sessionID;
    std::int32_t pid = 0;
    std::string shell;
    bool operator==(const Opened&) const = default;
  };
  struct Stdout {
    std::string sessionID;
    Bytes data;
    bool operator==(const Stdout&) const = default;
  };
  struct Exit {
    std::string sessionID;
    std::optional<std::int64_t> code;
    std::optional<std::int64_t> signal;
    bool operator==(const Exit&) const = default;
  };
  struct Error {
    std::string sessionID;
    std::string code;
    std::string message;
    bool operator==(const Error&) const = default;
  };

  std::variant<Opened, Stdout, Exit, Error> payload;

  // Canonical JSON with "v":1; an absent exit code or signal is written as null.
  std::string json() const;

  const std::string& sessionID() const;
  bool operator==(const OutgoingShellFrame&) const = default;
};

}  // namespace vela
