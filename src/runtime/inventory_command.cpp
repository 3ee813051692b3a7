#include <iostream>

#include <nlohmann/json.hpp>

#include "runtime/command_handlers.h"
#include "telemetry/inventory.h"

namespace vela::CLI {

Result<int> inventoryCommand() {
  Inventory inventory = Inventory::collect(true);
  std::string text;
  try {
    text = inventory.toJSON().dump(2);
  } catch (const nlohmann::json::exception&) {
    return 0;  // nothing printable; the command still succeeds
  }
  std::cout << text << "\n" << std::flush;
  return 0;
}

}  // namespace vela::CLI
