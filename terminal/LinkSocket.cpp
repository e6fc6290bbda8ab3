// The terminal link sockets on the system socket layer.
#include "terminal/LinkSocket.h"

#include <algorithm>

#include "net/SocketErrors.h"

namespace vantorix {

namespace {

using TClock = std::chrono::steady_clock;

TSocketAddress Address(const std::string& host, std::uint16_t port) {
  TSocketAddress address;
  address.Version = host.find(':') != std::string::npos ? TIPVersion::IPv6 : TIPVersion::IPv4;
  address.IP.assign(host.begin(), host.end());
  address.Port = port;
  return address;
}

int MillisUntil(TClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
  if (left.count() <= 0) {
    return 0;
  }
  return left.count() > 1'000'000 ? 1'000'000 : static_cast<int>(left.count());
}

TIoStatus Failure(const TSocketError& e) {
  return IsConnectionLostCode(e.Code()) ? TIoStatus::kClosed : TIoStatus::kError;
}

// Receives what is there: kOk with bytes appended (retry set when there were none yet). A full
// chunk is followed at once by the next receive, so a large reply costs no wait for readiness
// per chunk; the bytes already appended are kept when the connection then ends or fails, and
// that is reported by the next call. At most kChunksPerCall chunks are taken, so the caller
// checks what arrived (a frame's length, above all) before a fast sender can make it buffer
// more.
TIoStatus RecvOnce(const TLinkSocket& socket, std::vector<std::uint8_t>& out, bool& retry) {
  constexpr int kChunksPerCall = 16;
  std::uint8_t chunk[64 * 1024];
  retry = false;
  bool any = false;
  try {
    for (int chunks = 0; chunks < kChunksPerCall; ++chunks) {
      const std::ptrdiff_t n = socket.Stream().Receive(chunk, sizeof chunk);
      if (n == kWouldBlock || (any && n == 0)) {
        retry = !any;
        return TIoStatus::kOk;
      }
      if (n == 0) {
        return TIoStatus::kClosed;
      }
      out.insert(out.end(), chunk, chunk + n);
      any = true;
      if (static_cast<std::size_t>(n) < sizeof chunk) {
        return TIoStatus::kOk;
      }
    }
    return TIoStatus::kOk;
  } catch (const TSocketError& e) {
    return any ? TIoStatus::kOk : Failure(e);
  }
}

// A link is a conversation of short exchanges: a request, then an answer that a terminal on
// the same machine gives within tens of microseconds (a sync of 3,000 users is 12,000
// exchanges), so a receive first tries without waiting for a moment (see TSpinBeforeWait).
// True when it has a status to return.
bool Spin(TLinkSocket& socket, std::vector<std::uint8_t>& out, TIoStatus& status) {
  return socket.Spin().TryIfDue([&] {
    bool retry = false;
    status = RecvOnce(socket, out, retry);
    return !retry;
  });
}

// Waits for readable with the limit (negative: none), then receives until bytes come.
TIoStatus Recv(TLinkSocket& socket, std::vector<std::uint8_t>& out,
               const TClock::time_point* deadline) {
  if (TIoStatus status; Spin(socket, out, status)) {
    return status;
  }
  for (;;) {
    try {
      if (!socket.Stream().WaitReadable(deadline != nullptr ? MillisUntil(*deadline) : -1)) {
        return TIoStatus::kTimeout;
      }
    } catch (const TSocketError& e) {
      return Failure(e);
    }
    bool retry = false;
    const TIoStatus status = RecvOnce(socket, out, retry);
    if (!retry) {
      return status;
    }
  }
}

}  // namespace

void TLinkSocket::Shutdown() const {
  if (fSocket) {
    fSocket->Close();
  }
}

TLinkSocket ConnectTcp(const std::string& host, std::uint16_t port,
                       std::chrono::milliseconds timeout, int& error) {
  try {
    TLinkSocket socket(PlatformSocketApi().Connect(
        Address(host, port), static_cast<int>(std::max<long long>(0, timeout.count()))));
    socket.Stream().SetNoDelay();
    error = 0;
    return socket;
  } catch (const TSocketError& e) {
    error = e.Code();
    return {};
  }
}

TIoStatus SendAll(const TLinkSocket& socket, std::span<const std::uint8_t> bytes,
                  TClock::time_point deadline) {
  std::size_t sent = 0;
  try {
    while (sent < bytes.size()) {
      const std::ptrdiff_t n = socket.Stream().Send(bytes.data() + sent, bytes.size() - sent);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (!socket.Stream().WaitWritable(MillisUntil(deadline))) {
        return TIoStatus::kTimeout;
      }
    }
  } catch (const TSocketError& e) {
    return Failure(e);
  }
  return TIoStatus::kOk;
}

TIoStatus RecvSome(TLinkSocket& socket, std::vector<std::uint8_t>& out,
                   TClock::time_point deadline) {
  return Recv(socket, out, &deadline);
}

TIoStatus RecvBlocking(TLinkSocket& socket, std::vector<std::uint8_t>& out) {
  return Recv(socket, out, nullptr);
}

TLinkListenSocket::TLinkListenSocket(const std::string& host, std::uint16_t port, int backlog)
    : fHost(host) {
  const TSocketAddress address = Address(host, port);
  try {
    fSocket = PlatformSocketApi().OpenListener(address.Version);
    fSocket->Bind(address.IP, port);
    fSocket->Listen(backlog);
  } catch (const TSocketError& e) {
    const std::string reason = SocketErrorText(e.Code());
    throw ELinkSocketError("cannot listen on " + host + ":" + std::to_string(port) + ": " +
                           (reason.empty() ? "error " + std::to_string(e.Code()) : reason));
  }
  fPort = fSocket->LocalAddress().Port;
}

TLinkSocket TLinkListenSocket::Accept() const {
  // A failed accept (a client that reset before it, a want of resources) does not end the
  // listener; the socket layer waits a moment after the latter.
  while (!fStopped) {
    if (std::unique_ptr<TStreamSocket> accepted = fSocket->Accept(-1)) {
      accepted->SetNoDelay();
      return TLinkSocket(std::move(accepted));
    }
  }
  return {};
}

void TLinkListenSocket::Shutdown() const {
  fStopped = true;
  fSocket->Close();
}

}  // namespace vantorix
