// The socket layer on POSIX: descriptors, poll, error numbers mapped onto Winsock codes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "net/SocketApi.h"
#include "net/SocketErrors.h"
#include "net/SystemAddress.h"

namespace vantorix {

int PlatformErrorToWinsock(int e) {
  switch (e) {
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
    case EAGAIN:
      return 10035;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
      return 10035;
#endif
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    // EPIPE is a send after either side shut the stream down.
    case ESHUTDOWN:
    case EPIPE:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    case ENOTEMPTY:
      return 10066;
    default:
      return e;
  }
}

namespace {

[[noreturn]] void ThrowErrno() {
  throw TSocketError(PlatformErrorToWinsock(errno));
}

// Wait after an accept that failed for want of resources.
constexpr int kAcceptRetryMs = 50;

// Polls one descriptor, restarting after signals with the remaining time.
bool PollFor(int fd, short events, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs > 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, wait);
    if (r > 0)
      return true;
    if (r == 0)
      return false;
    if (errno != EINTR)
      ThrowErrno();
  }
}

bool IsAnyAddress(const sockaddr_storage& ss) {
  if (ss.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in&>(ss).sin_addr.s_addr == htonl(INADDR_ANY);
  if (ss.ss_family == AF_INET6)
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(ss).sin6_addr);
  return true;
}

// Closes a descriptor that has not been handed to its owner yet.
struct TFdGuard {
  int Fd;
  ~TFdGuard() {
    if (Fd >= 0)
      ::close(Fd);
  }
  int Release() { return std::exchange(Fd, -1); }
};

// Owns one descriptor. Calls borrow the number through TUse; Close() shuts the socket down at
// once (waking pollers) but the close(2) happens when the last borrower returns, so a number
// is never reused while a call still holds it.
class TDescriptor {
 public:
  explicit TDescriptor(int fd) : FFd(fd) {}
  ~TDescriptor() { Close(); }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;

  class TUse {
   public:
    explicit TUse(TDescriptor& d) : FD(d) {
      std::lock_guard lock(FD.FLock);
      if (!FD.FClosed) {
        FFd = FD.FFd;
        ++FD.FUsers;
      }
    }
    ~TUse() {
      if (FFd < 0)
        return;
      std::lock_guard lock(FD.FLock);
      if (--FD.FUsers == 0 && FD.FClosed && FD.FFd >= 0) {
        ::close(FD.FFd);
        FD.FFd = -1;
      }
    }
    TUse(const TUse&) = delete;
    TUse& operator=(const TUse&) = delete;
    int Fd() const { return FFd; }

   private:
    TDescriptor& FD;
    int FFd = -1;
  };

  void Close() {
    std::lock_guard lock(FLock);
    if (FClosed)
      return;
    FClosed = true;
    ::shutdown(FFd, SHUT_RDWR);
    if (FUsers == 0) {
      ::close(FFd);
      FFd = -1;
    }
  }
  bool IsOpen() const {
    std::lock_guard lock(FLock);
    return !FClosed;
  }

 private:
  mutable std::mutex FLock;
  int FFd;
  bool FClosed = false;
  int FUsers = 0;
};

class TPosixStreamSocket final : public TStreamSocket {
 public:
  // peer: the address accept returned, or null to ask the socket. getpeername fails on a
  // connection the peer has already reset, accept's address is there all the same. local: the
  // listener's own address when it is bound to one address, or null to ask the socket.
  TPosixStreamSocket(int fd, const sockaddr_storage* peer, const TSocketAddress* local = nullptr)
      : FDescriptor(fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (local != nullptr)
      FLocal = *local;
    else if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
      FLocal = FromSystemAddress(ss);
    len = sizeof ss;
    if (peer != nullptr)
      FPeer = FromSystemAddress(*peer);
    else if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
      FPeer = FromSystemAddress(ss);
  }

  bool WaitReadable(int timeoutMs) override {
    TDescriptor::TUse use(FDescriptor);
    return use.Fd() < 0 || PollFor(use.Fd(), POLLIN, timeoutMs);
  }

  std::ptrdiff_t Receive(std::uint8_t* data, std::size_t size, bool peek) override {
    TDescriptor::TUse use(FDescriptor);
    if (use.Fd() < 0)
      throw TSocketError(kWsaEShutdown);
    const int flags = MSG_DONTWAIT | (peek ? MSG_PEEK : 0);
    for (;;) {
      const ssize_t n = ::recv(use.Fd(), data, size, flags);
      if (n >= 0)
        return n;
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        return kWouldBlock;
      if (errno != EINTR)
        ThrowErrno();
    }
  }

  bool WaitWritable(int timeoutMs) override {
    TDescriptor::TUse use(FDescriptor);
    return use.Fd() < 0 || PollFor(use.Fd(), POLLOUT, timeoutMs);
  }

