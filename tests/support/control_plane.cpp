#include "support/control_plane.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "support/agent_process.h"
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

std::string queryFor(const std::string& agentId) {
  std::string out;
  for (unsigned char c : agentId) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return agentId.empty() ? "" : "?agent_id=" + out;
}

}  // namespace

ControlPlane::ControlPlane() : dir_(tmp_.file("cp")) {
  ProcessOutput init = runProcess(kPython, {VELA_CONTROLPLANE, "init", dir_});
  if (init.status != 0) throw std::runtime_error("control plane init failed: " + init.err);

  // Everything the child needs is prepared before fork(): other test threads may hold
  // the allocator's lock at that moment.
  std::string log = tmp_.file("server.log");
  std::vector<std::string> args = {kPython, VELA_CONTROLPLANE, "serve", dir_,
                                   "--port", "0", "--admin-port", "0"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("control plane: fork failed");
  if (pid_ == 0) {
    // A test binary that crashes must not leave servers behind. (The signal follows the
    // creating thread, so create the object on the thread that outlives it.)
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int devNull = ::open("/dev/null", O_RDONLY);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    if (devNull >= 0) ::dup2(devNull, 0);
    ::execv(kPython, argv.data());
    ::_exit(127);
  }

  try {
    waitUntilServing();
  } catch (...) {
    stop();  // no destructor runs for a constructor that throws
    throw;
  }
}

void ControlPlane::waitUntilServing() {
  // The server writes ports.json atomically once both listeners are up. No deadline:
  // a server that exits is noticed here, one that hangs is the test runner's to report.
  std::string portsFile = dir_ + "/ports.json";
  while (!std::filesystem::exists(portsFile)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("control plane exited during start:\n" + serverLog());
    }
    std::this_thread::sleep_for(20ms);
  }
  Json ports = Json::parse(readFileOrEmpty(portsFile), nullptr, false);
  if (!ports.is_object() || !ports["port"].is_number() || !ports["admin_port"].is_number()) {
    throw std::runtime_error("control plane: unreadable ports.json");
  }
  port_ = ports["port"].get<int>();
  adminPort_ = ports["admin_port"].get<int>();
  expect(200, "GET", "/admin/health");
}

ControlPlane::~ControlPlane() { stop(); }

void ControlPlane::stop() {
  if (pid_ <= 0) return;
  pid_t pid = std::exchange(pid_, -1);
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 250; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(20ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

std::string ControlPlane::baseURL() const {
  return "https://127.0.0.1:" + std::to_string(port_);
}

std::string ControlPlane::adminURL() const {
  return "http://127.0.0.1:" + std::to_string(adminPort_);
}

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

std::string ControlPlane::serverLog() const { return readFileOrEmpty(tmp_.file("server.log")); }

ControlPlane::Reply ControlPlane::admin(const std::string& method, const std::string& path,
                                        const std::string& jsonBody) const {
  std::vector<std::string> args = {"-sS", "-X", method, "-w", "\n%{http_code}"};
  if (!jsonBody.empty()) {
    args.insert(args.end(),
                {"-H", "Content-Type: application/json", "--data-binary", "@-"});
  }
  args.push_back(adminURL() + path);
  ProcessOutput out = runProcess(kCurl, args, {}, jsonBody);
  Reply reply;
  std::size_t cut = out.out.rfind('\n');
  if (cut == std::string::npos) return reply;
  reply.status = std::atoi(out.out.c_str() + cut + 1);
  reply.body = out.out.substr(0, cut);
  return reply;
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
  return expect(200, "GET", "/admin/" + what + queryFor(agentId));
}

std::string ControlPlane::agents() const { return listing("agents", ""); }
std::string ControlPlane::results(const std::string& agentId) const {
  return listing("results", agentId);
}
std::string ControlPlane::heartbeats(const std::string& agentId) const {
  return listing("heartbeats", agentId);
}
std::string ControlPlane::commands(const std::string& agentId) const {
  return listing("commands", agentId);
}
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
  Json body = {{"path", fault.path}, {"count", fault.count}};
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
  if (!fault.agentId.empty()) body["agent_id"] = fault.agentId;
  expect(201, "POST", "/admin/faults", body.dump());
}

void ControlPlane::clearFaults() const { expect(204, "DELETE", "/admin/faults"); }

}  // namespace vela::testing
