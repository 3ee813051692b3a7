#include "remote/gateway_fixture.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "support/build_paths.h"
#include "support/temp_dir.h"
#include "util/json_scanner.h"

namespace vela::testing {

const std::string kAgentPath = std::string("/agents/") + GatewayProcess::kToken;

GatewayProcess::GatewayProcess(const std::string& dir, std::vector<std::string> extraArgs) {
  std::filesystem::remove(dir + "/gateway.json");
  std::vector<std::string> args = {
      sourcePath("tools/controlplane/gateway.py"), dir, "--port", "8443", "--accept-token", kToken};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  server_ = std::make_unique<BackgroundProcess>("/usr/bin/python3", args,
                                                Environment{{"PYTHONDONTWRITEBYTECODE", "1"}});
  bool up = BackgroundProcess::waitUntil(
      [&] { return server_->out().find("gateway: ready") != std::string::npos || server_->exited(); });
  auto info = JSONScanner::parse(readFileOrEmpty(dir + "/gateway.json"));
  if (up && !server_->exited() && info && (*info)["operator_port"]) {
    operatorPort_ = static_cast<int>((*info)["operator_port"]->intValue().value_or(-1));
  }
}

GatewayProcess::~GatewayProcess() { server_->stop(SIGTERM); }

void GatewayProcess::kill() { server_->stop(SIGKILL); }

// As the control plane's admin calls; a status other than 2xx is a failure.
std::optional<std::string> GatewayProcess::http(const std::string& method, const std::string& path,
                                                const std::string& body) {
  std::vector<std::string> args = {"-sSf", "--noproxy", "*", "-X", method};
  if (method == "POST") args.insert(args.end(), {"--data-binary", "@-"});
  args.push_back("http://127.0.0.1:" + std::to_string(operatorPort_) + path);
  ProcessOutput reply = runProcess("/usr/bin/curl", args, {}, body);
  return reply.status == 0 ? std::optional(reply.out) : std::nullopt;
}

bool GatewayProcess::send(const std::string& frameText) {
  return http("POST", kAgentPath + "/send", frameText).has_value();
}

std::optional<JSONValue> GatewayProcess::getJSON(const std::string& path) {
  auto body = http("GET", path);
  if (!body) return std::nullopt;
  auto doc = JSONScanner::parse(*body);
  return doc ? std::optional(*doc) : std::nullopt;
}

std::optional<JSONValue> GatewayProcess::nextOfType(const std::string& type,
                                                    const std::string& session) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  for (;;) {
    while (!pending_.empty()) {
      JSONValue frame = std::move(pending_.front());
      pending_.erase(pending_.begin());
      if (frame["type"] && frame["type"]->stringValue() == type && frame["session_id"] &&
          frame["session_id"]->stringValue() == session) {
        return frame;
      }
      skipped.push_back(std::move(frame));
    }
    auto left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return std::nullopt;
    auto doc = getJSON(kAgentPath + "/frames?since=" + std::to_string(next_) +
                       "&wait=" + std::to_string(std::min(left, 5.0)));
    if (const auto* list = doc && (*doc)["frames"] ? (*doc)["frames"]->arrayValue() : nullptr) {
      for (const auto& f : *list) {
        auto parsed = JSONScanner::parse(f.stringValue().value_or(""));
        pending_.push_back(parsed ? *parsed : f);
        ++next_;
      }
    }
  }
}

std::vector<JSONValue> GatewayProcess::connections() {
  auto doc = getJSON("/connections");
  return doc && doc->arrayValue() ? *doc->arrayValue() : std::vector<JSONValue>{};
}

bool GatewayProcess::throttle(double bytesPerSecond) {
  std::string body = "{\"rate\":" + std::to_string(bytesPerSecond) + "}";
  return http("POST", kAgentPath + "/throttle", body).has_value();
}

std::int64_t GatewayProcess::throttledStdoutBytes() {
  auto doc = getJSON(kAgentPath + "/throttle");
  return doc && (*doc)["stdout_bytes"] ? (*doc)["stdout_bytes"]->intValue().value_or(-1) : -1;
}

int countOpenDescriptors() {
  auto fds = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(fds), end(fds)));
}

int countChildProcesses() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = readFileOrEmpty(entry.path() / "stat");
    // After the command's closing parenthesis come the state and the parent pid.
    auto close = stat.rfind(')');
    int ppid = 0;
    if (close != std::string::npos && std::sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 &&
        ppid == ::getpid())
      ++count;
  }
  return count;
}

}  // namespace vela::testing
