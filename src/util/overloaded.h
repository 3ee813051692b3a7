#pragma once

// A visitor built from lambdas, one per alternative of a std::variant.

namespace vela {

template <class... Cases>
struct Overloaded : Cases... {
  using Cases::operator()...;
};
template <class... Cases>
Overloaded(Cases...) -> Overloaded<Cases...>;

}  // namespace vela
