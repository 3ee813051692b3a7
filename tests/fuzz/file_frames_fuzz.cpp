// Text for the file-frame decoder as the gateway client reads it: every path a frame
// names goes through the path check, whose accepted paths must be absolute and free of
// dot components and control characters; the same bytes, cut as an oversize frame's
// kept ends, go through the search for its session id; an error for that id is written
// back the way the agent writes it.

#include <type_traits>

#include "files/file_frames.h"
#include "files/file_path.h"
#include "fuzz_check.h"
#include "remote/oversize_frame.h"

namespace {

using vela::FilePath;
using vela::IncomingFileFrame;
using vela::OutgoingFileFrame;
using vela::fuzz::check;

void checkPath(const std::string& text) {
  auto path = FilePath::parse(text);
  if (!path) {
    check(!path.error().message.empty(), "a refused path says nothing");
    return;
  }
  const std::string full = path->full();
  check(full.starts_with('/'), "an accepted path is not absolute");
  check(full.find("/../") == std::string::npos && !full.ends_with("/..") && full.find("/./") == std::string::npos &&
            !full.ends_with("/."),
        "an accepted path has a dot component");
  for (unsigned char c : full) check(c >= 0x20 && c != 0x7f, "an accepted path has a control character");
  check(path->name.find('/') == std::string::npos, "a file name holds a slash");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = vela::fuzz::text(data, size);
  std::string_view head = text.substr(0, size / 2), tail = text.substr(size / 2);
  if (auto oversize = vela::OversizeFrame::locate(head, tail)) {
    OutgoingFileFrame error{oversize->sessionID, OutgoingFileFrame::Error{"too_large", "dropped"}};
    vela::fuzz::sessionFrame(error.json(), oversize->sessionID);
  }
  auto frame = IncomingFileFrame::parse(text);
  if (!frame) return 0;
  std::visit(
      [](const auto& p) {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, IncomingFileFrame::List> || std::is_same_v<T, IncomingFileFrame::Download> ||
                      std::is_same_v<T, IncomingFileFrame::Upload>) {
          checkPath(p.path);
        }
        if constexpr (std::is_same_v<T, IncomingFileFrame::Upload>) {
          check(!p.mode || *p.mode <= 07777, "a mode beyond the permission bits");
        }
      },
      frame->payload);
  OutgoingFileFrame error{frame->sessionID, OutgoingFileFrame::Error{"bad_request", frame->sessionID}};
  vela::fuzz::sessionFrame(error.json(), frame->sessionID);
  return 0;
}
