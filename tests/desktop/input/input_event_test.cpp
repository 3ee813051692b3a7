#include "desktop/input/input_event.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "desktop/input/key_code_map.h"
#include "desktop/input/resolution_request.h"

namespace vela {
namespace {

using Button = InputEvent::Button;
using Mods = InputEvent::Modifiers;

void expectDecodes(std::string_view message, InputEvent::Payload payload) {
  EXPECT_EQ(InputEvent::decode(message), InputEvent{payload}) << message.substr(0, 80);
}

TEST(ResolutionRequestTest, NeedsPositiveWidthAndHeightAndDefaultsFps) {
  // A request with its rate, and one of zero width, go through the session manager's test.
  EXPECT_EQ(ResolutionRequest::decode(R"({"t":"res","w":1280,"h":720})"),
            (ResolutionRequest{1280, 720, 30}));
  // Not an integer (or not one that fits) falls back; zero and negative pass as sent.
  for (const char* fps : {R"("60")", "30.5", "1e2", "4294967296"}) {
    auto request =
        ResolutionRequest::decode(std::string(R"({"t":"res","w":8,"h":8,"fps":)") + fps + "}");
    ASSERT_TRUE(request) << fps;
    EXPECT_EQ(request->fps, 30) << fps;
  }
  EXPECT_EQ(ResolutionRequest::decode(R"({"t":"res","w":8,"h":8,"fps":-5})")->fps, -5);

  for (const char* bad : {R"({"t":"res","w":0,"h":720})", R"({"t":"res","w":1280})",
                          R"({"t":"res","w":1280.0,"h":720})", R"({"t":"res","w":"1280","h":720})",
                          R"({"t":"res","w":2147483648,"h":720})", R"({"t":"m","w":8,"h":8})"}) {
    EXPECT_FALSE(ResolutionRequest::decode(bad)) << bad;
  }
}

// Messages as the page sends them (moves, a right-button drag, KeyC with meta) are the
// XTest injector's test; these are the defaults and refusals.
TEST(InputEventTest, MouseDefaultsAndButtonNumbering) {
  // Missing, non-numeric and non-finite positions are 0; an unknown or non-text `e` moves.
  expectDecodes(R"({"t":"m","x":"1","y":1e999,"e":"hover"})", InputEvent::MouseMove{0, 0});
  expectDecodes(R"({"t":"m","e":7})", InputEvent::MouseMove{0, 0});

  expectDecodes(R"({"t":"m","e":"up","b":1})", InputEvent::MouseUp{0, 0, Button::other});
  for (const char* b : {"0", "3", "-1", "2.0", R"("2")", "true", "99999999999999999999"}) {
    expectDecodes(std::string(R"({"t":"m","e":"down","b":)") + b + "}",
                  InputEvent::MouseDown{0, 0, Button::left});
  }
  expectDecodes(R"({"t":"m","e":"down"})", InputEvent::MouseDown{0, 0, Button::left});
}

TEST(InputEventTest, ScrollTruncatesTowardZeroAndRejectsWhatDoesNotFit32Bits) {
  expectDecodes(R"({"t":"w","dx":2.9,"dy":-2.9})", InputEvent::Scroll{2, -2});
  expectDecodes(R"({"t":"w","dy":120})", InputEvent::Scroll{0, 120});
  expectDecodes(R"({"t":"w","dx":2147483647.9,"dy":-2147483648.9})",
                InputEvent::Scroll{2147483647, -2147483648});
  for (const char* bad :
       {R"({"t":"w","dy":2147483648})", R"({"t":"w","dx":-2147483649})", R"({"t":"w","dy":1e999})",
        R"({"t":"w","dy":"5"})", R"({"t":"w","dx":null})"}) {
    EXPECT_FALSE(InputEvent::decode(bad)) << bad;
  }
}

TEST(InputEventTest, KeysNeedAKnownCodeAndCountOnlyTrueModifiers) {
  expectDecodes(
      R"({"t":"k","code":"F1","e":"up","mods":{"ctrl":true,"alt":true,"shift":true,"meta":true}})",
      InputEvent::KeyUp{122, Mods{Mods::control | Mods::option | Mods::shift | Mods::command}});
  expectDecodes(
      R"({"t":"k","code":"KeyA","e":"press","mods":{"meta":1,"shift":"true","ctrl":null,"alt":false}})",
      InputEvent::KeyDown{0, Mods{}});
  expectDecodes(R"({"t":"k","code":"KeyA","mods":[true]})", InputEvent::KeyDown{0, Mods{}});
  for (const char* bad : {R"({"t":"k","code":"IntlBackslash"})", R"({"t":"k","code":"F13"})",
                          R"({"t":"k","code":"keyc"})", R"({"t":"k","code":8})", R"({"t":"k"})"}) {
    EXPECT_FALSE(InputEvent::decode(bad)) << bad;
  }
}

TEST(InputEventTest, MalformedMessagesAreIgnored) {
  std::string huge(1 << 20, 'A');
  std::string deep = std::string(200, '[') + std::string(200, ']');
  std::vector<std::string> bad = {"", "not json", "[]", "null", R"("m")", "{}", R"({"t":1})", R"({"t":"M"})",
                                  R"({"t":"m","x":NaN})", R"({"t":"m","x":Infinity})", R"({"t":"w","dy":-Infinity})",
                                  R"({"t":"m"} trailing)", deep, R"({"t":"k","code":")" + huge + R"("})",
                                  R"({"t":")" + huge + R"("})"};
  for (const auto& message : bad) {
    EXPECT_FALSE(InputEvent::decode(message)) << message.substr(0, 40);
    EXPECT_FALSE(ResolutionRequest::decode(message)) << message.substr(0, 40);
  }
  // A huge irrelevant member does not stop a valid message.
  expectDecodes(R"({"t":"m","pad":")" + huge + R"("})", InputEvent::MouseMove{0, 0});
}

// The keys the page may send: each name once, each code once (a duplicate would press
// the wrong key); names are matched exactly. Every code's X keysym is the XTest
// injector's test.
TEST(KeyCodeMapTest, OneHundredAndTwoDistinctKeysByExactName) {
  std::set<std::string_view> names;
  std::set<std::uint16_t> codes;
  for (const auto& entry : KeyCodeMap::entries()) {
    names.insert(entry.code);
    codes.insert(entry.virtualKey);
    EXPECT_EQ(KeyCodeMap::virtualKey(entry.code), entry.virtualKey);
  }
  EXPECT_EQ(KeyCodeMap::entries().size(), 102u);
  EXPECT_EQ(names.size(), 102u);
  EXPECT_EQ(codes.size(), 102u);
  for (const char* unknown : {"IntlBackslash", "F13", "AudioVolumeUp", "", "keya", "KeyA "})
    EXPECT_FALSE(KeyCodeMap::virtualKey(unknown)) << unknown;
}

}  // namespace
}  // namespace vela
