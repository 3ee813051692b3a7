#include "soak/drop_gateway.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <stdexcept>

#include "util/base64.h"

namespace vela::testing {
namespace {

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

std::string acceptKey(const std::string& request) {
  static const std::regex header("\r\nsec-websocket-key: *([^\r]*)", std::regex::icase);
  std::smatch match;
  if (!std::regex_search(request, match, header)) return "";
  std::string key = match[1].str() + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(key.data(), key.size(), digest, &size, EVP_sha1(), nullptr);
  return Base64::encode(std::span<const std::uint8_t>(digest, size));
}

std::string frameHeader(unsigned char opcode, std::size_t size) {
  const int extra = size < 126 ? 0 : size <= 0xFFFF ? 2 : 8;  // bytes of extended length
  const std::size_t length = extra == 0 ? size : extra == 2 ? 126 : 127;
  std::string header{static_cast<char>(0x80 | opcode), static_cast<char>(length)};
  for (int i = extra - 1; i >= 0; --i) header += static_cast<char>((size >> (8 * i)) & 0xFF);
  return header;
}

}  // namespace

DropGatewayConnection::DropGatewayConnection(int fd, SSL_CTX* ctx) : fd_(fd), ssl_(SSL_new(ctx)) {
  SSL_set_fd(ssl_, fd_);
  // A client that stalls must not hang the test: blocking calls give up after 10 s.
  timeval limit{10, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

DropGatewayConnection::~DropGatewayConnection() { drop(); }

void DropGatewayConnection::drop(bool reset) {
  if (fd_ < 0) return;
  if (reset) {
    linger now{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  }
  SSL_free(ssl_);
  ssl_ = nullptr;
  ::close(fd_);
  fd_ = -1;
}

bool DropGatewayConnection::awaitClientHello(std::chrono::milliseconds limit) {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(limit.count())) == 1;
}

std::optional<std::string> DropGatewayConnection::readUpgradeRequest() {
  if (SSL_accept(ssl_) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  auto deadline = Clock::now() + std::chrono::seconds(10);
  std::size_t end;
  while ((end = in_.find("\r\n\r\n")) == std::string::npos) {
    if (in_.size() > 16384 || !fill(in_.size() + 1, deadline)) return std::nullopt;
  }
  std::string request = in_.substr(0, end + 4);
  in_.erase(0, end + 4);
  return request;
}

bool DropGatewayConnection::answerUpgrade(const std::string& request, std::optional<std::size_t> bytes) {
  std::string answer =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " + acceptKey(request) + "\r\n\r\n";
  return writeAll(std::string_view(answer).substr(0, bytes.value_or(answer.size())));
}

std::size_t DropGatewayConnection::encodedSize(std::size_t textSize) {
  return frameHeader(1, textSize).size() + textSize;
}

bool DropGatewayConnection::sendText(std::string_view text, std::optional<std::size_t> bytes) {
  std::string frame = frameHeader(1, text.size());
  frame += text;
  return writeAll(std::string_view(frame).substr(0, bytes.value_or(frame.size())));
}

bool DropGatewayConnection::sendClose(std::uint16_t code) {
  std::string payload{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
  return writeAll(frameHeader(8, payload.size()) + payload);
}

std::optional<std::string> DropGatewayConnection::receiveText(std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  std::string message;
  for (;;) {
    if (!fill(2, deadline)) return std::nullopt;
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(in_[i]); };
    std::size_t header = 2, size = byte(1) & 0x7F;
    if (size >= 126) {
      std::size_t extra = size == 126 ? 2 : 8;
      if (!fill(2 + extra, deadline)) return std::nullopt;
      size = 0;
      for (std::size_t i = 0; i < extra; ++i) size = size << 8 | byte(2 + i);
      header += extra;
    }
    const bool masked = byte(1) & 0x80;
    if (masked) header += 4;
    if (size > (16u << 20) || !fill(header + size, deadline)) return std::nullopt;
    std::string payload = in_.substr(header, size);
    for (std::size_t i = 0; masked && i < size; ++i) payload[i] ^= in_[header - 4 + i % 4];
    const unsigned char first = byte(0), opcode = first & 0x0F;
    in_.erase(0, header + size);
    if (opcode == 0x8) return std::nullopt;
    if (opcode == 0x9 && !writeAll(frameHeader(0xA, payload.size()) + payload)) return std::nullopt;
    if (opcode <= 0x1) {  // text and its continuations; pongs and binary frames are skipped
      message += payload;
      if (first & 0x80) return message;
    }
  }
}

bool DropGatewayConnection::writeAll(std::string_view bytes) {
  if (!ssl_) return false;
  while (!bytes.empty()) {
    int n = SSL_write(ssl_, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)));
    if (n <= 0) {
      ERR_clear_error();
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool DropGatewayConnection::fill(std::size_t want, Clock::time_point deadline) {
  char buffer[16384];
  while (ssl_ && in_.size() < want) {
    if (SSL_pending(ssl_) == 0) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, millisecondsUntil(deadline)) != 1) return false;
    }
    int n = SSL_read(ssl_, buffer, sizeof buffer);
    if (n <= 0) {
      ERR_clear_error();
      return false;
    }
    in_.append(buffer, static_cast<std::size_t>(n));
  }
  return ssl_ != nullptr;
}

DropGateway::DropGateway(const std::string& certificateFile, const std::string& keyFile, int port)
    : ctx_(SSL_CTX_new(TLS_server_method())) {
  if (!ctx_ || SSL_CTX_use_certificate_chain_file(ctx_, certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(ctx_);
    throw std::runtime_error("drop gateway: cannot load " + certificateFile);
  }
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 8) != 0) {
    ::close(listenFd_);
    SSL_CTX_free(ctx_);
    throw std::runtime_error("drop gateway: cannot listen on 127.0.0.1:" + std::to_string(port));
  }
}

DropGateway::~DropGateway() {
  ::close(listenFd_);
  SSL_CTX_free(ctx_);
}

std::unique_ptr<DropGatewayConnection> DropGateway::accept(std::chrono::milliseconds limit) {
  pollfd p{listenFd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return nullptr;
  int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<DropGatewayConnection>(fd, ctx_);
}

}  // namespace vela::testing
