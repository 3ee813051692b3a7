#include "quickassist/quick_assist_client.h"

#include <thread>
#include <type_traits>

#include "quickassist/qa_http.h"
#include "quickassist/qa_recording_upload.h"
#include "net/endpoints.h"
#include "net/websocket_client.h"
#include "util/base64.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"
#include "util/json_value.h"
#include "util/log.h"
#include "util/overloaded.h"
#include "util/serial_queue.h"
#include "util/utf8.h"

namespace vela {
namespace {

const JSONValue* member(const JSONValue& object, const char* first, const char* second) {
  if (const JSONValue* value = object[first]) return value;
  return object[second];
}

const std::string* stringMember(const JSONValue& object, const char* name) {
  const JSONValue* value = object[name];
  return value ? value->stringRef() : nullptr;
}

bool flag(const JSONValue& object, const char* name) {
  const JSONValue* value = object[name];
  auto b = value ? value->boolValue() : std::nullopt;
  return b.value_or(true);
}

std::vector<IceServer> iceServers(const JSONValue* data) {
  const std::string* text = data ? data->stringRef() : nullptr;
  if (!text) return {};
  auto bytes = Base64::decode(*text);
  if (!bytes) return {};
  auto document = JSONScanner::parse(std::span<const std::uint8_t>(bytes->data(), bytes->size()));
  if (!document || !document->isObject()) return {};
  const JSONValue* ice = (*document)["ice"];
  if (!ice || !ice->isObject()) return {};
  const JSONValue* urls = (*ice)["urls"];
  if (!urls || !urls->isArray()) return {};
  const std::string* username = stringMember(*ice, "username");
  const std::string* credential = stringMember(*ice, "credential");
  std::vector<IceServer> servers;
  for (const JSONValue& url : *urls->arrayValue()) {
    if (!url.stringRef()) continue;
    IceServer server;
    server.urls = {*url.stringRef()};
    if (username) server.username = *username;
    if (credential) server.credential = *credential;
    servers.push_back(std::move(server));
  }
  return servers;
}

// The local path of a recording kept on this machine, if it is one.
std::optional<std::string> localPath(const std::string& storage) {
  constexpr std::string_view kFile = "file://";
  if (storage.rfind(kFile, 0) == 0) return storage.substr(kFile.size());
  if (!storage.empty() && storage.front() == '/') return storage;
  return std::nullopt;
}

}  // namespace

std::shared_ptr<QuickAssistClient> QuickAssistClient::create(std::string serverBaseURL, std::string code,
                                                             PeerFactory peerFactory) {
  return std::shared_ptr<QuickAssistClient>(
      new QuickAssistClient(std::move(serverBaseURL), std::move(code), std::move(peerFactory)));
}

QuickAssistClient::QuickAssistClient(std::string serverBaseURL, std::string code, PeerFactory peerFactory)
    : serverBaseURL_(std::move(serverBaseURL)), code_(std::move(code)), peerFactory_(std::move(peerFactory)) {}

QuickAssistClient::~QuickAssistClient() {
  if (!ws_) return;
  // The closing handshake has its grace before the socket's thread is stopped, so that
  // ending a session never hangs the program; on that thread there is no waiting.
  auto closed = std::make_shared<Semaphore>();
  ws_->cancel(1001, [closed] { closed->signal(); });
  if (!io_->isCurrentThread()) closed->waitFor(WebSocketClient::kCloseGrace + std::chrono::seconds(1));
  ws_.reset();
  io_.reset();
}

void QuickAssistClient::status(const std::string& text) const {
  if (onStatus_) onStatus_(text);
}

Result<QuickAssistClient::JoinResult> QuickAssistClient::parseJoin(long status, const std::string& body) {
  auto document = JSONScanner::parse(body);
  if (status != 201 || !document || !document->isObject()) {
    std::string text = UTF8::isValid(body) ? body : std::string();
    return fail("join HTTP " + std::to_string(status) + ": " + text);
  }
  const std::string* session = stringMember(*document, "session_id");
  const std::string* token = stringMember(*document, "client_token");
  const std::string* gateway = stringMember(*document, "gateway_url");
  if (!session || !token || !gateway || !URL::parse(*gateway)) return fail("join response missing fields");
  return JoinResult{*session, *token, *gateway, flag(*document, "recording_required"),
                    flag(*document, "indicator_required")};
}

Result<void> QuickAssistClient::start() {
  status("Löse Code ein…");
  std::string body = CanonicalJSON::encode(JSONValue{{"code", code_}});
  auto reply = VELA_TRY(QAHttp::postJSON(Endpoints{serverBaseURL_}.quickAssistJoin(), body, {}));
  join_ = VELA_TRY(parseJoin(reply.status, reply.body));
  connect();
  return {};
}

void QuickAssistClient::connect() {
  status("Verbinde mit Gateway…");
  std::weak_ptr<QuickAssistClient> weak = weak_from_this();
  WebSocketClient::Events events;
  events.message = [weak](std::string text) {
    if (auto self = weak.lock()) self->received(text);
  };
  events.failed = [weak](std::string error) {
    if (auto self = weak.lock()) self->finish("gateway_closed: " + error);
  };
  auto url = URL::parse(join_->gatewayURL);
  if (url->scheme != "wss" && url->scheme != "https") {
    finish("gateway_closed: refusing non-https " + join_->gatewayURL);
    return;
  }
  events.sendFailed = [](std::string error) { Log::warn("quick-assist ws send: " + error); };
  // The session gateway is a public server: the system's trust store, TLS 1.2 or later.
  WebSocketClient::Options options{.url = *url,
                                   .trust = SystemTrustStore{},
                                   .tls13Only = false,
                                   .connectTimeout = std::chrono::seconds(30),
                                   .maxMessageBytes = 4 * 1024 * 1024,
                                   .binaryAsText = true,
                                   .frameBytes = 4096};
  io_ = std::make_unique<WebSocketIO>("vela.qa.ws");
  ws_ = WebSocketClient::create(*io_, std::move(options), std::move(events));
  send(JSONValue{{"type", "hello"}, {"token", join_->clientToken}, {"monitor", 0}});
  ws_->start();
}

void QuickAssistClient::send(const JSONValue& message) {
  if (ws_) ws_->send(CanonicalJSON::encode(message));
}

void QuickAssistClient::received(const std::string& text) {
  auto document = JSONScanner::parse(text);
  if (!document || !document->isObject()) return;
  const JSONValue* typeValue = member(*document, "type", "Type");
  const std::string* type = typeValue ? typeValue->stringRef() : nullptr;
  if (!type) return;
  const JSONValue* data = member(*document, "Data", "data");
  if (*type == "ready") {
    startSession(data);
  } else if (*type == "signal") {
    const std::string* text64 = data ? data->stringRef() : nullptr;
    auto signal = text64 ? DesktopSignal::decode(*text64) : std::nullopt;
    if (!signal) return;
    std::shared_ptr<DesktopSessionController> controller;
    {
      MutexLock guard(lock_);
      controller = controller_;
    }
    if (!controller) return;
    if (auto description = signal->description())
      controller->peer().setRemoteDescription(*description);
    else if (auto* candidate = std::get_if<IceCandidate>(&signal->payload))
      controller->peer().addRemoteCandidate(*candidate);
  } else if (*type == "renegotiate") {
    Log::info("quick-assist: operator rejoined — renegotiating");
    std::shared_ptr<DesktopSessionController> controller;
    {
      MutexLock guard(lock_);
      controller = controller_;
    }
    if (controller) controller->renegotiate();
  } else if (*type == "error") {
    const std::string* code = stringMember(*document, "code");
    finish("gateway_error: " + (code ? *code : std::string("?")));
  } else if (*type == "ended") {
    finish("ended");
  }
}

void QuickAssistClient::startSession(const JSONValue* data) {
  {
    MutexLock guard(lock_);
    if (controller_ || closed_) return;
  }
  status("Warte auf Operator…");
  DesktopOpenConfig config;
  config.iceServers = iceServers(data);
  config.mode = "attended";
  config.recordingRequired = join_ ? join_->recordingRequired : true;
  config.consentRequired = false;
  config.indicatorText = kIndicatorText;
  config.monitor = 0;
  auto parts = peerFactory_ ? peerFactory_() : fail("no desktop backend");
  if (!parts) {
    Log::warn("quick-assist desktop error: " + parts.error().message);
    finish("session_failed: " + parts.error().message);
    return;
  }
  // The person asked for this session themselves, and the program shows its own banner.
  parts->indicator = nullptr;
  parts->indicatorRequired = false;
  parts->consent = nullptr;
  std::weak_ptr<QuickAssistClient> weak = weak_from_this();
  auto controller = DesktopSessionController::create(
      std::move(*parts), config, std::nullopt,
      [weak](const SignalingMessage& message) {
        if (auto self = weak.lock()) self->sendSignal(message);
      },
      [weak](const DesktopLifecycle& event) {
        if (auto self = weak.lock()) self->lifecycle(event);
      });
  {
    MutexLock guard(lock_);
    // The gateway thread is the only caller, but a finish may have come in between.
    if (controller_ || closed_) return;
    controller_ = controller;
  }
  settlement_->update(0, true);
  controller->open();
}

void QuickAssistClient::sendSignal(const SignalingMessage& message) {
  std::visit(Overloaded{
                 [&](const SessionDescription& description) {
                   send(JSONValue{{"type", "signal"},
                                  {"Data", DesktopSignal::fromDescription(description).encodeBase64()}});
                 },
                 [&](const IceCandidate& candidate) {
                   send(JSONValue{{"type", "signal"}, {"Data", DesktopSignal{candidate}.encodeBase64()}});
                 },
                 [&](const SignalingMessage::Close& close) {
                   send(JSONValue{{"type", "close"}, {"reason", close.reason}});
                 },
             },
             message.payload);
}

void QuickAssistClient::lifecycle(const DesktopLifecycle& event) {
  std::visit(Overloaded{
                 [&](const DesktopLifecycle::Opened&) {
                   everOpened_ = true;
                   status(kConnectedStatus);
                 },
                 [&](const DesktopLifecycle::RecordingFinal& e) { uploadRecording(e.final); },
                 [&](const DesktopLifecycle::Error& e) {
                   Log::warn("quick-assist desktop error: " + e.message);
                 },
                 [&](const DesktopLifecycle::Closed& e) {
                   finish(e.reason);
                   settlement_->update(0, false);
                 },
                 [](const auto&) {},
             },
             event.event);
}

void QuickAssistClient::close(const std::string& reason) {
  send(JSONValue{{"type", "end"}});
  std::shared_ptr<DesktopSessionController> controller;
  {
    MutexLock guard(lock_);
    controller = controller_;
  }
  if (controller) controller->close(reason, true);
  finish(reason);
}

void QuickAssistClient::finish(const std::string& reason) {
  std::shared_ptr<DesktopSessionController> controller;
  {
    MutexLock guard(lock_);
    if (closed_) return;
    closed_ = true;
    controller = controller_;
  }
  if (controller) controller->close(reason, true);
  if (ws_) ws_->cancel(1001);
  Log::info("quick-assist session over: " + reason);
  if (onClosed_) onClosed_(reason, everOpened_.load());
}

void QuickAssistClient::uploadRecording(const DesktopRecordingFinal& final) {
  auto path = localPath(final.storage);
  if (!path || !join_) return;
  settlement_->update(1, std::nullopt);
  Log::debug("quick-assist recording " + *path + " (sha256 " + final.sha256 + ")");
  QARecordingUpload::Session session{Endpoints{serverBaseURL_}.quickAssistPresign(), join_->sessionID,
                                     join_->clientToken};
  QARecordingUpload::Recording recording{*path, final.format, final.bytes};
  std::thread([settlement = settlement_, onStatus = onStatus_, session, recording] {
    // The person who asked for help is the one who can hand a kept recording on.
    if (!QARecordingUpload::upload(session, recording)) {
      {
        MutexLock guard(settlement->mu);
        settlement->kept.push_back(recording.path);
      }
      if (onStatus) onStatus("Aufzeichnung nicht hochgeladen; sie liegt unter " + recording.path);
    }
    settlement->update(-1, std::nullopt);
  }).detach();
}

void QuickAssistClient::Settlement::update(int uploadsDelta, std::optional<bool> running) {
  {
    MutexLock guard(mu);
    uploadsInFlight += uploadsDelta;
    if (running) sessionRunning = *running;
  }
  changed.notifyAll();
}

std::vector<std::string> QuickAssistClient::keptRecordings() const {
  MutexLock guard(settlement_->mu);
  return settlement_->kept;
}

bool QuickAssistClient::waitUntilSettled(std::chrono::milliseconds limit) {
  Settlement& s = *settlement_;
  const auto deadline = CondVar::Clock::now() + limit;
  MutexLock guard(s.mu);
  while (s.sessionRunning || s.uploadsInFlight != 0) {
    if (!s.changed.waitUntil(s.mu, deadline)) return !s.sessionRunning && s.uploadsInFlight == 0;
  }
  return true;
}

}  // namespace vela
