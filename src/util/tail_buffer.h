#pragma once

// Keeps the last `capacity` bytes of a stream of unknown length and counts what it let
// go, so a reader can drain any amount of output while holding a fixed amount. Memory
// grows with what is kept, up to the capacity. Not synchronised.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vela {

class TailBuffer {
 public:
  explicit TailBuffer(std::size_t capacity) : capacity_(capacity) {}

  void append(std::string_view bytes);
  // Bytes appended but no longer kept.
  std::uint64_t dropped() const { return dropped_; }
  // The kept bytes in order, leaving the buffer empty. After a drop the text starts at
  // the next UTF-8 lead byte; the cut continuation bytes count as dropped.
  std::string take();

 private:
  const std::size_t capacity_;
  std::string data_;
  std::size_t head_ = 0;  // oldest byte once data_ is full
  std::uint64_t dropped_ = 0;
};

}  // namespace vela
