#include "support/build_paths.h"
#include "support/connect_proxy.h"

#include <stdexcept>

namespace vela::testing {

ConnectProxy::ConnectProxy(const std::vector<std::string>& args) {
  std::vector<std::string> all = {sourcePath("tools/controlplane/connect_proxy.py"), dir_.file("proxy.log")};
  all.insert(all.end(), args.begin(), args.end());
  process_ = std::make_unique<BackgroundProcess>("/usr/bin/python3", all,
                                                 Environment{{"PYTHONDONTWRITEBYTECODE", "1"}});
  const std::string ready = "proxy: ready port=";
  if (!BackgroundProcess::waitUntil([&] { return process_->out().find('\n') != std::string::npos; })) {
    throw std::runtime_error("the test proxy did not start: " + process_->err());
  }
  std::string out = process_->out();
  if (!out.starts_with(ready)) throw std::runtime_error("the test proxy failed: " + out + process_->err());
  port_ = std::stoi(out.substr(ready.size()));
}

std::string ConnectProxy::url(const std::string& credentials) const {
  return "http://" + (credentials.empty() ? "" : credentials + "@") + "127.0.0.1:" + std::to_string(port_);
}

}  // namespace vela::testing
