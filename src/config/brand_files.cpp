#include "config/brand_files.h"

#include <algorithm>
#include <filesystem>

#include "config/installed_files.h"
#include "platform/file_io.h"
#include "util/mutex.h"
#include "util/process_info.h"

namespace vela::BrandFiles {
namespace {

Mutex overrideLock;
std::optional<std::vector<std::string>> overridden GUARDED_BY(overrideLock);

}  // namespace

std::vector<std::string> searchPath(std::string_view executable, std::string_view root) {
  std::filesystem::path beside = std::filesystem::path(executable).parent_path().parent_path() / "share" /
                                 "vela-agent";
  std::vector<std::string> folders{beside.lexically_normal().string()};
  std::string base(root);
  while (!base.empty() && base.back() == '/') base.pop_back();
  // /usr/local before /usr, as what the machine's own administrator installed goes
  // before the distribution's package.
  for (std::string folder : {InstalledFiles::under(root).shareDir, base + "/usr/share/vela-agent"}) {
    if (std::ranges::find(folders, folder) == folders.end()) folders.push_back(std::move(folder));
  }
  return folders;
}

std::optional<std::string> directory() {
  std::optional<std::vector<std::string>> folders;
  {
    MutexLock guard(overrideLock);
    folders = overridden;
  }
  if (!folders) folders = searchPath(ProcessInfo::executablePath());
  for (const std::string& folder : *folders) {
    for (std::string_view name : {kLight, kDark}) {
      if (platform::fileExists(folder + "/" + std::string(name))) return folder;
    }
  }
  return std::nullopt;
}

void setSearchPathForTesting(std::optional<std::vector<std::string>> folders) {
  MutexLock guard(overrideLock);
  overridden = std::move(folders);
}

}  // namespace vela::BrandFiles
