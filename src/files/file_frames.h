#pragma once

// The file-transfer frames exchanged with the gateway beside the shell frames: what the
// operator side sends (IncomingFileFrame) and what the agent answers
// (OutgoingFileFrame). One transfer or listing per session id; bytes travel as
// standard Base64. docs/file-transfer.md is the protocol reference. Plain values.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "desktop/session_frame.h"
#include "platform/file_tree.h"
#include "util/bytes.h"

namespace vela {

struct IncomingFileFrame {
  struct List {
    std::string path;
  };
  struct Download {
    std::string path;
  };
  struct Upload {
    std::string path;
    std::optional<std::uint64_t> size;  // required; absent when missing or not a count
    std::string sha256;                 // lower-case hex as sent
    std::optional<mode_t> mode;         // octal text such as "0640"
    bool modeInvalid = false;
    std::optional<std::string> owner;   // "user" or "user:group", names or ids
    bool overwrite = false;
  };
  struct Chunk {
    std::optional<std::uint64_t> offset;
    std::optional<Bytes> data;  // absent when not Base64
  };
  struct Ack {
    std::uint64_t offset = 0;
  };
  struct Cancel {
    std::string reason = "cancelled";
  };

  std::string sessionID;
  std::variant<List, Download, Upload, Chunk, Ack, Cancel> payload;

  // Nothing for a type outside "file.*" (or an unknown "file." type).
  static std::optional<IncomingFileFrame> from(const SessionFrame& frame);
  static std::optional<IncomingFileFrame> parse(std::string_view text);
};

struct OutgoingFileFrame {
  struct Listing {
    std::string path;
    std::vector<platform::TreeEntry> entries;
    bool truncated = false;
  };
  struct Meta {  // a download starts
    std::string path;
    std::uint64_t size = 0;
    mode_t mode = 0;
    std::int64_t mtime = 0;
    std::uint64_t window = 0;
  };
  struct Data {
    std::uint64_t offset = 0;
    Bytes data;
  };
  struct Ready {  // an upload may send chunks
    std::uint64_t window = 0;
    std::uint64_t chunk = 0;
  };
  struct Ack {
    std::uint64_t offset = 0;
  };
  struct Done {
    std::string direction;  // "upload" or "download"
    std::string path;
    std::uint64_t size = 0;
    std::string sha256;
  };
  struct Error {
    std::string code;
    std::string message;
  };

  std::string sessionID;
  std::variant<Listing, Meta, Data, Ready, Ack, Done, Error> payload;

  // Canonical JSON with "v":1.
  std::string json() const;
};

// "0644" style text of permission bits, and back (nothing for anything but 1-4 octal digits).
std::string octalMode(mode_t mode);
std::optional<mode_t> parseOctalMode(std::string_view text);

}  // namespace vela
