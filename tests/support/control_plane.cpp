#include "support/build_paths.h"
#include "support/control_plane.h"

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/background_process.h"
#include "util/base64.h"

namespace vela::testing {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

const char* const kPython = "/usr/bin/python3";
const char* const kCurl = "/usr/bin/curl";

std::string jsonField(const std::string& text, const std::string& key) {
  Json doc = Json::parse(text, nullptr, false);
  if (!doc.is_object() || !doc.contains(key) || !doc[key].is_string()) {
    throw std::runtime_error("control plane: no '" + key + "' in " + text);
  }
  return doc[key].get<std::string>();
}

}  // namespace

ControlPlane::ControlPlane() : dir_(tmp_.file("cp")) {
  ProcessOutput init = runProcess(kPython, {sourcePath("tools/controlplane/controlplane.py"), "init", dir_});
  if (init.status != 0) throw std::runtime_error("control plane init failed: " + init.err);
  server_ = std::make_unique<BackgroundProcess>(
      kPython, std::vector<std::string>{sourcePath("tools/controlplane/controlplane.py"), "serve", dir_, "--port", "0", "--admin-port", "0"});
  // The server writes ports.json atomically once both listeners are up. No deadline:
  // a server that exits is noticed here, one that hangs is the test runner's to report.
  std::string portsFile = dir_ + "/ports.json";
  while (!std::filesystem::exists(portsFile)) {
    if (server_->exited()) {
      throw std::runtime_error("control plane exited during start:\n" + server_->out() + server_->err());
    }
    std::this_thread::sleep_for(20ms);
  }
  Json ports = Json::parse(readFileOrEmpty(portsFile));
  port_ = ports.at("port").get<int>();
  adminPort_ = ports.at("admin_port").get<int>();
  expect(200, "GET", "/admin/health");
}

ControlPlane::~ControlPlane() { server_->stop(SIGTERM); }

std::string ControlPlane::baseURL() const { return "https://127.0.0.1:" + std::to_string(port_); }

std::string ControlPlane::caPem() const { return readFileOrEmpty(dir_ + "/ca.pem"); }

std::string ControlPlane::provisioningJSON() const {
  return readFileOrEmpty(dir_ + "/provisioning.json");
}

std::string ControlPlane::commandPublicKey() const {
  return jsonField(provisioningJSON(), "commandPubkey");
}

std::string ControlPlane::updatePublicKey() const {
  return jsonField(provisioningJSON(), "updatePubkey");
}

void ControlPlane::pinInto(const std::string& stateDir) const {
  std::filesystem::create_directories(stateDir + "/pinned");
  writeFile(stateDir + "/pinned/ca.pem", caPem());
  writeFile(stateDir + "/pinned/command_pubkey.b64", commandPublicKey());
  writeFile(stateDir + "/pinned/update_pubkey.b64", updatePublicKey());
}

ControlPlane::Enrolment ControlPlane::enrolAgent(const std::string& hostname) const {
  TempDir keys;
  auto openssl = [&](const std::vector<std::string>& args) {
    ProcessOutput out = runProcess("/usr/bin/openssl", args);
    if (out.status != 0) throw std::runtime_error("openssl failed: " + out.err);
    return out.out;
  };
  openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", keys.file("key.pem")});
  Json request = {{"token", newToken()},
                  {"hostname", hostname},
                  {"public_key", openssl({"pkey", "-in", keys.file("key.pem"), "-pubout"})},
                  {"csr", openssl({"req", "-new", "-key", keys.file("key.pem"), "-subj", "/CN=" + hostname})}};
  ProcessOutput reply = runProcess(kCurl,
                                   {"-sS", "--fail", "--cacert", dir_ + "/ca.pem", "-H", "Content-Type: application/json",
                                    "--data-binary", "@-", baseURL() + "/api/agent/enroll"},
                                   {}, request.dump());
  if (reply.status != 0) throw std::runtime_error("enrolment failed: " + reply.err);
  return {jsonField(reply.out, "agent_id"), jsonField(reply.out, "device_token")};
}

ControlPlane::Reply ControlPlane::admin(const std::string& method, const std::string& path,
                                        const std::string& jsonBody) const {
  std::vector<std::string> args = {"-sS", "-X", method, "-w", "\n%{http_code}"};
  if (!jsonBody.empty()) {
    args.insert(args.end(), {"-H", "Content-Type: application/json", "--data-binary", "@-"});
  }
  args.push_back("http://127.0.0.1:" + std::to_string(adminPort_) + path);
  ProcessOutput out = runProcess(kCurl, args, {}, jsonBody);
  std::size_t cut = out.out.rfind('\n');
  if (cut == std::string::npos) return {};
  return {std::atoi(out.out.c_str() + cut + 1), out.out.substr(0, cut)};
}

std::string ControlPlane::expect(int status, const std::string& method,
                                 const std::string& path, const std::string& body) const {
  Reply reply = admin(method, path, body);
  if (reply.status != status) {
    throw std::runtime_error("control plane: " + method + " " + path + " answered " +
                             std::to_string(reply.status) + ": " + reply.body);
  }
  return reply.body;
}

std::string ControlPlane::newToken() const {
  return jsonField(expect(201, "POST", "/admin/tokens", "{}"), "token");
}

std::string ControlPlane::queueCommand(const std::string& agentId, const std::string& type,
                                       const std::string& payloadJson,
                                       const std::string& tamper) const {
  Json body = {{"agent_id", agentId}, {"type", type}, {"payload_json", payloadJson}};
  if (!tamper.empty()) body["tamper"] = tamper;
  return jsonField(expect(201, "POST", "/admin/commands", body.dump()), "id");
}

std::string ControlPlane::listing(const std::string& what, const std::string& agentId) const {
  return expect(200, "GET", "/admin/" + what + (agentId.empty() ? "" : "?agent_id=" + agentId));
}

std::string ControlPlane::agents() const { return listing("agents", ""); }
std::string ControlPlane::results(const std::string& id) const { return listing("results", id); }
std::string ControlPlane::heartbeats(const std::string& agentId) const {
  return listing("heartbeats", agentId);
}
std::string ControlPlane::commands(const std::string& id) const { return listing("commands", id); }
std::string ControlPlane::requests() const { return listing("requests", ""); }

std::string ControlPlane::publishUpdate(const std::string& version, const std::string& file,
                                        const std::string& channel,
                                        const std::string& tamper) const {
  Json body = {{"version", version},
               {"file", std::filesystem::absolute(file).string()},
               {"channel", channel}};
  if (!tamper.empty()) body["tamper"] = tamper;
  return expect(201, "POST", "/admin/updates", body.dump());
}

void ControlPlane::scriptFault(const Fault& fault) const {
  Json body = {{"path", fault.path}};
  if (fault.status) body["status"] = *fault.status;
  if (fault.body && fault.contentEncoding.empty()) body["body"] = *fault.body;
  if (fault.body && !fault.contentEncoding.empty()) {
    body["body_base64"] = Base64::encode(std::string_view(*fault.body));
    body["content_encoding"] = fault.contentEncoding;
  }
  if (fault.delaySeconds > 0) body["delay"] = fault.delaySeconds;
  if (fault.drop) body["drop"] = true;
  if (fault.patch) body["patch"] = Json::parse(*fault.patch);
  if (fault.repeat != 1) body["repeat"] = fault.repeat;
  expect(201, "POST", "/admin/faults", body.dump());
}

void ControlPlane::clearFaults() const { expect(204, "DELETE", "/admin/faults"); }

}  // namespace vela::testing
