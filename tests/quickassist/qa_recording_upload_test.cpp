#include "quickassist/qa_recording_upload.h"

#include <algorithm>
#include <filesystem>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "quickassist/qa_http.h"
#include "quickassist/quick_assist_client.h"
#include "support/connect_proxy.h"
#include "support/control_plane.h"
#include "support/temp_dir.h"
#include "util/log.h"

namespace vela {
namespace {

using ::testing::AllOf;
using testing::ControlPlane;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ScopedEnv;
using ::testing::StartsWith;
using Json = nlohmann::json;

constexpr char kPresign[] = "/api/quick-assist/recordings/presign";

// "HTTP <status>" for a reply, else why there was none.
std::string outcome(const Result<QAHttp::Response>& reply) {
  return reply ? "HTTP " + std::to_string(reply->status) : reply.error().message;
}

// Quick assist's uploads against the test control plane's presign and upload URLs, the
// server checked through SSL_CERT_FILE as on a machine that trusts its CA.
class QuickAssistUploadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cp_ = new ControlPlane(); }
  static void TearDownTestSuite() { delete cp_; }
  void SetUp() override {
    Log::resetLogFileForTesting();
    testing::writeFile(recording_.path, kContent);
  }
  void TearDown() override {
    cp_->clearFaults();
    Log::resetLogFileForTesting();
  }

  // A session redeemed as the client redeems its code.
  static QARecordingUpload::Session join() {
    std::string code =
        Json::parse(cp_->admin("POST", "/admin/quick-assist/codes", "{}").body)["code"];
    auto reply = QAHttp::postJSON(cp_->baseURL() + "/api/quick-assist/join",
                                  Json{{"code", code}}.dump(), {});
    auto joined = QuickAssistClient::parseJoin(reply.value().status, reply->body).value();
    return {cp_->baseURL() + kPresign, joined.sessionID, joined.clientToken};
  }
  static int putsReceived() {
    auto requests = Json::parse(cp_->requests());
    return static_cast<int>(std::count_if(requests.begin(), requests.end(),
                                          [](const Json& r) { return r["method"] == "PUT"; }));
  }
  // The log written since the last call.
  std::string newLog() {
    std::string all = testing::readFileOrEmpty(dir_.file("agent.log"));
    std::string fresh = all.substr(std::min(logSeen_, all.size()));
    logSeen_ = all.size();
    return fresh;
  }
  // The upload failed, the file is as it was, and the log says where it is.
  void expectKept(const Result<void>& outcome, const std::string& why) {
    ASSERT_FALSE(outcome) << why;
    EXPECT_THAT(outcome.error().message,
                AllOf(HasSubstr(why), EndsWith("; the recording stays at " + recording_.path)));
    std::string log = newLog();
    EXPECT_THAT(log,
                AllOf(HasSubstr("WARN: quick-assist "), HasSubstr("stays at " + recording_.path),
                      Not(HasSubstr("recording uploaded"))));
    EXPECT_EQ(testing::readFileOrEmpty(recording_.path), kContent) << why;
  }

  static inline ControlPlane* cp_ = nullptr;
  static inline const std::string kContent = std::string(48 * 1024, 'v') + "end";
  testing::TempDir dir_;
  ScopedEnv logFile_{"VELA_LOG_FILE", dir_.file("agent.log")};
  ScopedEnv trust_{"SSL_CERT_FILE", cp_->dir() + "/ca.pem"};
  // Whatever proxy the machine has, these tests choose their own.
  ScopedEnv proxies_[6] = {{"https_proxy", std::nullopt}, {"HTTPS_PROXY", std::nullopt},
                           {"all_proxy", std::nullopt},   {"ALL_PROXY", std::nullopt},
                           {"no_proxy", std::nullopt},    {"NO_PROXY", std::nullopt}};
  QARecordingUpload::Recording recording_{dir_.file("recording.mp4"), "fmp4",
                                          static_cast<std::int64_t>(kContent.size())};
  std::size_t logSeen_ = 0;
};

