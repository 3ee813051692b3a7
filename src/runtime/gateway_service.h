#pragma once

// Lets the daemon runtime start the gateway client after its banner and stop it (with
// its sessions, closing the connection with 1001) before it exits.

#include <memory>
#include <utility>

#include "remote/gateway_client.h"
#include "runtime/agent_runtime.h"

namespace vela {

class GatewayService : public RuntimeService {
 public:
  explicit GatewayService(std::shared_ptr<GatewayClient> client) : client_(std::move(client)) {}
  void start() override { client_->start(); }
  void stop() override { client_->stopAndWait(); }
  const std::shared_ptr<GatewayClient>& client() const { return client_; }

 private:
  std::shared_ptr<GatewayClient> client_;
};

}  // namespace vela
