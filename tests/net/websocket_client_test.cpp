#include "net/websocket_client.h"

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include <gmock/gmock.h>

#include "net/http_client.h"
#include "support/control_plane.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"

namespace vela {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using testing::ControlPlane;
using testing::ScopedEnv;

// What one connection reported, in order, as lines: "opened", "message <text>" (or
// "message <n> bytes" when long), "oversize <n> <first 8 bytes>..<last 8>", "closed <code>", "failed <why>".
class Recorder : public std::enable_shared_from_this<Recorder> {
 public:
  WebSocketClient::Events events(bool withOversize, bool withClosed) {
    WebSocketClient::Events events;
    auto self = shared_from_this();
    events.opened = [self] { self->add("opened"); };
    events.message = [self](std::string text) {
      self->add("message " + (text.size() > 64 ? std::to_string(text.size()) + " bytes" : text));
    };
    if (withOversize) {
      events.oversize = [self](const WebSocketClient::Oversize& o) {
        self->add("oversize " + std::to_string(o.bytes) + " " + o.head.substr(0, 8) + ".." +
                  o.tail.substr(o.tail.size() - std::min<std::size_t>(o.tail.size(), 8)));
      };
    }
    events.failed = [self](std::string error) { self->add("failed " + error); };
    if (withClosed) events.closed = [self](int code) { self->add("closed " + std::to_string(code)); };
    events.ended = [self](const WebSocketClient::Ending& ending) {
      std::lock_guard lock(self->mu_);
      self->ending_ = ending;
    };
    return events;
  }

  // Whether a line starting with `prefix` came within `limit`.
  bool waitFor(const std::string& prefix, std::chrono::seconds limit = 60s) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, limit, [&] {
      return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.starts_with(prefix); });
    });
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mu_);
    return lines_;
  }
  std::optional<WebSocketClient::Ending> ending() {
    std::lock_guard lock(mu_);
    return ending_;
  }

 private:
  void add(std::string line) {
    {
      std::lock_guard lock(mu_);
      lines_.push_back(std::move(line));
    }
    changed_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::optional<WebSocketClient::Ending> ending_;
};

PinnedTrust pinnedTo(const std::string& caPEM) {
  auto key = AgentCrypto::ed25519PublicKey("11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=").value();
  return PinnedTrust{PinnedTrust::parseCertificates(caPEM), {}, key, key, "unused"};
}

// The client against the test control plane's quick-assist session gateway, a real WSS
// server: it relays nothing until a session's hello, then sends the session's script.
class WebSocketClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cp_ = new ControlPlane(); }
  static void TearDownTestSuite() { delete cp_; }

  struct Session {
    std::string id;
    URL gateway;
    std::string hello;
  };

  // A session redeemed with a code issued with `options` (the admin API's JSON).
  static Session openSession(const std::string& options = "{}") {
    auto issued = JSONScanner::parse(cp_->admin("POST", "/admin/quick-assist/codes", options).body).value();
    std::string code = *issued.stringAt("code");
    auto reply = HTTPClient(SystemTrustStore{}, 30)
                     .postJSON(cp_->baseURL() + "/api/quick-assist/join", CanonicalJSON::encode(JSONValue{{"code", code}}))
                     .value();
    auto joined = JSONScanner::parse(reply.bodyString()).value();
    std::string hello = CanonicalJSON::encode(
        JSONValue{{"type", "hello"}, {"token", *joined.stringAt("client_token")}, {"monitor", 0}});
    return {*joined.stringAt("session_id"), URL::parse(*joined.stringAt("gateway_url")).value(), hello};
  }
  // The session as the admin API lists it.
  static JSONValue sessionState(const std::string& id) {
    auto all = JSONScanner::parse(cp_->admin("GET", "/admin/quick-assist/sessions").body).value();
    for (const JSONValue& session : *all.arrayValue()) {
      if (*session.stringAt("session_id") == id) return session;
    }
    return JSONValue();
  }
  // The close code the gateway received from the client, once it has one.
  static std::optional<std::string> closeCodeSeen(const std::string& id) {
    for (int i = 0; i < 300; ++i) {
      JSONValue state = sessionState(id);
      const JSONValue* code = state["agent_close_code"];
      if (code && code->isNumber()) return *code->numberText();
      std::this_thread::sleep_for(100ms);
    }
    return std::nullopt;
  }

  std::shared_ptr<WebSocketClient> connect(const Session& session, WebSocketClient::Options options,
                                           WebSocketClient::Events events) {
    options.url = session.gateway;
    auto client = WebSocketClient::create(io_, std::move(options), std::move(events));
    client->send(session.hello);  // queued until the upgrade is done
    client->start();
    return client;
  }
  static void closeWith(WebSocketClient& client, std::uint16_t code) {
    auto closed = std::make_shared<std::promise<void>>();
    client.cancel(code, [closed] { closed->set_value(); });
    EXPECT_EQ(closed->get_future().wait_for(10s), std::future_status::ready);
  }

  static inline ControlPlane* cp_ = nullptr;
  testing::TempDir dir_;
  ScopedEnv trust_{"SSL_CERT_FILE", cp_->dir() + "/ca.pem"};
  ScopedEnv proxies_[6] = {{"https_proxy", std::nullopt}, {"HTTPS_PROXY", std::nullopt},
                           {"all_proxy", std::nullopt},   {"ALL_PROXY", std::nullopt},
                           {"no_proxy", std::nullopt},    {"NO_PROXY", std::nullopt}};
  WebSocketIO io_{"vela.test.ws"};
};

