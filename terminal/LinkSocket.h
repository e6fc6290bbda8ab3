// Small TCP sockets for the terminal link: RAII descriptors, bounded connect, framed I/O.
// POSIX sockets; a Winsock variant would sit behind the same functions.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantorix {

// Raised when a listening socket cannot be opened; what() names the address and the reason.
class ELinkSocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Owns one descriptor and closes it exactly once. Move-only.
class TSocket {
 public:
  TSocket() = default;
  explicit TSocket(int fd) : fFd(fd) {}
  TSocket(TSocket&& other) noexcept : fFd(other.fFd) { other.fFd = -1; }
  TSocket& operator=(TSocket&& other) noexcept;
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;
  ~TSocket() { Close(); }

  bool Valid() const { return fFd >= 0; }
  int Fd() const { return fFd; }
  // Wakes any thread blocked on this socket; safe from another thread while the descriptor lives.
  void Shutdown() const;
  void Close();

 private:
  int fFd = -1;
};

enum class TIoStatus { kOk, kClosed, kTimeout, kError };

// Connects to a numeric IPv4 or IPv6 address within the time-out. Returns an invalid socket on
// failure and sets error to the errno value (ETIMEDOUT when the time-out ran out, EINVAL for a
// host that is not a numeric address). The socket returned is non-blocking.
TSocket ConnectTcp(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
                   int& error);

// Writes every byte before the deadline. Works on blocking and non-blocking sockets.
TIoStatus SendAll(const TSocket& socket, std::span<const std::uint8_t> bytes,
                  std::chrono::steady_clock::time_point deadline);
// Appends whatever arrives (at least one byte) before the deadline to out.
TIoStatus RecvSome(const TSocket& socket, std::vector<std::uint8_t>& out,
                   std::chrono::steady_clock::time_point deadline);
// Blocks until bytes arrive or the peer closes; used by server threads woken by Shutdown.
TIoStatus RecvBlocking(const TSocket& socket, std::vector<std::uint8_t>& out);

// A listening TCP socket bound to host:port (port 0 picks a free port).
class TListenSocket {
 public:
  // Throws ELinkSocketError when the address is not numeric or cannot be bound.
  TListenSocket(const std::string& host, std::uint16_t port, int backlog = 64);
  std::uint16_t Port() const { return fPort; }
  const std::string& Host() const { return fHost; }
  // Blocks until a client arrives; invalid socket once Shutdown was called or on failure.
  TSocket Accept() const;
  void Shutdown() const { fSocket.Shutdown(); }

 private:
  TSocket fSocket;
  std::string fHost;
  std::uint16_t fPort = 0;
};

}  // namespace vantorix