TEST_F(QuickAssistUploadTest, OnlyA2xxReplyToThePutRemovesTheRecording) {
  const std::string scripted = "/api/quick-assist/uploads/scripted";
  const std::pair<std::vector<ControlPlane::Fault>, std::string> failures[] = {
      {{{.path = kPresign, .patch = Json{{"upload_url", cp_->baseURL() + scripted}}.dump()},
        {.path = scripted, .status = 500}},
       "recording upload failed: HTTP 500"},
      // The genuine upload URL refuses a request without its key.
      {{{.path = kPresign, .patch = R"({"headers":{"X-Vela-Upload":"another key"}})"}},
       "recording upload failed: HTTP 403"},
      {{{.path = kPresign,
         .patch = Json{{"upload_url", "http://127.0.0.1:" + std::to_string(cp_->port()) + scripted}}
                      .dump()}},
       "recording upload failed: refusing non-https http://127.0.0.1:"},
      {{{.path = kPresign, .status = 503}}, "presign failed: HTTP 503"},
      {{{.path = kPresign, .patch = R"({"upload_url":"not a url"})"}},
       "presign failed: the reply names no upload URL"},
  };
  for (const auto& [faults, why] : failures) {
    for (const auto& fault : faults) cp_->scriptFault(fault);
    expectKept(QARecordingUpload::upload(join(), recording_), why);
  }

  QARecordingUpload::Session session = join();
  ASSERT_TRUE(QARecordingUpload::upload(session, recording_));
  EXPECT_THAT(newLog(), HasSubstr("INFO: quick-assist recording uploaded (" +
                                  std::to_string(kContent.size()) + " bytes)"));
  EXPECT_FALSE(std::filesystem::exists(recording_.path));
  auto uploads = Json::parse(cp_->admin("GET", "/admin/quick-assist/uploads").body);
  auto arrived = std::find_if(uploads.begin(), uploads.end(), [&](const Json& u) {
    return u["session_id"] == session.sessionID && u["received"] == true;
  });
  ASSERT_NE(arrived, uploads.end());
  EXPECT_EQ((*arrived)["bytes"], kContent.size());
  EXPECT_EQ((*arrived)["content_type"], "video/mp4");
}

TEST_F(QuickAssistUploadTest, HeadersThatCouldWriteRequestLinesAreNeverSent) {
  const int before = putsReceived();
  const std::pair<std::string, std::string> hostile[] = {{"X-Vela-Upload\r\nX-Injected", "1"},
                                                         {"X-Extra", "a\r\nX-Injected: 1"},
                                                         {"X-Extra", "a\nb"},
                                                         {"X-Extra:", "1"},
                                                         {"X-Extra", "a\x7f"},
                                                         // the request's framing and route are libcurl's
                                                         {"Content-Length", "1"},
                                                         {"host", "elsewhere.example"},
                                                         {"Proxy-Authorization", "Basic eDp5"}};
  for (const auto& [name, value] : hostile) {
    cp_->scriptFault({.path = kPresign, .patch = Json{{"headers", {{name, value}}}}.dump()});
    expectKept(QARecordingUpload::upload(join(), recording_),
               "presign failed: refusing header \"" + name.substr(0, name.find_first_of("\r\n:")));
  }
  // Headers the agent builds itself (the bearer token comes from the join reply) are held
  // to the same rule.
  auto put = QAHttp::putFile(cp_->baseURL() + "/api/quick-assist/uploads/x", recording_.path,
                             {{"Authorization", "Bearer t\r\nX-Injected: 1"}});
  EXPECT_EQ(outcome(put),
            "refusing header \"Authorization\": its value is not a valid HTTP header value");
  EXPECT_EQ(putsReceived(), before);
}

TEST_F(QuickAssistUploadTest, RequestsTakeTheRouteTheAgentsProxyRuleGives) {
  const std::string joinURL = cp_->baseURL() + "/api/quick-assist/join";
  auto redeem = [&] { return outcome(QAHttp::postJSON(joinURL, R"({"code":"000000000"})", {})); };
  {
    // Nothing listens on port 9, so a reply means the request went direct. The latter
    // lists mean 127.0.0.1 to the agent's rule, not to libcurl's.
    ScopedEnv proxy("https_proxy", "http://127.0.0.1:9");
    const std::pair<std::string, std::string> exempting[] = {{"no_proxy", "127.0.0.1"},
                                                             {"no_proxy", "localhost 127.0.0.1."},
                                                             {"NO_PROXY", "127.0.0.0/8"}};
    for (const auto& [variable, list] : exempting) {
      ScopedEnv blank("no_proxy", " ");
      ScopedEnv noProxy(variable, list);
      EXPECT_EQ(redeem(), "HTTP 404") << list;
    }
  }
  {
    testing::ConnectProxy connect;
    ScopedEnv proxy("https_proxy", connect.url());
    EXPECT_EQ(redeem(), "HTTP 404");
    EXPECT_THAT(connect.log(),
                HasSubstr("CONNECT 127.0.0.1:" + std::to_string(cp_->port()) + " 200\n"));
  }
  // A proxy the rule refuses fails the request in the rule's words, with no way round it.
  const std::pair<std::string, std::string> refused[] = {
      {"socks5h://127.0.0.1:9",
       "proxy variable https_proxy names a socks5h:// proxy; only http:// proxies are "
       "supported, so connections it covers are refused"},
      {"http://127.0.0.1:9/path",
       "proxy variable https_proxy is malformed (expected http://[user:password@]host[:port]); "
       "connections it covers are refused"}};
  for (const auto& [value, text] : refused) {
    ScopedEnv proxy("https_proxy", value);
    EXPECT_EQ(redeem(), text) << value;
  }
}

}  // namespace
}  // namespace vela
