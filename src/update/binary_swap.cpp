#include "update/binary_swap.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "platform/durable_file.h"
#include "platform/file_io.h"
#include "update/update_error.h"

namespace vela::BinarySwap {
namespace {

constexpr mode_t kExecutableMode = 0755;

void step(const StepHook& hook, std::string_view name) {
  if (hook) hook(name);
}

// Copies `from` into `to`, still under its temporary name; `partly` is reported after
// the first block when more follow.
Result<void> copyInto(const std::string& from, platform::DurableFile& to, const StepHook& hook,
                      std::string_view partly) {
  int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(from + ": " + std::strerror(errno));
  std::array<std::uint8_t, 65536> buf;
  bool first = true;
  Result<void> copied;
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      copied = fail(from + ": " + std::strerror(errno));
      break;
    }
    if (n == 0) break;
    if (!first) step(hook, partly);
    first = false;
    copied = to.write(std::span(buf.data(), static_cast<std::size_t>(n)));
    if (!copied) break;
  }
  ::close(fd);
  return copied;
}

Result<void> copyDurably(const std::string& from, const std::string& to, const std::string& temp) {
  auto file = VELA_TRY(platform::DurableFile::create(to, temp, kExecutableMode));
  VELA_TRY_VOID(copyInto(from, file, {}, {}));
  return file.commit();
}

}  // namespace

Result<void> swap(const std::string& staged, const std::string& installed, const StepHook& hook) {
  const std::string pid = std::to_string(::getpid());
  auto slash = installed.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : installed.substr(0, slash);
  std::string name = slash == std::string::npos ? installed : installed.substr(slash + 1);
  const std::string backup = installed + ".previous";
  const std::string temp = dir + "/" + name + ".new-" + pid;

  auto fresh = VELA_TRY(platform::DurableFile::create(installed, temp, kExecutableMode));
  VELA_TRY_VOID(copyInto(staged, fresh, hook, kSteps[0]));
  step(hook, kSteps[1]);

  // The backup is best effort: without one the swap still goes ahead. A stale one never
  // stands in for the build being replaced.
  (void)platform::removeFile(backup);
  if (platform::fileExists(installed)) {
    auto copy = platform::DurableFile::create(backup, backup + ".tmp-" + pid, kExecutableMode);
    if (copy && copyInto(installed, *copy, hook, kSteps[2])) (void)copy->commit();
  }
  step(hook, kSteps[3]);

  if (auto replaced = fresh.commit(); !replaced) {
    std::string reason = replaced.error().message;
    for (const std::string& prefix : {installed + ": ", temp + ": "}) {
      if (reason.starts_with(prefix)) reason.erase(0, prefix.size());
    }
    if (!platform::fileExists(installed) && platform::fileExists(backup)) {
      (void)copyDurably(backup, installed, installed + ".restore-" + pid);
    }
    return tl::unexpected(UpdateError::download("atomic replace failed: " + reason).toAgentError());
  }
  step(hook, kSteps[4]);
  (void)platform::removeFile(staged);
  step(hook, kSteps[5]);
  return {};
}

}  // namespace vela::BinarySwap
