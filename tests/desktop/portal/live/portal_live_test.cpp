// The portal session against the real desktop portal while nobody answers its dialog:
// run inside a private headless GNOME session by portal_session_e2e.py, which watches
// the dialog come and go on the screen.

#include <gtest/gtest.h>

#include <chrono>

#include "desktop/linux/portal/portal_session.h"

namespace vela {
namespace {

using namespace std::chrono_literals;

std::string reasonOf(const Result<std::shared_ptr<RemoteDesktopSession>, CaptureError>& opened) {
  return opened ? "opened" : opened.error().description();
}

// Neither open below ever succeeds, so neither may report its session closed.
auto notReportedClosed() {
  return [](const std::string& why) { ADD_FAILURE() << "reported closed: " << why; };
}

TEST(PortalLiveTest, ADialogNobodyAnswersEndsTheOpenWhenItsTimeIsUp) {
  const auto begun = std::chrono::steady_clock::now();
  auto opened = PortalRemoteSession::open(true, notReportedClosed(), [] { return false; }, 4s);
  EXPECT_EQ(reasonOf(opened), "screen capture not permitted: nobody answered the desktop's sharing dialog in time");
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 4s);
}

TEST(PortalLiveTest, ADialogEndsWithTheCaptureThatWaitsForIt) {
  const auto begun = std::chrono::steady_clock::now();
  auto opened = PortalRemoteSession::open(true, notReportedClosed(),
                                          [begun] { return std::chrono::steady_clock::now() - begun > 4s; });
  EXPECT_EQ(reasonOf(opened), "screen capture not permitted: the session ended while the person at the screen was asked");
}

}  // namespace
}  // namespace vela
