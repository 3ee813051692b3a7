#include "desktop/ipc/ipc_line_splitter.h"

#include "util/utf8.h"

namespace vela {

void IPCLineSplitter::feed(std::string_view bytes, const std::function<void(std::string)>& onLine) {
  // What was kept holds no LF, so only the new bytes are searched for the first one.
  std::size_t from = buffer_.size();
  buffer_.append(bytes);
  std::size_t start = 0;
  for (auto end = buffer_.find('\n', from); end != std::string::npos; end = buffer_.find('\n', start)) {
    std::string_view line(buffer_.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && UTF8::isValid(line)) onLine(std::string(line));
  }
  buffer_.erase(0, start);
  if (buffer_.size() > maxPending_) {
    ++discarded_;
    std::string().swap(buffer_);
  }
}

}  // namespace vela
