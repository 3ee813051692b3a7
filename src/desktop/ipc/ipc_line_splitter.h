#pragma once

// Cuts the relay's byte stream into lines: each LF ends one; lines that are empty or
// not valid UTF-8 are skipped, and an unfinished line longer than 4 MiB is thrown away
// (its tail, when the LF finally comes, is then just one more line). Not thread-safe:
// one reader feeds it.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace vela {

class IPCLineSplitter {
 public:
  static constexpr std::size_t kMaxPending = 4 * 1024 * 1024;

  explicit IPCLineSplitter(std::size_t maxPending = kMaxPending) : maxPending_(maxPending) {}

  void feed(std::string_view bytes, const std::function<void(std::string)>& onLine);
  std::size_t pending() const { return buffer_.size(); }
  std::size_t discarded() const { return discarded_; }

 private:
  const std::size_t maxPending_;
  std::string buffer_;
  std::size_t discarded_ = 0;
};

}  // namespace vela
