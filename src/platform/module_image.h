#pragma once

// Loads a shared object whose bytes the executable carries (or one named by path) and
// keeps it loaded for the life of the process. Failures are described in words; a
// missing dependency is reported by name through `missingLibrary`.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "util/agent_error.h"

namespace vela::platform {

struct ModuleLoadError {
  std::string message;                    // the loader's own text
  std::optional<std::string> missingLibrary;  // e.g. "libgstreamer-1.0.so.0"
};

// Opaque handle of a loaded module.
struct LoadedModule {
  void* handle = nullptr;
};

// The image is written to an anonymous sealed memory file and opened from there, so
// nothing lands on disk and the executable stays the one file to update.
Result<LoadedModule, ModuleLoadError> loadModuleImage(std::span<const std::uint8_t> image,
                                                      const std::string& name);
Result<LoadedModule, ModuleLoadError> loadModuleFile(const std::string& path);
void* moduleSymbol(LoadedModule module, const char* name);

// "<lib>: cannot open shared object file: ..." → "<lib>"; anything else → nothing.
std::optional<std::string> missingLibraryIn(const std::string& loaderMessage);

}  // namespace vela::platform
