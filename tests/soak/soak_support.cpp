#include "soak/soak_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <thread>

#include "support/enrolled_agent.h"

namespace vela::testing {
namespace {

ProcessFigures figuresOf(pid_t pid) {
  ProcessFigures f;
  std::string proc = "/proc/" + std::to_string(pid);
  std::error_code gone;
  for (std::filesystem::directory_iterator it(proc + "/fd", gone), end; !gone && it != end; it.increment(gone)) {
    ++f.descriptors;
  }
  std::ifstream status(proc + "/status");
  for (std::string word; status >> word;) {
    if (word == "Threads:") status >> f.threads;
    if (word == "VmRSS:") status >> f.rssKiB;
  }
  return f;
}

}  // namespace

int soakCount(const char* name, int fallback) {
  const char* text = std::getenv(name);
  int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : fallback;
}

unsigned soakSeed() {
  auto seed = static_cast<unsigned>(soakCount("VELA_SOAK_SEED", static_cast<int>(std::random_device{}() >> 1)));
  std::cout << "soak: seed " << seed << std::endl;
  return seed;
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

void expectSettled(const ProcessFigures& before, const ProcessFigures& after) {
  std::cout << "soak: descriptors " << before.descriptors << " -> " << after.descriptors << "\n"
            << "soak: threads     " << before.threads << " -> " << after.threads << "\n"
            << "soak: RSS KiB     " << before.rssKiB << " -> " << after.rssKiB << std::endl;
  EXPECT_LE(after.descriptors, before.descriptors + 1);
  EXPECT_LE(after.threads, before.threads + 1);
#if !defined(__SANITIZE_ADDRESS__)  // its quarantine keeps freed memory resident by design
  EXPECT_LE(after.rssKiB, before.rssKiB + 4096);
#endif
}

std::size_t countWhere(const std::string& jsonArray, const std::string& key, const std::string& value) {
  std::size_t n = 0;
  for (const auto& entry : nlohmann::json::parse(jsonArray)) n += entry[key] == value;
  return n;
}

std::vector<std::string> temporaries(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (auto at = name.find(".tmp-"); at != std::string::npos) found.push_back(name.substr(0, at));
  }
  return found;
}

void provisionForControlPlane(const ControlPlane& cp, const std::string& stateDir, int intervalSeconds) {
  cp.pinInto(stateDir);
  if (!unenrolledConfig(cp, intervalSeconds).save()) {
    throw std::runtime_error("cannot save config.json in " + stateDir);
  }
}

}  // namespace vela::testing
