#include "util/cancellation.h"

#include <fcntl.h>
#include <unistd.h>

namespace vela {

Cancellation::Cancellation() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    readFD_ = fds[0];
    writeFD_ = fds[1];
  }
}

Cancellation::~Cancellation() {
  if (readFD_ >= 0) ::close(readFD_);
  if (writeFD_ >= 0) ::close(writeFD_);
}

void Cancellation::cancel() {
  if (cancelled_.exchange(true) || writeFD_ < 0) return;
  char byte = 1;
  [[maybe_unused]] auto n = ::write(writeFD_, &byte, 1);
}

}  // namespace vela
