#include "platform/open_files.h"

#include <cctype>
#include <filesystem>
#include <system_error>

namespace vela::platform {

std::set<std::string> openFilesIn(const std::string& directory) {
  namespace fs = std::filesystem;
  std::set<std::string> open;
  std::error_code error;
  const fs::path folder = fs::canonical(directory, error);
  if (error) return open;
  // Processes end, and others' descriptors are closed to us, while this runs: whatever
  // cannot be read is passed over (the error-code forms never throw).
  for (fs::directory_iterator process("/proc", error), end; !error && process != end; process.increment(error)) {
    const std::string pid = process->path().filename().string();
    if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0]))) continue;
    std::error_code fdError;
    for (fs::directory_iterator fd(process->path() / "fd", fdError); !fdError && fd != end;
         fd.increment(fdError)) {
      std::error_code linkError;
      fs::path target = fs::read_symlink(fd->path(), linkError);
      if (!linkError && target.parent_path() == folder) open.insert(target.string());
    }
  }
  return open;
}

}  // namespace vela::platform
