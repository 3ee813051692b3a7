#pragma once

// AgentError is the failure every component describes in words; its description is
// exactly the message. Result<T> is the project's one fallible-return type.

#include <string>
#include <utility>

#include <tl/expected.hpp>

namespace vela {

struct AgentError {
  std::string message;

  explicit AgentError(std::string m) : message(std::move(m)) {}
  const std::string& description() const { return message; }
  bool operator==(const AgentError&) const = default;
};

// A distinct type rather than an alias so that dropping a failure unread is a compile
// error everywhere, including in functions written later.
template <typename T, typename E = AgentError>
class [[nodiscard]] Result : public tl::expected<T, E> {
 public:
  using tl::expected<T, E>::expected;
  // The monadic operations of the base hand back its own type.
  Result(tl::expected<T, E> other) : tl::expected<T, E>(std::move(other)) {}
};

// Shorthand for returning a failure: `return fail("invalid server URL");`
inline tl::unexpected<AgentError> fail(std::string message) {
  return tl::unexpected<AgentError>(AgentError(std::move(message)));
}

}  // namespace vela

// Propagates the error of an expression yielding a Result; evaluates to its value.
// Uses a GNU statement expression (g++ and clang both accept it).
#define VELA_TRY(expr)                                          \
  ({                                                            \
    auto&& vela_try_result_ = (expr);                           \
    if (!vela_try_result_) {                                    \
      return tl::unexpected(std::move(vela_try_result_).error()); \
    }                                                           \
    std::move(vela_try_result_).value();                        \
  })

// For Result<void> expressions.
#define VELA_TRY_VOID(expr)                                     \
  do {                                                          \
    auto&& vela_try_result_ = (expr);                           \
    if (!vela_try_result_) {                                    \
      return tl::unexpected(std::move(vela_try_result_).error()); \
    }                                                           \
  } while (0)
