#include "desktop/linux/x11/x11_clipboard.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "support/temp_dir.h"
#include "support/xvfb_server.h"

namespace vela {
namespace {

// What one clipboard reported, waited for without a deadline.
struct Heard {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::string> texts;
  DesktopClipboard::Changed sink() {
    return [this](const std::string& text) {
      std::lock_guard lock(mu);
      texts.push_back(text);
      cv.notify_all();
    };
  }
  std::string next() {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return !texts.empty(); });
    std::string t = texts.front();
    texts.pop_front();
    return t;
  }
};

// The session's clipboard and another X client (a second one, as a person's editor
// would own the selection) on one private Xvfb.
TEST(X11ClipboardTest, TextTravelsBothWaysAndAnOversizedCopyIsSkippedWithoutStoppingIt) {
  testing::XvfbServer xvfb(640, 480);
  ASSERT_TRUE(xvfb.running());
  testing::ScopedEnv display("DISPLAY", xvfb.displayName());
  auto session = makeX11Clipboard();
  // Another program may own more than the cap; this one can hold 8 MiB.
  auto person = makeX11Clipboard(std::size_t{8} << 20);
  ASSERT_TRUE(session && person);
  Heard sessionHeard, personHeard;
  session->start(sessionHeard.sink());
  person->start(personHeard.sink());

  person->set("copied on the machine ✓");
  EXPECT_EQ(sessionHeard.next(), "copied on the machine ✓");
  session->set("from the operator");
  EXPECT_EQ(personHeard.next(), "from the operator");

  // Exactly the cap is shared; one byte more is not, and the next copy still is.
  std::string cap(DesktopClipboard::kMaxBytes, 'x');
  person->set(cap);
  EXPECT_EQ(sessionHeard.next().size(), cap.size());
  // 8 MiB copied on the machine: never read whole nor reported; the next copy arrives.
  person->set(std::string(std::size_t{8} << 20, 'y'));
  person->set("after the big one");
  EXPECT_EQ(sessionHeard.next(), "after the big one");
  session->set("operator text");
  EXPECT_EQ(personHeard.next(), "operator text");
  session->stop();
  person->stop();
}

}  // namespace
}  // namespace vela
