#include "util/process_info.h"

#include <filesystem>
#include <system_error>

namespace vela::ProcessInfo {
namespace {
std::string& storage() {
  static std::string path;
  return path;
}
}  // namespace

void setProgramPath(std::string path) { storage() = std::move(path); }
const std::string& programPath() { return storage(); }
bool insideAppBundle() { return false; }

std::string executablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? programPath() : p.string();
}

}  // namespace vela::ProcessInfo
