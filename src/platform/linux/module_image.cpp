#include "platform/module_image.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vela::platform {
namespace {

ModuleLoadError loaderError(const char* fallback) {
  const char* text = dlerror();
  std::string message = text ? text : fallback;
  return {message, missingLibraryIn(message)};
}

Result<LoadedModule, ModuleLoadError> open(const std::string& path) {
  // Never unloaded: its threads and the libraries it pulls in live until exit.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) return tl::unexpected(loaderError("dlopen failed"));
  return LoadedModule{handle};
}

}  // namespace

std::optional<std::string> missingLibraryIn(const std::string& loaderMessage) {
  static constexpr std::string_view kMarker = ": cannot open shared object file";
  auto at = loaderMessage.find(kMarker);
  if (at == std::string::npos || at == 0) return std::nullopt;
  return loaderMessage.substr(0, at);
}

Result<LoadedModule, ModuleLoadError> loadModuleImage(std::span<const std::uint8_t> image,
                                                      const std::string& name) {
  int fd = memfd_create(name.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return tl::unexpected(ModuleLoadError{std::string("memfd_create: ") + std::strerror(errno), {}});
  std::size_t done = 0;
  while (done < image.size()) {
    ssize_t n = ::write(fd, image.data() + done, image.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string message = std::string("writing the module image: ") + std::strerror(errno);
      ::close(fd);
      return tl::unexpected(ModuleLoadError{message, {}});
    }
    done += static_cast<std::size_t>(n);
  }
  // Sealed, the image cannot change between the check of its bytes and the mapping.
  (void)fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  auto loaded = open("/proc/self/fd/" + std::to_string(fd));
  ::close(fd);  // the mapping keeps the pages
  return loaded;
}

Result<LoadedModule, ModuleLoadError> loadModuleFile(const std::string& path) { return open(path); }

void* moduleSymbol(LoadedModule module, const char* name) { return dlsym(module.handle, name); }

}  // namespace vela::platform
