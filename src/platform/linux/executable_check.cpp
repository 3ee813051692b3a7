#include "platform/executable_check.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

namespace vela::platform {
namespace {

#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#else
#error "unsupported architecture"
#endif

}  // namespace

Result<void> checkNativeExecutable(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(path + ": cannot be opened");
  Elf64_Ehdr header{};
  ssize_t n = ::read(fd, &header, sizeof header);
  ::close(fd);
  if (n != static_cast<ssize_t>(sizeof header) || header.e_ident[EI_MAG0] != ELFMAG0 ||
      header.e_ident[EI_MAG1] != ELFMAG1 || header.e_ident[EI_MAG2] != ELFMAG2 ||
      header.e_ident[EI_MAG3] != ELFMAG3) {
    return fail(path + ": not an ELF executable");
  }
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
      header.e_machine != kMachine) {
    return fail(path + ": built for another architecture");
  }
  if (header.e_type != ET_EXEC && header.e_type != ET_DYN) return fail(path + ": not an executable");
  return {};
}

}  // namespace vela::platform
