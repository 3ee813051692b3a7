#include "platform/system_sources.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <netpacket/packet.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace vela::platform {
namespace {

// procfs files report no size, so read until end of file. Plain read(2) keeps a
// heartbeat's half a dozen reads cheap.
std::optional<std::string> readWhole(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return text;
}

std::optional<utsname> unameInfo() {
  utsname u{};
  if (::uname(&u) != 0) return std::nullopt;
  return u;
}

// Mount tables escape blank, tab, newline and backslash as three octal digits.
std::string unescapeMountField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

class LinuxSystemSources : public SystemSources {
 public:
  explicit LinuxSystemSources(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    if (root_ == "/") root_.clear();
  }

  std::optional<std::string> readText(const std::string& path) const override {
    return readWhole(root_ + path);
  }

  std::optional<std::vector<std::string>> listDirectory(const std::string& path) const override {
    std::error_code ec;
    std::filesystem::directory_iterator it(root_ + path, ec);
    if (ec) return std::nullopt;
    std::vector<std::string> names;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
      if (ec) return std::nullopt;
      names.push_back(it->path().filename().string());
    }
    return names;
  }

  std::optional<std::vector<MountEntry>> mounts() const override {
    auto text = readText("/proc/self/mounts");
    if (!text) return std::nullopt;
    return parseMountTable(*text);
  }

  std::optional<VolumeCapacity> capacity(const std::string& mountPoint) const override {
    struct statvfs st{};
    if (::statvfs(mountPoint.c_str(), &st) != 0) return std::nullopt;
    VolumeCapacity c;
    c.total = static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize;
    c.available = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
    return c;
  }

  std::optional<std::vector<InterfaceStats>> interfaceStats() const override {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::vector<InterfaceStats> out;
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
      if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_PACKET) continue;
      if (a->ifa_data == nullptr || a->ifa_name == nullptr) continue;
      const auto* stats = static_cast<const rtnl_link_stats*>(a->ifa_data);
      out.push_back({a->ifa_name, stats->rx_bytes, stats->tx_bytes});
    }
    ::freeifaddrs(list);
    return out;
  }

  std::optional<std::string> hostname() const override {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) == 0 && buf[0] != '\0') return std::string(buf);
    auto u = unameInfo();
    if (!u || u->nodename[0] == '\0') return std::nullopt;
    return std::string(u->nodename);
  }

  std::optional<std::string> kernelRelease() const override {
    auto u = unameInfo();
    if (!u || u->release[0] == '\0') return std::nullopt;
    return std::string(u->release);
  }

  std::optional<std::string> machine() const override {
    auto u = unameInfo();
    if (!u || u->machine[0] == '\0') return std::nullopt;
    return std::string(u->machine);
  }

  int activeProcessorCount() const override {
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
  }

  std::optional<std::uint64_t> physicalMemoryBytes() const override {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0) return std::nullopt;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
  }

  bool isRoot() const override { return ::geteuid() == 0; }

 private:
  std::string root_;
};

}  // namespace

std::vector<MountEntry> parseMountTable(const std::string& text) {
  std::vector<MountEntry> out;
  std::string_view rest = text;
  while (!rest.empty()) {
    auto eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    std::string_view fields[4];
    std::size_t count = 0, i = 0;
    while (count < 4 && i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      std::size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
      if (i > start) fields[count++] = line.substr(start, i - start);
    }
    if (count < 3) continue;
    out.push_back({unescapeMountField(fields[0]), unescapeMountField(fields[1]),
                   unescapeMountField(fields[2]), std::string(fields[3])});
  }
  return out;
}

const SystemSources& systemSources() {
  static const LinuxSystemSources live("/");
  return live;
}

std::unique_ptr<SystemSources> rootedSystemSources(std::string root) {
  return std::make_unique<LinuxSystemSources>(std::move(root));
}

}  // namespace vela::platform
