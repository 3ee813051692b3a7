#include "desktop/input/input_event.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "desktop/input/input_injector.h"
#include "desktop/input/key_code_map.h"
#include "desktop/input/resolution_request.h"

namespace vela {
namespace {

using Button = InputEvent::Button;
using Mods = InputEvent::Modifiers;

std::optional<InputEvent> decoded(std::string_view message) { return InputEvent::decode(message); }

std::optional<InputEvent> event(InputEvent::Payload payload) { return InputEvent{payload}; }

TEST(ResolutionRequestTest, NeedsPositiveWidthAndHeightAndDefaultsFps) {
  EXPECT_EQ(ResolutionRequest::decode(R"({"t":"res","w":1280,"h":720})"),
            (ResolutionRequest{1280, 720, 30}));
  EXPECT_EQ(ResolutionRequest::decode(R"({"t":"res","w":1920,"h":1080,"fps":60})"),
            (ResolutionRequest{1920, 1080, 60}));
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

TEST(InputEventTest, MouseDefaultsAndButtonNumbering) {
  EXPECT_EQ(decoded(R"({"t":"m","x":0.5,"y":0.25})"), event(InputEvent::MouseMove{0.5, 0.25}));
  // Missing, non-numeric and non-finite positions are 0; an unknown or non-text `e` moves.
  EXPECT_EQ(decoded(R"({"t":"m","x":"1","y":1e999,"e":"hover"})"),
            event(InputEvent::MouseMove{0, 0}));
  EXPECT_EQ(decoded(R"({"t":"m","e":7})"), event(InputEvent::MouseMove{0, 0}));

  EXPECT_EQ(decoded(R"({"t":"m","x":1,"y":0,"e":"down","b":2})"),
            event(InputEvent::MouseDown{1, 0, Button::right}));
  EXPECT_EQ(decoded(R"({"t":"m","e":"up","b":1})"),
            event(InputEvent::MouseUp{0, 0, Button::other}));
  for (const char* b : {"0", "3", "-1", "2.0", R"("2")", "true", "99999999999999999999"}) {
    EXPECT_EQ(decoded(std::string(R"({"t":"m","e":"down","b":)") + b + "}"),
              event(InputEvent::MouseDown{0, 0, Button::left}))
        << b;
  }
  EXPECT_EQ(decoded(R"({"t":"m","e":"down"})"), event(InputEvent::MouseDown{0, 0, Button::left}));
}

TEST(InputEventTest, ScrollTruncatesTowardZeroAndRejectsWhatDoesNotFit32Bits) {
  EXPECT_EQ(decoded(R"({"t":"w","dx":2.9,"dy":-2.9})"), event(InputEvent::Scroll{2, -2}));
  EXPECT_EQ(decoded(R"({"t":"w","dy":120})"), event(InputEvent::Scroll{0, 120}));
  EXPECT_EQ(decoded(R"({"t":"w","dx":2147483647.9,"dy":-2147483648.9})"),
            event(InputEvent::Scroll{2147483647, -2147483648}));
  for (const char* bad :
       {R"({"t":"w","dy":2147483648})", R"({"t":"w","dx":-2147483649})", R"({"t":"w","dy":1e999})",
        R"({"t":"w","dy":"5"})", R"({"t":"w","dx":null})"}) {
    EXPECT_FALSE(InputEvent::decode(bad)) << bad;
  }
}

TEST(InputEventTest, KeysNeedAKnownCodeAndCountOnlyTrueModifiers) {
  EXPECT_EQ(decoded(R"({"t":"k","code":"KeyC","mods":{"meta":true}})"),
            event(InputEvent::KeyDown{8, Mods{Mods::command}}));
  EXPECT_EQ(
      decoded(
          R"({"t":"k","code":"F1","e":"up","mods":{"ctrl":true,"alt":true,"shift":true,"meta":true}})"),
      event(InputEvent::KeyUp{122,
                              Mods{Mods::control | Mods::option | Mods::shift | Mods::command}}));
  EXPECT_EQ(
      decoded(
          R"({"t":"k","code":"KeyA","e":"press","mods":{"meta":1,"shift":"true","ctrl":null,"alt":false}})"),
      event(InputEvent::KeyDown{0, Mods{}}));
  EXPECT_EQ(decoded(R"({"t":"k","code":"KeyA","mods":[true]})"),
            event(InputEvent::KeyDown{0, Mods{}}));
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
  EXPECT_EQ(decoded(R"({"t":"m","pad":")" + huge + R"("})"), event(InputEvent::MouseMove{0, 0}));
}

// The keys the page may send: each name once, each code once (a duplicate would press
// the wrong key); names are matched exactly. KeyC as 8 is checked above, and every
// code's X keysym by the XTest injector's test.
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

// Writes down every call so that sequences read as text.
class RecordingInjector final : public InputInjector {
 public:
  std::vector<std::string> calls;

  void mouseMove(Point to) override { record("move", to); }
  void mouseDown(Point at, Button button) override { record("down " + name(button), at); }
  void mouseUp(Point at, Button button) override { record("up " + name(button), at); }
  void mouseDrag(Point to, Button button) override { record("drag " + name(button), to); }
  void scroll(std::int32_t dx, std::int32_t dy) override {
    calls.push_back("scroll " + std::to_string(dx) + " " + std::to_string(dy));
  }
  void keyDown(std::uint16_t code, Modifiers flags) override { recordKey("keydown", code, flags); }
  void keyUp(std::uint16_t code, Modifiers flags) override { recordKey("keyup", code, flags); }

 private:
  static std::string name(Button button) {
    return button == Button::left ? "left" : button == Button::right ? "right" : "other";
  }
  void record(const std::string& what, Point p) {
    char text[64];
    std::snprintf(text, sizeof text, " %g,%g", p.x, p.y);
    calls.push_back(what + text);
  }
  void recordKey(const std::string& what, std::uint16_t code, Modifiers flags) {
    calls.push_back(what + " " + std::to_string(code) + " mods " + std::to_string(flags.rawValue));
  }
};

void send(RecordingInjector& injector, std::string_view message,
          DisplayBounds display = {0, 0, 200, 100}) {
  auto event = InputEvent::decode(message);
  ASSERT_TRUE(event) << message;
  event->apply(injector, display);
}

TEST(InputEventApplyTest, PositionsOnTheDisplayDragsWhileHeldAndWheelAndKeysPassThrough) {
  RecordingInjector injector;
  // Positions are fractions of the display, whatever its origin.
  send(injector, R"({"t":"m","x":0.5,"y":0.5})", {1920, -200, 1280, 720});
  send(injector, R"({"t":"m","x":0,"y":1})", {1920, -200, 1280, 720});
  EXPECT_EQ(injector.calls, (std::vector<std::string>{"move 2560,160", "move 1920,520"}));

  // A held button turns moves into drags until its own up.
  injector.calls.clear();
  send(injector, R"({"t":"m","x":0.1,"y":0.1,"e":"down","b":2})");
  send(injector, R"({"t":"m","x":0.2,"y":0.2})");
  // An up for another button leaves the right button held.
  send(injector, R"({"t":"m","x":0.2,"y":0.2,"e":"up","b":0})");
  send(injector, R"({"t":"m","x":0.3,"y":0.3})");
  send(injector, R"({"t":"m","x":0.3,"y":0.3,"e":"up","b":2})");
  send(injector, R"({"t":"m","x":0.4,"y":0.4})");
  EXPECT_EQ(injector.calls,
            (std::vector<std::string>{"down right 20,10", "drag right 40,20", "up left 40,20",
                                      "drag right 60,30", "up right 60,30", "move 80,40"}));
  EXPECT_FALSE(injector.pressedButton());

  injector.calls.clear();
  send(injector, R"({"t":"w","dx":-3.7,"dy":120})");
  send(injector, R"({"t":"k","code":"KeyC","mods":{"meta":true}})");
  send(injector, R"({"t":"k","code":"KeyC","e":"up","mods":{"shift":true}})");
  EXPECT_EQ(injector.calls, (std::vector<std::string>{"scroll -3 120", "keydown 8 mods 1", "keyup 8 mods 2"}));
}

}  // namespace
}  // namespace vela
