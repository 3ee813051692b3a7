#include "config/onboarding.h"

#include <gtest/gtest.h>

#include <deque>

#include "config/agent_paths.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using Action = OnboardingWindows::Action;
using Kind = OnboardingResult::Kind;

// Answers each window from a script and records what was shown.
class ScriptedWindows : public OnboardingWindows {
 public:
  std::deque<CodeAnswer> codes;
  std::deque<ConfigAnswer> configs;
  std::vector<std::string> shown;

  CodeAnswer presentQuickAssist() override {
    shown.push_back("code");
    return next(codes);
  }
  ConfigAnswer presentConfig(const std::string& prefillJSON) override {
    shown.push_back("config:" + prefillJSON);
    return next(configs);
  }
  void alert(const std::string& message, const std::string& informative, bool warning) override {
    shown.push_back((warning ? "warning:" : "alert:") + message + "|" + informative);
  }

 private:
  template <typename T>
  T next(std::deque<T>& answers) {
    if (answers.empty()) return T{};  // cancel
    T answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

TEST(OnboardingTest, CodeWindow) {
  ScriptedWindows w;
  w.codes = {{Action::connect, " -- "}, {Action::connect, "123 456-789"}};
  auto result = OnboardingUI::run(w, std::nullopt);
  EXPECT_EQ(result.kind, Kind::quickAssist);
  EXPECT_EQ(result.code, "123456789");
  EXPECT_EQ(w.shown, (std::vector<std::string>{"code", "code"}));  // nothing numeric: asked again

  ScriptedWindows cancelled;
  cancelled.codes = {{Action::toggle, ""}};
  cancelled.configs = {{Action::toggle, "", ""}};
  EXPECT_EQ(OnboardingUI::run(cancelled, std::nullopt).kind, Kind::cancelled);
  EXPECT_EQ(cancelled.shown, (std::vector<std::string>{"code", "config:", "code"}));
}

TEST(OnboardingTest, ConfigWindowSessionAndInstall) {
  testing::ScopedStateDir state;
  ProvisioningPayload prefill;
  prefill.server = "https://pre";
  const std::string pasted = R"({"server":"https://cp","token":"inside","commandPubkey":"Q01E"})";

  ScriptedWindows session;
  session.codes = {{Action::toggle, ""}};
  session.configs = {{Action::connect, "not json", ""},
                     {Action::connect, R"({"tenant":"t"})", "tok"},
                     {Action::connect, "\n " + pasted + "\n", "  typed \n"}};
  auto result = OnboardingUI::run(session, prefill);
  ASSERT_EQ(result.kind, Kind::provisioned);
  EXPECT_EQ(result.config->serverBaseURL, "https://cp");
  EXPECT_EQ(result.config->enrollmentToken, "typed");
  EXPECT_EQ(testing::readFileOrEmpty(AgentPaths::pinnedCommandKey()), "Q01E");
  const std::string invalid = std::string("alert:") + OnboardingUI::kInvalidInput + "|";
  const std::string config = "config:" + prefill.encode();
  EXPECT_EQ(session.shown,
            (std::vector<std::string>{"code", config, invalid, config, invalid, config}));

  ScriptedWindows install;
  install.codes = {{Action::toggle, ""}};
  install.configs = {{Action::install, pasted, ""}, {Action::install, pasted, ""}};
  std::vector<ProvisioningPayload> installed;
  int attempts = 0;
  result = OnboardingUI::run(install, std::nullopt, [&](const ProvisioningPayload& payload) {
    installed.push_back(payload);
    return ++attempts == 1 ? std::optional(SystemInstall::InstallError::authorizationFailed(""))
                           : std::nullopt;
  });
  EXPECT_EQ(result.kind, Kind::installedSystemAgent);
  ASSERT_EQ(installed.size(), 2u);
  EXPECT_EQ(installed[0].token, "inside");
  EXPECT_EQ(install.shown,
            (std::vector<std::string>{
                "code", "config:", "warning:Installation fehlgeschlagen|authorization was cancelled",
                "config:",
                "alert:Agent installiert|Der Dienst wurde installiert und verbindet sich mit "
                "https://cp. Er startet ab jetzt automatisch (auch nach Neustart)."}));
}

}  // namespace
}  // namespace vela
