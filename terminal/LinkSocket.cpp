// POSIX implementation of the terminal link sockets.
#include "terminal/LinkSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantorix {

namespace {

using TClock = std::chrono::steady_clock;

// Fills a sockaddr for a numeric address; false when host is not one.
bool MakeAddress(const std::string& host, std::uint16_t port, sockaddr_storage& address,
                 socklen_t& length) {
  std::memset(&address, 0, sizeof address);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

int MillisUntil(TClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
  if (left.count() <= 0) {
    return 0;
  }
  return left.count() > 1'000'000 ? 1'000'000 : static_cast<int>(left.count());
}

// Waits for events on fd until the deadline; false on time-out.
bool WaitFor(int fd, short events, TClock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, MillisUntil(deadline));
    if (n > 0) {
      return true;
    }
    if (n == 0) {
      return false;
    }
    if (errno != EINTR) {
      return true;  // let the following call report the error
    }
  }
}

void SetNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

TSocket& TSocket::operator=(TSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fFd = other.fFd;
    other.fFd = -1;
  }
  return *this;
}

void TSocket::Shutdown() const {
  if (fFd >= 0) {
    ::shutdown(fFd, SHUT_RDWR);
  }
}

void TSocket::Close() {
  if (fFd >= 0) {
    ::close(fFd);
    fFd = -1;
  }
}

TSocket ConnectTcp(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
                   int& error) {
  sockaddr_storage address;
  socklen_t length = 0;
  if (!MakeAddress(host, port, address, length)) {
    error = EINVAL;
    return {};
  }
  TSocket socket(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket.Valid()) {
    error = errno;
    return {};
  }
  auto deadline = TClock::now() + timeout;
  if (::connect(socket.Fd(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (errno != EINPROGRESS) {
      error = errno;
      return {};
    }
    if (!WaitFor(socket.Fd(), POLLOUT, deadline)) {
      error = ETIMEDOUT;
      return {};
    }
    int soError = 0;
    socklen_t soLength = sizeof soError;
    getsockopt(socket.Fd(), SOL_SOCKET, SO_ERROR, &soError, &soLength);
    if (soError != 0) {
      error = soError;
      return {};
    }
  }
  SetNoDelay(socket.Fd());
  error = 0;
  return socket;
}

TIoStatus SendAll(const TSocket& socket, std::span<const std::uint8_t> bytes,
                  TClock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(socket.Fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(socket.Fd(), POLLOUT, deadline)) {
        return TIoStatus::kTimeout;
      }
      continue;
    }
    return errno == EPIPE || errno == ECONNRESET ? TIoStatus::kClosed : TIoStatus::kError;
  }
  return TIoStatus::kOk;
}

namespace {

TIoStatus RecvOnce(const TSocket& socket, std::vector<std::uint8_t>& out, bool& retry) {
  std::uint8_t chunk[64 * 1024];
  ssize_t n = ::recv(socket.Fd(), chunk, sizeof chunk, 0);
  retry = false;
  if (n > 0) {
    out.insert(out.end(), chunk, chunk + n);
    return TIoStatus::kOk;
  }
  if (n == 0) {
    return TIoStatus::kClosed;
  }
  if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
    retry = true;
    return TIoStatus::kOk;
  }
  return errno == ECONNRESET ? TIoStatus::kClosed : TIoStatus::kError;
}

}  // namespace

TIoStatus RecvSome(const TSocket& socket, std::vector<std::uint8_t>& out,
                   TClock::time_point deadline) {
  for (;;) {
    if (!WaitFor(socket.Fd(), POLLIN, deadline)) {
      return TIoStatus::kTimeout;
    }
    bool retry = false;
    TIoStatus status = RecvOnce(socket, out, retry);
    if (!retry) {
      return status;
    }
  }
}

TIoStatus RecvBlocking(const TSocket& socket, std::vector<std::uint8_t>& out) {
  for (;;) {
    bool retry = false;
    TIoStatus status = RecvOnce(socket, out, retry);
    if (!retry) {
      return status;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd p{socket.Fd(), POLLIN, 0};
      poll(&p, 1, -1);
    }
  }
}

TListenSocket::TListenSocket(const std::string& host, std::uint16_t port, int backlog)
    : fHost(host) {
  sockaddr_storage address;
  socklen_t length = 0;
  if (!MakeAddress(host, port, address, length)) {
    throw ELinkSocketError("not a numeric address: " + host);
  }
  fSocket = TSocket(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fSocket.Valid()) {
    throw ELinkSocketError(std::string("socket: ") + std::strerror(errno));
  }
  int one = 1;
  setsockopt(fSocket.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fSocket.Fd(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    throw ELinkSocketError("cannot bind " + host + ":" + std::to_string(port) + ": " +
                           std::strerror(errno));
  }
  if (::listen(fSocket.Fd(), backlog) != 0) {
    throw ELinkSocketError(std::string("listen: ") + std::strerror(errno));
  }
  sockaddr_storage bound;
  socklen_t boundLength = sizeof bound;
  getsockname(fSocket.Fd(), reinterpret_cast<sockaddr*>(&bound), &boundLength);
  fPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

TSocket TListenSocket::Accept() const {
  for (;;) {
    int fd = ::accept4(fSocket.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      SetNoDelay(fd);
      return TSocket(fd);
    }
    // Transient failures (a client that reset before accept, EINTR) do not end the listener.
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) {
      continue;
    }
    return {};
  }
}

}  // namespace vantorix
