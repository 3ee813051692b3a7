#include "telemetry/system_info.h"

#include <string_view>

#include "util/text_fields.h"

namespace vela::SystemInfo {
namespace {

// DMI files hold placeholders when the firmware leaves a field empty.
bool isPlaceholder(std::string_view v) {
  return v.empty() || v == "Not Specified" || v == "Not Applicable" || v == "None" ||
         v == "To Be Filled By O.E.M." || v == "Default string" || v == "System Product Name";
}

std::optional<std::string> dmiField(const SystemSources& src, const std::string& name) {
  auto text = src.readText("/sys/class/dmi/id/" + name);
  if (!text) return std::nullopt;
  auto value = TextFields::trim(*text);
  if (isPlaceholder(value)) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::optional<std::string> serialNumber(const SystemSources& src) {
  return dmiField(src, "product_serial");
}

std::optional<std::string> hardwareModel(const SystemSources& src) {
  return dmiField(src, "product_name");
}

std::optional<std::string> cpuBrand(const SystemSources& src) {
  auto text = src.readText("/proc/cpuinfo");
  if (!text) return std::nullopt;
  auto fields = TextFields::colonFields(*text);
  for (const char* key : {"model name", "Model"}) {
    auto it = fields.find(key);
    if (it != fields.end() && !it->second.empty()) return it->second;
  }
  return std::nullopt;
}

std::optional<std::chrono::system_clock::time_point> bootTime(const SystemSources& src) {
  auto text = src.readText("/proc/stat");
  if (!text) return std::nullopt;
  std::string_view rest = *text;
  while (!rest.empty()) {
    auto eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    if (!line.starts_with("btime ")) continue;
    auto secs = TextFields::parseUnsigned(line.substr(6));
    if (!secs || *secs < 1 || *secs > (std::uint64_t{1} << 40)) return std::nullopt;
    return std::chrono::system_clock::time_point(std::chrono::seconds(*secs));
  }
  return std::nullopt;
}

std::optional<std::uint64_t> physicalMemory(const SystemSources& src) {
  if (auto text = src.readText("/proc/meminfo")) {
    auto fields = TextFields::colonFields(*text);
    if (auto it = fields.find("MemTotal"); it != fields.end()) {
      auto parts = TextFields::splitBlanks(it->second);
      if (parts.size() == 2 && parts[1] == "kB") {
        if (auto kb = TextFields::parseUnsigned(parts[0]); kb && *kb > 0) return *kb * 1024;
      }
    }
  }
  return src.physicalMemoryBytes();
}

}  // namespace vela::SystemInfo