TEST_F(WebSocketClientTest, EachTrustPolicyBelievesOnlyItsOwnAnchors) {
  testing::TestCA other("Other Test CA");
  testing::writeFile(dir_.file("other.pem"), other.certificatePEM());
  struct Case {
    std::string name;
    ServerTrust trust;
    std::string systemStore;
    bool connects;
  };
  const Case cases[] = {
      {"the system store holding the server's CA", SystemTrustStore{}, cp_->dir() + "/ca.pem", true},
      {"the system store without it", SystemTrustStore{}, dir_.file("other.pem"), false},
      // Pinned trust never looks at the system store, whatever it holds.
      {"pinned to the server's CA", pinnedTo(cp_->caPem()), dir_.file("other.pem"), true},
      {"pinned to another CA", pinnedTo(other.certificatePEM()), cp_->dir() + "/ca.pem", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session session = openSession();
    ScopedEnv store("SSL_CERT_FILE", c.systemStore);
    auto recorder = std::make_shared<Recorder>();
    auto client = connect(session, {.trust = c.trust, .tls13Only = false}, recorder->events(false, false));
    if (c.connects) {
      ASSERT_TRUE(recorder->waitFor("opened"));
      closeWith(*client, 1001);
      EXPECT_EQ(closeCodeSeen(session.id), "1001");
      EXPECT_TRUE(sessionState(session.id)["hello"]->isObject());
    } else {
      ASSERT_TRUE(recorder->waitFor("failed "));
      EXPECT_THAT(recorder->lines(), ElementsAre("failed certificate verify failed (SSL routines)"));
      EXPECT_TRUE(recorder->ending().value().trustRejected);
      EXPECT_TRUE(sessionState(session.id)["hello"]->isNull());
    }
  }
}

TEST_F(WebSocketClientTest, AMessageOverTheLimitIsDroppedWithAHandlerAndEndsTheConnectionWithout) {
  const std::string mib(1 << 20, 'm');
  {
    SCOPED_TRACE("1 MiB, oversize handler, binary dropped");
    auto script = JSONValue::array({mib, "{" + mib + "}", "binary:dropped", "after"});
    Session session = openSession(CanonicalJSON::encode(JSONValue{{"script", script}}));
    auto recorder = std::make_shared<Recorder>();
    auto client = connect(session, {.trust = pinnedTo(cp_->caPem())}, recorder->events(true, true));
    ASSERT_TRUE(recorder->waitFor("message after"));
    closeWith(*client, 1001);
    EXPECT_THAT(recorder->lines(),
                ElementsAre("opened", "message 1048576 bytes", "oversize 1048578 {mmmmmmm..mmmmmmm}", "message after"));
    EXPECT_EQ(closeCodeSeen(session.id), "1001");
  }
  {
    SCOPED_TRACE("4 MiB, binary as text, no oversize handler");
    const std::string fourMiB(4 << 20, 'f');
    auto script = JSONValue::array({"binary:" + fourMiB, fourMiB + "+", "never"});
    Session session = openSession(CanonicalJSON::encode(JSONValue{{"script", script}}));
    auto recorder = std::make_shared<Recorder>();
    auto client = connect(session,
                          {.trust = SystemTrustStore{}, .tls13Only = false, .maxMessageBytes = 4 << 20, .binaryAsText = true},
                          recorder->events(false, false));
    ASSERT_TRUE(recorder->waitFor("failed "));
    // The client closes with 1009 while the server is still sending; the failure is in the
    // words of whichever step saw the end first (the limit, or TLS refusing the rest), and
    // the server may not get to read the close.
    EXPECT_THAT(recorder->lines(), ElementsAre("opened", "message 4194304 bytes", StartsWith("failed ")));
    EXPECT_TRUE(closeCodeSeen(session.id));
  }
}

// The gateway's refusal of a wrong hello: an error message, then its closing handshake.
TEST_F(WebSocketClientTest, APeersCloseComesWithItsCodeOrAsAFailureInTheLibrarysWords) {
  for (bool withClosed : {true, false}) {
    Session session = openSession();
    session.hello = R"({"monitor":0,"token":"wrong","type":"hello"})";
    auto recorder = std::make_shared<Recorder>();
    auto client = connect(session, {.trust = SystemTrustStore{}, .tls13Only = false},
                          recorder->events(false, withClosed));
    ASSERT_TRUE(recorder->waitFor(withClosed ? "closed " : "failed "));
    EXPECT_THAT(recorder->lines(),
                ElementsAre("opened", R"(message {"type": "error", "code": "unauthorized"})",
                            withClosed ? "closed 1000"
                                       : "failed The WebSocket stream was gracefully closed at both endpoints"));
  }
}

}  // namespace
}  // namespace vela
