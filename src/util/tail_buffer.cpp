#include "util/tail_buffer.h"

#include <algorithm>
#include <cstring>

namespace vela {

void TailBuffer::append(std::string_view bytes) {
  if (bytes.size() >= capacity_) {
    dropped_ += data_.size() + (bytes.size() - capacity_);
    data_.assign(bytes.substr(bytes.size() - capacity_));
    head_ = 0;
    return;
  }
  std::size_t room = capacity_ - data_.size();
  std::size_t fill = std::min(room, bytes.size());
  data_.append(bytes.substr(0, fill));
  bytes.remove_prefix(fill);
  // Full from here on: overwrite the oldest bytes in place.
  while (!bytes.empty()) {
    std::size_t n = std::min(bytes.size(), capacity_ - head_);
    std::memcpy(data_.data() + head_, bytes.data(), n);
    head_ = (head_ + n) % capacity_;
    dropped_ += n;
    bytes.remove_prefix(n);
  }
}

std::string TailBuffer::take() {
  std::rotate(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_), data_.end());
  head_ = 0;
  std::string out = std::move(data_);
  data_.clear();
  if (dropped_ > 0) {
    std::size_t skip = 0;
    while (skip < out.size() && skip < 3 && (static_cast<unsigned char>(out[skip]) & 0xC0) == 0x80) ++skip;
    out.erase(0, skip);
    dropped_ += skip;
  }
  return out;
}

}  // namespace vela
