#include "remote/gateway_fixture.h"

#include <curl/curl.h>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/agent_process.h"
#include "support/temp_dir.h"
#include "util/base64.h"
#include "util/json_scanner.h"

namespace vela::testing {

namespace {

bool sh(const std::string& script) {
  auto result = runProcess("/bin/sh", {"-c", script});
  return result.status == 0;
}

std::string shellQuote(const std::string& s) { return "'" + s + "'"; }

size_t collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

}  // namespace

bool makeCertificates(const std::string& dir, const std::string& caName) {
  std::string d = shellQuote(dir);
  std::string ext = dir + "/server.ext";
  writeFile(ext,
            "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n"
            "extendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n");
  return sh("set -e; cd " + d +
            "; openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
            " -keyout ca.key -out ca.pem -days 30 -subj " +
            shellQuote("/CN=" + caName) +
            " -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null;"
            " openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
            " -keyout server.key -out server.csr -subj /CN=localhost 2>/dev/null;"
            " openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
            " -out server.pem -days 30 -extfile server.ext 2>/dev/null");
}

bool writePinnedTrust(const std::string& stateDir, const std::string& caPemPath) {
  std::string pinned = stateDir + "/pinned";
  std::filesystem::create_directories(pinned);
  std::filesystem::copy_file(caPemPath, pinned + "/ca.pem",
                             std::filesystem::copy_options::overwrite_existing);
  std::string p = shellQuote(pinned);
  return sh("set -e; cd " + p +
            "; for k in command update; do openssl genpkey -algorithm ed25519 2>/dev/null"
            " | openssl pkey -pubout > ${k}_pubkey.b64; done");
}

GatewayProcess::GatewayProcess(std::string dir, std::vector<std::string> extraArgs, int port)
    : dir_(std::move(dir)) {
  std::filesystem::remove(dir_ + "/gateway.json");
  std::vector<std::string> args = {"/usr/bin/python3",
                                   std::string(VELA_SOURCE_DIR) + "/tools/controlplane/gateway.py",
                                   dir_,
                                   "--port",
                                   std::to_string(port),
                                   "--accept-token",
                                   kToken};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Prepared before fork: the test process has other threads, so the child may only
  // make async-signal-safe calls.
  std::vector<std::string> env = {"PYTHONDONTWRITEBYTECODE=1"};
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    // A test run that is killed must not leave a gateway holding the port.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  std::string seen;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (seen.find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd fd{out[0], POLLIN, 0};
    if (poll(&fd, 1, 500) <= 0) continue;
    char buf[512];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  if (seen.find("gateway: ready") == std::string::npos) return;
  auto info = JSONScanner::parse(readFileOrEmpty(dir_ + "/gateway.json"));
  if (info && (*info)["operator_port"]) {
    operatorPort_ = static_cast<int>((*info)["operator_port"]->intValue().value_or(-1));
  }
}

GatewayProcess::~GatewayProcess() { terminate(); }

void GatewayProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void GatewayProcess::terminate() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::optional<std::string> GatewayProcess::http(const std::string& method, const std::string& path,
                                                const std::string& body) {
  CURL* curl = curl_easy_init();
  if (!curl) return std::nullopt;
  std::string url = "http://127.0.0.1:" + std::to_string(operatorPort_) + path;
  std::string response;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  if (method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK || status != 200) return std::nullopt;
  return response;
}

bool GatewayProcess::send(const std::string& frameText, const std::string& agent) {
  return http("POST", "/agents/" + agent + "/send", frameText).has_value();
}

std::vector<std::string> GatewayProcess::frames(std::size_t since, double waitSeconds,
                                                std::size_t* next, const std::string& agent) {
  auto body = http("GET", "/agents/" + agent + "/frames?since=" + std::to_string(since) +
                              "&wait=" + std::to_string(waitSeconds));
  std::vector<std::string> out;
  if (!body) return out;
  auto doc = JSONScanner::parse(*body);
  if (!doc) return out;
  if (const auto* list = (*doc)["frames"] ? (*doc)["frames"]->arrayValue() : nullptr) {
    for (const auto& f : *list) out.push_back(f.stringValue().value_or(""));
  }
  if (next) *next = since + out.size();
  return out;
}

std::vector<JSONValue> GatewayProcess::connections() {
  auto body = http("GET", "/connections");
  if (!body) return {};
  auto doc = JSONScanner::parse(*body);
  if (!doc || !doc->arrayValue()) return {};
  return *doc->arrayValue();
}

bool GatewayProcess::throttle(std::optional<double> bytesPerSecond, const std::string& agent) {
  std::string rate = bytesPerSecond ? std::to_string(*bytesPerSecond) : "null";
  return http("POST", "/agents/" + agent + "/throttle", "{\"rate\":" + rate + "}").has_value();
}

std::int64_t GatewayProcess::throttledStdoutBytes(const std::string& agent) {
  auto body = http("GET", "/agents/" + agent + "/throttle");
  if (!body) return -1;
  auto doc = JSONScanner::parse(*body);
  if (!doc || !(*doc)["stdout_bytes"]) return -1;
  return (*doc)["stdout_bytes"]->intValue().value_or(-1);
}

std::vector<std::string> GatewayProcess::connectedAgents() {
  std::vector<std::string> out;
  auto body = http("GET", "/agents");
  if (!body) return out;
  auto doc = JSONScanner::parse(*body);
  if (!doc || !doc->arrayValue()) return out;
  for (const auto& a : *doc->arrayValue()) {
    if (a["agent"]) out.push_back(a["agent"]->stringValue().value_or(""));
  }
  return out;
}

std::optional<JSONValue> FrameReader::next(const std::function<bool(const JSONValue&)>& match,
                                           double patienceSeconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(patienceSeconds * 1000));
  for (;;) {
    while (!pending_.empty()) {
      JSONValue frame = std::move(pending_.front());
      pending_.erase(pending_.begin());
      if (match(frame)) return frame;
      skipped.push_back(std::move(frame));
    }
    auto left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return std::nullopt;
    for (const auto& text : gateway_.frames(next_, std::min(left, 5.0), &next_)) {
      auto parsed = JSONScanner::parse(text);
      pending_.push_back(parsed ? *parsed : JSONValue(text));
    }
  }
}

