// Small TCP sockets for the terminal link: bounded connect, framed I/O, and a listener, on the
// system socket layer (net/), so that the link runs wherever the server does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "net/SocketApi.h"
#include "net/SpinBeforeWait.h"

namespace vantorix {

// Raised when a listening socket cannot be opened; what() names the address and the reason.
class ELinkSocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Owns one connected socket. Move-only.
class TLinkSocket {
 public:
  TLinkSocket() = default;
  explicit TLinkSocket(std::unique_ptr<TStreamSocket> socket) : fSocket(std::move(socket)) {}

  bool Valid() const { return fSocket != nullptr; }
  TStreamSocket& Stream() const { return *fSocket; }
  // Wakes any thread blocked on this socket and makes its calls fail; safe from another thread
  // while the socket lives.
  void Shutdown() const;
  // Releases the socket; no other thread may use it then.
  void Close() { fSocket.reset(); }

  // Whether the next receive first tries for a moment; kept by the one thread that receives on
  // this socket.
  TSpinBeforeWait& Spin() { return fSpin; }

 private:
  std::unique_ptr<TStreamSocket> fSocket;
  TSpinBeforeWait fSpin;
};

enum class TIoStatus { kOk, kClosed, kTimeout, kError };

// Connects to a numeric IPv4 or IPv6 address within the time-out, with small writes sent at once
// (TCP_NODELAY). Returns an invalid socket on failure and sets error to its Winsock code (10061
// refused, 10060 when the time-out ran out, 10049 for a host that is not a numeric address).
TLinkSocket ConnectTcp(const std::string& host, std::uint16_t port,
                       std::chrono::milliseconds timeout, int& error);

// Writes every byte before the deadline.
TIoStatus SendAll(const TLinkSocket& socket, std::span<const std::uint8_t> bytes,
                  std::chrono::steady_clock::time_point deadline);
// Appends whatever arrives (at least one byte) before the deadline to out. Both receives are for
// one thread at a time per socket; an answer expected within microseconds is taken without
// the thread going to sleep (see LinkSocket.cpp).
TIoStatus RecvSome(TLinkSocket& socket, std::vector<std::uint8_t>& out,
                   std::chrono::steady_clock::time_point deadline);
// Blocks until bytes arrive or the peer closes; used by server threads woken by Shutdown.
TIoStatus RecvBlocking(TLinkSocket& socket, std::vector<std::uint8_t>& out);

// A listening TCP socket bound to host:port (port 0 picks a free port).
// Threading: Accept on one thread at a time; Shutdown from any thread.
class TLinkListenSocket {
 public:
  // Throws ELinkSocketError when the address is not numeric or cannot be bound.
  TLinkListenSocket(const std::string& host, std::uint16_t port, int backlog = 64);
  std::uint16_t Port() const { return fPort; }
  const std::string& Host() const { return fHost; }
  // Blocks until a client arrives (its small writes sent at once); an invalid socket once
  // Shutdown was called.
  TLinkSocket Accept() const;
  void Shutdown() const;

 private:
  std::unique_ptr<TListenSocket> fSocket;
  std::string fHost;
  std::uint16_t fPort = 0;
  mutable std::atomic<bool> fStopped{false};
};

}  // namespace vantorix
