#pragma once

// How an enrolment exchange can be refused. A value; the texts are what operators see.

#include <string>

#include "util/agent_error.h"

namespace vela {

class EnrollError {
 public:
  enum class Kind { server, decode, invalidToken };

  static EnrollError server(int status, std::string message) {
    return EnrollError(Kind::server, status, std::move(message));
  }
  static EnrollError decode(std::string message) {
    return EnrollError(Kind::decode, 0, std::move(message));
  }
  static EnrollError invalidToken() { return EnrollError(Kind::invalidToken, 0, {}); }

  Kind kind() const { return kind_; }
  int status() const { return status_; }
  const std::string& message() const { return message_; }

  std::string description() const;
  AgentError toAgentError() const { return AgentError(description()); }
  bool operator==(const EnrollError&) const = default;

 private:
  EnrollError(Kind kind, int status, std::string message)
      : kind_(kind), status_(status), message_(std::move(message)) {}

  Kind kind_;
  int status_;
  std::string message_;
};

}  // namespace vela
