#include "soak/soak_support.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "config/agent_config.h"
#include "support/temp_dir.h"

namespace vela::testing {

int soakCount(const char* name, int fallback) {
  const char* text = std::getenv(name);
  int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : fallback;
}

ProcessFigures figuresOf(pid_t pid) {
  ProcessFigures f;
  std::string proc = "/proc/" + std::to_string(pid);
  std::error_code gone;
  for (std::filesystem::directory_iterator it(proc + "/fd", gone), end; !gone && it != end; it.increment(gone)) {
    ++f.descriptors;
  }
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "Threads:") fields >> f.threads;
    if (key == "VmRSS:") fields >> f.rssKiB;
  }
  return f;
}

ProcessFigures idleFigures(pid_t pid) {
  ProcessFigures best = figuresOf(pid);
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ProcessFigures f = figuresOf(pid);
    best.descriptors = std::min(best.descriptors, f.descriptors);
    best.threads = std::min(best.threads, f.threads);
    best.rssKiB = std::min(best.rssKiB, f.rssKiB);
  }
  return best;
}

void printFigures(std::ostream& out, const ProcessFigures& before, const ProcessFigures& after) {
  out << "soak: descriptors " << before.descriptors << " -> " << after.descriptors << "\n"
      << "soak: threads     " << before.threads << " -> " << after.threads << "\n"
      << "soak: RSS KiB     " << before.rssKiB << " -> " << after.rssKiB << std::endl;
}

void provisionForControlPlane(const ControlPlane& cp, const std::string& stateDir, int intervalSeconds) {
  std::filesystem::create_directories(stateDir + "/pinned");
  writeFile(stateDir + "/pinned/ca.pem", cp.caPem());
  writeFile(stateDir + "/pinned/command_pubkey.b64", cp.commandPublicKey());
  writeFile(stateDir + "/pinned/update_pubkey.b64", cp.updatePublicKey());
  AgentConfig config;
  config.serverBaseURL = cp.baseURL();
  config.enrollmentToken = nlohmann::json::parse(cp.provisioningJSON())["token"].get<std::string>();
  config.heartbeatIntervalSeconds = intervalSeconds;
  config.commandPollIntervalSeconds = intervalSeconds;
  if (!config.save()) throw std::runtime_error("cannot save config.json in " + stateDir);
}

}  // namespace vela::testing
