#pragma once

// The test CONNECT proxy (tools/controlplane/connect_proxy.py) as a child process on
// 127.0.0.1 for the life of the object, with its log of requests.

#include <memory>
#include <string>
#include <vector>

#include "support/background_process.h"
#include "support/temp_dir.h"

namespace vela::testing {

class ConnectProxy {
 public:
  // `args` as connect_proxy.py takes them after its log file (--auth, --refuse,
  // --intercept). Throws std::runtime_error when it does not come up.
  explicit ConnectProxy(const std::vector<std::string>& args = {});

  // "http://[credentials@]127.0.0.1:PORT"
  std::string url(const std::string& credentials = "") const;
  // One line per request: "CONNECT 127.0.0.1:443 200".
  std::string log() const { return readFileOrEmpty(dir_.file("proxy.log")); }

 private:
  TempDir dir_;
  std::unique_ptr<BackgroundProcess> process_;
  int port_ = 0;
};

}  // namespace vela::testing