std::optional<JSONValue> FrameReader::nextOfType(const std::string& type, const std::string& session,
                                                 double patienceSeconds) {
  return next(
      [&](const JSONValue& f) {
        return f["type"] && f["type"]->stringValue() == type && f["session_id"] &&
               f["session_id"]->stringValue() == session;
      },
      patienceSeconds);
}

std::string FrameReader::outputUntilExit(const std::string& session, JSONValue* exitFrame,
                                         double patienceSeconds) {
  std::string output;
  for (;;) {
    auto frame = next(
        [&](const JSONValue& f) {
          return f["session_id"] && f["session_id"]->stringValue() == session;
        },
        patienceSeconds);
    if (!frame) return output;
    auto type = (*frame)["type"] ? (*frame)["type"]->stringValue() : std::nullopt;
    if (type == "shell.stdout") {
      auto bytes = Base64::decode((*frame)["data"]->stringValue().value_or(""));
      if (bytes) output.append(bytes->begin(), bytes->end());
    } else if (type == "shell.exit" || type == "shell.error") {
      if (exitFrame) *exitFrame = *frame;
      return output;
    }
  }
}

int countOpenDescriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

int countChildProcesses() {
  int count = 0;
  std::string self = std::to_string(getpid());
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    // After ") " come the state and then the parent pid.
    std::string rest = line.substr(close + 2);
    auto firstSpace = rest.find(' ');
    if (firstSpace == std::string::npos) continue;
    std::string ppid = rest.substr(firstSpace + 1, rest.find(' ', firstSpace + 1) - firstSpace - 1);
    if (ppid == self) ++count;
  }
  return count;
}

}  // namespace vela::testing