  std::ptrdiff_t Send(const std::uint8_t* data, std::size_t size) override {
    TDescriptor::TUse use(FDescriptor);
    if (use.Fd() < 0)
      throw TSocketError(kWsaEShutdown);
    for (;;) {
      const ssize_t n = ::send(use.Fd(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n >= 0)
        return n;
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        return kWouldBlock;
      if (errno != EINTR)
        ThrowErrno();
    }
  }

  void SetNoDelay() override {
    TDescriptor::TUse use(FDescriptor);
    const int one = 1;
    if (use.Fd() >= 0) {
      ::setsockopt(use.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
  }

  void Close() override { FDescriptor.Close(); }
  bool IsOpen() const override { return FDescriptor.IsOpen(); }
  TSocketAddress LocalAddress() const override { return FLocal; }
  TSocketAddress PeerAddress() const override { return FPeer; }

 private:
  TDescriptor FDescriptor;
  TSocketAddress FLocal;
  TSocketAddress FPeer;
};

class TPosixListenSocket final : public TListenSocket {
 public:
  TPosixListenSocket(int fd, TIPVersion version) : FDescriptor(fd), FVersion(version) {}

  void Bind(const std::u16string& ip, std::uint16_t port) override {
    sockaddr_storage ss{};
    const auto len = static_cast<socklen_t>(ToSystemAddress(FVersion, ip, port, ss));
    TDescriptor::TUse use(FDescriptor);
    if (use.Fd() < 0)
      throw TSocketError(kWsaEShutdown);
    if (::bind(use.Fd(), reinterpret_cast<sockaddr*>(&ss), len) != 0)
      ThrowErrno();
  }

  void Listen(int backlog) override {
    TDescriptor::TUse use(FDescriptor);
    if (use.Fd() < 0)
      throw TSocketError(kWsaEShutdown);
    if (::listen(use.Fd(), backlog) != 0)
      ThrowErrno();
    // A listener bound to one address gives every connection that address as its local one;
    // knowing it saves each accept a getsockname. On an any-address the socket must be asked.
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(use.Fd(), reinterpret_cast<sockaddr*>(&ss), &len) == 0 && !IsAnyAddress(ss))
      FFixedLocal = FromSystemAddress(ss);
  }

  std::unique_ptr<TStreamSocket> Accept(int timeoutMs) override {
    TDescriptor::TUse use(FDescriptor);
    if (use.Fd() < 0)
      return nullptr;
    try {
      if (!PollFor(use.Fd(), POLLIN, timeoutMs) || !FDescriptor.IsOpen())
        return nullptr;
    } catch (const TSocketError&) {
      return nullptr;
    }
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    // The listener is non-blocking, so a connection that went away between the poll and here
    // costs no wait. Accepted sockets stay blocking (every call passes MSG_DONTWAIT and waits
    // with poll): on Linux they do not inherit the listener's flag, so no fcntl is needed.
    const int fd = ::accept4(use.Fd(), reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or memory, the pending connection keeps the socket readable and the
      // next poll returns at once: wait here instead, so the listener does not spin on a core.
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(
            std::min(timeoutMs < 0 ? kAcceptRetryMs : timeoutMs, kAcceptRetryMs)));
      }
      return nullptr;
    }
    return std::make_unique<TPosixStreamSocket>(fd, &peer, FFixedLocal ? &*FFixedLocal : nullptr);
  }

  TSocketAddress LocalAddress() const override {
    TDescriptor::TUse use(const_cast<TDescriptor&>(FDescriptor));
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (use.Fd() < 0 || ::getsockname(use.Fd(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
      return {FVersion, {}, 0};
    }
    return FromSystemAddress(ss);
  }

  void Close() override { FDescriptor.Close(); }

 private:
  TDescriptor FDescriptor;
  TIPVersion FVersion;
  std::optional<TSocketAddress> FFixedLocal;  // set by Listen, read by Accept on one thread
};

class TPosixSocketApi final : public TSocketApi {
 public:
  bool HasIPv6() override {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
      return false;
    ::close(fd);
    return true;
  }

  std::unique_ptr<TListenSocket> OpenListener(TIPVersion version) override {
    const int family = version == TIPVersion::IPv6 ? AF_INET6 : AF_INET;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
      ThrowErrno();
    auto socket = std::make_unique<TPosixListenSocket>(fd, version);
    const int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
      ThrowErrno();
    if (version == TIPVersion::IPv6 &&
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0) {
      ThrowErrno();
    }
    return socket;
  }

  std::unique_ptr<TStreamSocket> Connect(const TSocketAddress& address, int timeoutMs) override {
    sockaddr_storage ss{};
    const auto len =
        static_cast<socklen_t>(ToSystemAddress(address.Version, address.IP, address.Port, ss));
    const int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
      ThrowErrno();
    TFdGuard guard{fd};
    const int fl = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
      if (errno != EINPROGRESS)
        ThrowErrno();
      if (!PollFor(fd, POLLOUT, timeoutMs))
        throw TSocketError(kWsaETimedOut);
      int err = 0;
      socklen_t errLen = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen);
      if (err != 0)
        throw TSocketError(PlatformErrorToWinsock(err));
    }
    ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return std::make_unique<TPosixStreamSocket>(guard.Release(), nullptr);
  }
};

}  // namespace

TSocketApi& PlatformSocketApi() {
  static TPosixSocketApi api;  // stateless
  return api;
}

}  // namespace vantorix
