#include "commands/command_result.h"

namespace vela {

JSONValue CommandResult::reportBody() const {
  return JSONValue{
      {"status", exit_code == 0 ? "done" : "failed"},
      {"exit_code", exit_code},
      {"result", JSONValue{{"output", result}, {"type", type}}},
  };
}

}  // namespace vela
