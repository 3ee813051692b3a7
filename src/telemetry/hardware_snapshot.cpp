#include "telemetry/hardware_snapshot.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "telemetry/byte_size.h"
#include "telemetry/system_info.h"
#include "util/json_document.h"
#include "util/text_fields.h"

namespace vela {
namespace {

constexpr char kDmidecode[] = "/usr/sbin/dmidecode";
constexpr char kLsblk[] = "/usr/bin/lsblk";

std::optional<std::string> dmiText(std::string_view v) {
  v = TextFields::trim(v);
  // dmidecode's placeholders, including its bracketed "<OUT OF ...>" marker.
  if (v.empty() || v == "Not Specified" || v == "Unknown" || v == "Not Provided" ||
      v == "None" || (v.starts_with("<OUT OF ") && v.ends_with(">"))) {
    return std::nullopt;
  }
  return std::string(v);
}

std::optional<std::string> jsonText(const JSONValue& obj, const char* key) {
  const std::string* text = obj.stringAt(key);
  if (text == nullptr) return std::nullopt;
  auto v = TextFields::trim(*text);
  if (v.empty()) return std::nullopt;
  return std::string(v);
}

// Older lsblk prints ROTA as "0"/"1", newer as a boolean.
std::optional<bool> rotational(const JSONValue& obj) {
  const JSONValue* rota = obj["rota"];
  if (rota == nullptr) return std::nullopt;
  if (auto b = rota->boolValue()) return b;
  if (auto n = rota->intValue()) return *n != 0;
  if (auto n = rota->uintValue()) return *n != 0;
  if (const std::string* s = rota->stringRef()) {
    if (*s == "1" || *s == "true") return true;
    if (*s == "0" || *s == "false") return false;
  }
  return std::nullopt;
}

// A disk is rarely mounted itself; report where its first mounted partition lives.
std::optional<std::string> firstMount(const JSONValue& dev) {
  if (auto m = jsonText(dev, "mountpoint"); m && !m->starts_with("[")) return m;
  if (const JSONValue* list = dev["mountpoints"]; list != nullptr && list->isArray()) {
    for (const JSONValue& m : *list->arrayValue()) {
      const std::string* text = m.stringRef();
      if (text != nullptr && !text->empty() && !text->starts_with("[")) return *text;
    }
  }
  if (const JSONValue* children = dev["children"]; children != nullptr && children->isArray()) {
    for (const JSONValue& child : *children->arrayValue()) {
      if (!child.isObject()) continue;
      if (auto m = firstMount(child)) return m;
    }
  }
  return std::nullopt;
}

template <typename T>
void putOptional(JSONValue& j, const char* key, const std::optional<T>& v) {
  if (v) j.set(key, *v);
}

}  // namespace

HardwareSnapshot HardwareSnapshot::collect() {
  return collect(platform::systemSources(), shellToolRunner());
}

HardwareSnapshot HardwareSnapshot::collect(const platform::SystemSources& sources,
                                           const ToolRunner& runTool) {
  HardwareSnapshot s;
  s.cpu = collectCPU(sources);
  s.memory = collectMemory(sources, runTool);
  s.disks = collectDisks(runTool);
  return s;
}

HardwareSnapshot::CPU HardwareSnapshot::collectCPU(const platform::SystemSources& src) {
  CPU cpu;
  int logical = 0;
  if (auto text = src.readText("/proc/cpuinfo")) {
    std::string_view rest = *text;
    while (!rest.empty()) {
      auto eol = rest.find('\n');
      std::string_view line = rest.substr(0, eol);
      rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
      auto colon = line.find(':');
      if (colon != std::string_view::npos && TextFields::trim(line.substr(0, colon)) == "processor") {
        ++logical;
      }
    }
  }
  cpu.threads = std::max(logical, src.activeProcessorCount());

  // Physical cores are the distinct (package, core) pairs of the processor topology.
  std::set<std::pair<std::string, std::string>> cores;
  if (auto names = src.listDirectory("/sys/devices/system/cpu")) {
    for (const auto& name : *names) {
      if (name.size() < 4 || !name.starts_with("cpu") ||
          name.find_first_not_of("0123456789", 3) != std::string::npos) {
        continue;
      }
      const std::string topo = "/sys/devices/system/cpu/" + name + "/topology/";
      auto package = src.readText(topo + "physical_package_id");
      auto core = src.readText(topo + "core_id");
      if (package && core) {
        cores.emplace(TextFields::trim(*package), TextFields::trim(*core));
      }
    }
  }
  cpu.cores = cores.empty() ? cpu.threads : static_cast<int>(cores.size());
  cpu.model = SystemInfo::cpuBrand(src);
  cpu.arch = src.machine().value_or("unknown");
  return cpu;
}

HardwareSnapshot::Memory HardwareSnapshot::collectMemory(const platform::SystemSources& src,
                                                         const ToolRunner& runTool) {
  Memory mem;
  mem.total_bytes = SystemInfo::physicalMemory(src).value_or(0);
  // The module table needs root; without it the kernel's view is one block of memory.
  if (src.isRoot()) {
    if (auto out = runTool(kDmidecode, {"-t", "memory"}, kToolTimeoutSeconds)) {
      mem.modules = modulesFromDmidecode(*out);
    }
  }
  if (mem.modules.empty()) {
    MemoryModule whole;
    whole.slot = "Unified";
    if (mem.total_bytes > 0) whole.size_bytes = mem.total_bytes;
    mem.modules.push_back(whole);
  }
  for (const auto& m : mem.modules) {
    if (m.type) {
      mem.type = m.type;
      break;
    }
  }
  return mem;
}

std::vector<HardwareSnapshot::Disk> HardwareSnapshot::collectDisks(const ToolRunner& runTool) {
  auto out = runTool(kLsblk, {"--json", "--bytes", "--output", "NAME,MODEL,SIZE,ROTA,TYPE,MOUNTPOINT"},
                     kToolTimeoutSeconds);
  if (!out) return {};
  return disksFromLsblk(*out);
}

std::vector<HardwareSnapshot::MemoryModule> HardwareSnapshot::modulesFromDmidecode(
    const std::string& text) {
  std::vector<MemoryModule> modules;
  std::optional<MemoryModule> current;
  auto finish = [&] {
    if (current) modules.push_back(std::move(*current));
    current.reset();
  };
  std::string_view rest = text;
  while (!rest.empty()) {
    auto eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (TextFields::trim(line).empty() || line.starts_with("Handle ")) {
      finish();
      continue;
    }
    if (line == "Memory Device") {
      finish();
      current.emplace();
      continue;
    }
    // Only the device's own "\tKey: value" lines; deeper indentation lists sub-items.
    if (!current || !line.starts_with('\t') || line.starts_with("\t\t")) continue;
    auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    auto key = TextFields::trim(line.substr(0, colon));
    auto value = line.substr(colon + 1);
    if (key == "Locator") current->slot = dmiText(value);
    else if (key == "Size") current->size_bytes = ByteSize::parse(TextFields::trim(value));
    else if (key == "Type") current->type = dmiText(value);
    else if (key == "Manufacturer") current->manufacturer = dmiText(value);
  }
  finish();
  return modules;
}

std::vector<HardwareSnapshot::Disk> HardwareSnapshot::disksFromLsblk(const std::string& json) {
  std::vector<Disk> disks;
  auto doc = JSONDocument::read(json);
  const JSONValue* list = doc ? (*doc)["blockdevices"] : nullptr;
  if (list == nullptr || !list->isArray()) return disks;
  for (const JSONValue& dev : *list->arrayValue()) {
    if (!dev.isObject() || jsonText(dev, "type") != "disk") continue;
    auto name = jsonText(dev, "name");
    // Compressed RAM swap and RAM disks are block devices but not storage.
    if (name && (name->starts_with("zram") || name->starts_with("ram"))) continue;
    Disk d;
    d.name = name;
    d.model = jsonText(dev, "model");
    if (const JSONValue* size = dev["size"]) d.size_bytes = ByteSize::fromJSON(*size);
    if (auto rota = rotational(dev)) d.type = *rota ? "HDD" : "SSD";
    d.mount = firstMount(dev);
    disks.push_back(std::move(d));
  }
  return disks;
}

JSONValue HardwareSnapshot::toJSON() const {
  JSONValue c = JSONValue::object();
  putOptional(c, "model", cpu.model);
  c.set("cores", cpu.cores);
  c.set("threads", cpu.threads);
  c.set("arch", cpu.arch);

  JSONValue::Array modules;
  for (const auto& m : memory.modules) {
    JSONValue j = JSONValue::object();
    putOptional(j, "slot", m.slot);
    putOptional(j, "size_bytes", m.size_bytes);
    putOptional(j, "type", m.type);
    putOptional(j, "manufacturer", m.manufacturer);
    modules.push_back(std::move(j));
  }
  JSONValue mem = JSONValue::object();
  mem.set("total_bytes", memory.total_bytes);
  putOptional(mem, "type", memory.type);
  mem.set("modules", std::move(modules));

  JSONValue::Array diskList;
  for (const auto& d : disks) {
    JSONValue j = JSONValue::object();
    putOptional(j, "name", d.name);
    putOptional(j, "model", d.model);
    putOptional(j, "size_bytes", d.size_bytes);
    putOptional(j, "type", d.type);
    putOptional(j, "mount", d.mount);
    diskList.push_back(std::move(j));
  }
  return {{"cpu", std::move(c)}, {"memory", std::move(mem)}, {"disks", std::move(diskList)}};
}

}  // namespace vela
