#include "commands/uninstall_script.h"

#include "config/brand_files.h"

namespace vela::UninstallScript {
namespace {

std::string tolerant(std::string step) { return step + " 2>/dev/null || true"; }

}  // namespace

std::vector<std::string> lines(const Plan& plan) {
  const std::string desktop(kDesktopUnit);
  std::vector<std::string> out{
      "sleep 3",
      tolerant("systemctl disable --now " + std::string(kSystemUnit)),
      tolerant("systemctl --global disable " + desktop),
  };
  for (const auto& user : plan.loggedInUsers) {
    out.push_back(tolerant("systemctl --user -M " + singleQuoted(user + "@") + " stop " + desktop));
  }
  if (plan.purge) {
    if (plan.package) {
      out.push_back(tolerant("dpkg --purge " + singleQuoted(*plan.package)));
    } else {
      const InstalledFiles& files = plan.installed;
      out.push_back(tolerant("rm -f " + singleQuoted(files.executable) + " " +
                             singleQuoted(files.systemUnit) + " " +
                             singleQuoted(files.desktopUnit)));
      out.push_back(tolerant("rm -f " + singleQuoted(files.shareDir + "/" + std::string(BrandFiles::kLight)) + " " +
                             singleQuoted(files.shareDir + "/" + std::string(BrandFiles::kDark))));
      out.push_back(tolerant("rmdir " + singleQuoted(files.shareDir)));
      out.push_back(tolerant("systemctl daemon-reload"));
    }
  }
  out.push_back(tolerant("kill -9 " + std::to_string(plan.pid)));
  return out;
}

std::string text(const Plan& plan) {
  std::string script;
  for (const auto& line : lines(plan)) {
    if (!script.empty()) script += "; ";
    script += line;
  }
  return script;
}

}  // namespace vela::UninstallScript
