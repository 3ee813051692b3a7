#include "files/file_frames.h"

#include "util/base64.h"
#include "util/canonical_json.h"
#include "util/iso_time.h"

namespace vela {

namespace {

std::optional<std::uint64_t> countAt(const JSONValue& root, std::string_view key) {
  const JSONValue* v = root[key];
  return v ? v->uintValue() : std::nullopt;
}

}  // namespace

std::string octalMode(mode_t mode) {
  std::string s;
  for (int shift = 9; shift >= 0; shift -= 3) s.push_back(static_cast<char>('0' + ((mode >> shift) & 7)));
  return s;
}

std::optional<mode_t> parseOctalMode(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  mode_t mode = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = static_cast<mode_t>(mode * 8 + static_cast<mode_t>(c - '0'));
  }
  return mode;
}

std::optional<IncomingFileFrame> IncomingFileFrame::parse(std::string_view text) {
  auto frame = SessionFrame::parse(text);
  if (!frame) return std::nullopt;
  return from(*frame);
}

std::optional<IncomingFileFrame> IncomingFileFrame::from(const SessionFrame& frame) {
  const JSONValue& root = frame.root;
  const std::string& t = frame.type;
  if (!t.starts_with("file.")) return std::nullopt;
  auto path = [&root] {
    const std::string* p = root.stringAt("path");
    return p ? *p : std::string();
  };
  IncomingFileFrame f{frame.sessionID, Cancel{}};
  if (t == "file.list") {
    f.payload = List{path()};
  } else if (t == "file.download") {
    f.payload = Download{path()};
  } else if (t == "file.upload") {
    Upload u;
    u.path = path();
    u.size = countAt(root, "size");
    if (const std::string* h = root.stringAt("sha256")) u.sha256 = *h;
    if (const JSONValue* m = root["mode"]) {
      const std::string* text = m->stringRef();
      u.mode = text ? parseOctalMode(*text) : std::nullopt;
      u.modeInvalid = !u.mode;
    }
    if (const std::string* o = root.stringAt("owner")) u.owner = *o;
    if (const JSONValue* o = root["overwrite"]) u.overwrite = o->boolValue().value_or(false);
    f.payload = std::move(u);
  } else if (t == "file.chunk") {
    Chunk c;
    c.offset = countAt(root, "offset");
    if (const std::string* d = root.stringAt("data")) c.data = Base64::decode(*d);
    f.payload = std::move(c);
  } else if (t == "file.ack") {
    f.payload = Ack{countAt(root, "offset").value_or(0)};
  } else if (t == "file.cancel") {
    const std::string* r = root.stringAt("reason");
    f.payload = Cancel{r ? *r : "cancelled"};
  } else {
    return std::nullopt;
  }
  return f;
}

std::string OutgoingFileFrame::json() const {
  JSONValue frame = JSONValue::object();
  frame.set("v", 1);
  frame.set("session_id", sessionID);
  std::visit(
      [&frame](const auto& p) {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, Listing>) {
          frame.set("type", "file.listing");
          frame.set("path", p.path);
          JSONValue entries = JSONValue::array();
          for (const auto& e : p.entries) {
            entries.append(JSONValue{{"name", e.name},
                                     {"type", e.type},
                                     {"size", e.size},
                                     {"mode", octalMode(e.mode)},
                                     {"mtime", ISOTime::format(ISOTime::Clock::from_time_t(e.mtime))}});
          }
          frame.set("entries", std::move(entries));
          frame.set("truncated", p.truncated);
        } else if constexpr (std::is_same_v<T, Meta>) {
          frame.set("type", "file.meta");
          frame.set("path", p.path);
          frame.set("size", p.size);
          frame.set("mode", octalMode(p.mode));
          frame.set("mtime", ISOTime::format(ISOTime::Clock::from_time_t(p.mtime)));
          frame.set("window", p.window);
        } else if constexpr (std::is_same_v<T, Data>) {
          frame.set("type", "file.data");
          frame.set("offset", p.offset);
          frame.set("data", Base64::encode(p.data));
        } else if constexpr (std::is_same_v<T, Ready>) {
          frame.set("type", "file.ready");
          frame.set("window", p.window);
          frame.set("chunk", p.chunk);
        } else if constexpr (std::is_same_v<T, Ack>) {
          frame.set("type", "file.ack");
          frame.set("offset", p.offset);
        } else if constexpr (std::is_same_v<T, Done>) {
          frame.set("type", "file.done");
          frame.set("direction", p.direction);
          frame.set("path", p.path);
          frame.set("size", p.size);
          frame.set("sha256", p.sha256);
        } else {
          frame.set("type", "file.error");
          frame.set("code", p.code);
          frame.set("message", p.message);
        }
      },
      payload);
  return CanonicalJSON::encode(frame);
}

}  // namespace vela
