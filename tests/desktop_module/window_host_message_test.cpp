// The lines between a session-serving process and its window host: what one side writes
// the other reads back whole, and a line that could make the parent take a consent it
// was never given is not a message.

#include <gtest/gtest.h>

#include "desktop_module/window_host_message.h"

namespace vela {
namespace {

using Kind = WindowHostMessage::Kind;

TEST(WindowHostMessage, EveryKindReadsBackAsWritten) {
  const std::string logo(3 * 1024 * 1024, 'A');  // a brand logo is the longest field
  const WindowHostMessage sent[] = {
      {.kind = Kind::ready},
      {.kind = Kind::banner,
       .id = 7,
       .text = "Fernzugriff aktiv · Aufzeichnung läuft\n\"x\"",
       .logo = logo},
      {.kind = Kind::hide, .id = 7},
      {.kind = Kind::shown, .id = 7, .flag = true},
      {.kind = Kind::end, .id = 7},
      {.kind = Kind::consent,
       .id = 18446744073709551615u,
       .logo = "iVBOR",
       .operatorName = "Eva",
       .brandName = "Kanzlei",
       .timeoutMs = 45000,
       .flag = true},
      {.kind = Kind::answer, .id = 8, .flag = false},
  };
  for (const WindowHostMessage& message : sent) {
    const std::string line = message.encode();
    ASSERT_EQ(line.find('\n'), std::string::npos) << line.substr(0, 80);
    auto read = WindowHostMessage::parse(line);
    ASSERT_TRUE(read) << line.substr(0, 80);
    EXPECT_EQ(read->kind, message.kind);
    EXPECT_EQ(read->id, message.id);
    EXPECT_EQ(read->text, message.text);
    EXPECT_EQ(read->logo, message.logo);
    EXPECT_EQ(read->operatorName, message.operatorName);
    EXPECT_EQ(read->brandName, message.brandName);
    EXPECT_EQ(read->timeoutMs, message.timeoutMs);
    EXPECT_EQ(read->flag, message.flag);
  }
}

TEST(WindowHostMessage, AnAnswerWithoutItsIdOrVerdictIsNoAnswer) {
  for (const char* line : {
           R"({"t":"answer","accepted":true})",          // which request?
           R"({"t":"answer","id":3})",                   // no verdict is not an acceptance
           R"({"t":"answer","id":3,"accepted":"yes"})",  // nor is a word
           R"({"t":"answer","id":-3,"accepted":true})",
           R"({"t":"shown","id":1})",
           R"({"t":"accept","id":3})",
           R"({"id":3,"accepted":true})",
           R"(["answer",3,true])",
           R"({"t":"answer","id":3,"accepted":true)",
           "",
       }) {
    EXPECT_FALSE(WindowHostMessage::parse(line)) << line;
  }
  auto answer = WindowHostMessage::parse(R"({"t":"answer","id":3,"accepted":true,"later":1})");
  ASSERT_TRUE(answer);
  EXPECT_TRUE(answer->flag);
}

}  // namespace
}  // namespace vela
