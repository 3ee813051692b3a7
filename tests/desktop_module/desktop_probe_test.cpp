// The desktop-probe command of the built executable, and the promise that makes the
// module worth its trouble: the executable itself needs no display or media library.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "desktop/linux/x11_test_display.h"
#include "support/background_process.h"
#include "support/build_paths.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using testing::runAgent;

const std::regex kDesktopLibrary(R"(lib(gst|gtk|gdk|glib|gobject|gio|X11|Xext|Xrandr|Xtst|Xfixes|Xdamage|xcb|cairo|pango)[^ \]]*\.so)");

TEST(DesktopProbeTest, UnderXvfbReportsPermissionsDisplaysAndAWorkingPipeline) {
  testing::X11TestDisplay x(800, 600);
  ASSERT_TRUE(x.ready());
  // The sanitizer build would report GStreamer's process-lifetime allocations as leaks.
  testing::Environment env = {
      {"LSAN_OPTIONS", "suppressions=" + testing::sourcePath("tests/desktop/linux/lsan.supp")},
      {"XDG_SESSION_TYPE", std::nullopt},
      {"WAYLAND_DISPLAY", std::nullopt}};
  auto probe = runAgent({"desktop-probe"}, env);
  EXPECT_EQ(probe.status, 0) << probe.err;
  std::regex expected(
      "Remote-desktop preflight \\(Linux\\):\n"
      "  Session: x11 \u2192 backend x11\n"
      "  Screen Recording: \u2713 granted\n"
      "  Accessibility:    \u2713 granted\n"
      "  Displays \\(1\\):\n"
      "    \u2022 [0-9]+ 800x600 \\(main\\)\n"
      "  capturing 800x600 @10fps\u2026\n"
      // A still screen: capture follows changes.
      "  captured [1-9][0-9]* frames \u2192 [1-9][0-9]* bytes H.264 \\(keyframe=true\\)\n"
      "\u2713 capture\u2192encode pipeline works.\n");
  EXPECT_TRUE(std::regex_match(probe.out, expected)) << probe.out;

  auto request = runAgent({"desktop-probe", "--request"}, env);
  EXPECT_EQ(request.status, 0);
  EXPECT_THAT(request.out, HasSubstr("  Displays (1):\n"));
  EXPECT_THAT(request.out, EndsWith("\n  \u2192 Screen access needs an X11 session (DISPLAY) with the "
                                    "MIT-SHM and XTEST extensions; nothing to prompt.\n"));
}

TEST(DesktopProbeTest, WithoutADisplayPrintsTheHintAndExitsOne) {
  auto probe = runAgent({"desktop-probe"},
                        {{"DISPLAY", std::nullopt}, {"XDG_SESSION_TYPE", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}});
  EXPECT_EQ(probe.status, 1);
  EXPECT_EQ(probe.out,
            "Remote-desktop preflight (Linux):\n"
            "  Session: unknown \u2192 backend x11\n"
            "  Screen Recording: \u2717 NOT granted\n"
            "  Accessibility:    \u2717 NOT granted\n"
            "  Displays (0):\n"
            "\n"
            "Screen Recording not granted \u2192 run `vela-agent desktop-probe --request` to prompt (one-time, no "
            "MDM).\n");
}

TEST(DesktopProbeTest, AMissingMediaLibraryGivesOneClearError) {
  // The module as shipped, but needing a GStreamer that is not installed.
  std::string image = testing::readFileOrEmpty(VELA_DESKTOP_MODULE_FILE);
  auto at = image.find("libgstreamer-1.0.so.0");
  ASSERT_NE(at, std::string::npos);
  image[at + 20] = '9';
  testing::TempDir dir;
  std::string broken = dir.file("vela-desktop.so");
  testing::writeFile(broken, image);

  auto probe = runAgent({"desktop-probe"}, {{"VELA_DESKTOP_MODULE", broken}});
  EXPECT_EQ(probe.status, 1);
  EXPECT_EQ(probe.out, "");
  EXPECT_EQ(probe.err,
            "error: remote desktop unavailable: libgstreamer-1.0.so.9 is not installed (the desktop module needs the "
            "X11, GStreamer and GTK 3 libraries)\n");
}

TEST(DesktopModuleBoundaryTest, TheExecutableNeedsNoDisplayOrMediaLibrary) {
  auto dynamic = testing::runProcess("/usr/bin/readelf", {"-d", testing::agentExe()});
  ASSERT_EQ(dynamic.status, 0) << dynamic.err;
  ASSERT_THAT(dynamic.out, HasSubstr("(NEEDED)"));
  std::smatch found;
  EXPECT_FALSE(std::regex_search(dynamic.out, found, kDesktopLibrary)) << found.str();
  // The module itself does need them: the check above is not vacuous.
  auto module = testing::runProcess("/usr/bin/readelf", {"-d", VELA_DESKTOP_MODULE_FILE});
  EXPECT_TRUE(std::regex_search(module.out, kDesktopLibrary));
}

}  // namespace
}  // namespace vela
