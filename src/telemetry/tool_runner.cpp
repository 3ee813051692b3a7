#include "telemetry/tool_runner.h"

#include "platform/shell.h"

namespace vela {

ToolRunner shellToolRunner() {
  return [](const std::string& path, const std::vector<std::string>& arguments, double timeout) {
    return Shell::runQuiet(path, arguments, timeout);
  };
}

}  // namespace vela
