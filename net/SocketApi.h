// The platform socket layer: connected stream sockets, listening sockets and the factory that
// opens them. The WebSocket server and the terminal link reach the operating system's sockets
// only here: POSIX sockets (PosixSocketApi.cpp) or Winsock (WinsockSocketApi.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vantorix {

enum class TIPVersion { IPv4, IPv6 };

// An endpoint. IP is text: IPv4 dotted decimal; IPv6 as eight upper-case hexadecimal groups
// without leading zeros, never shortened (0:0:0:0:0:0:0:1). Empty IP means the any-address.
struct TSocketAddress {
  TIPVersion Version = TIPVersion::IPv4;
  std::u16string IP;
  std::uint16_t Port = 0;
};

// Result of Receive/Send when nothing could be transferred without waiting.
inline constexpr std::ptrdiff_t kWouldBlock = -1;

// One connected TCP stream.
//
// Threading: every member may be called from any thread at the same time as any other member.
// Close() wakes threads waiting in WaitReadable/WaitWritable; after Close() those return true at
// once and Receive/Send report 10058 (shut down). The descriptor is released exactly once, when
// Close() has been called and no other call is still using it, so its number is never reused
// under a running call.
//
// Failure: platform errors are raised as TSocketError carrying the Winsock code.
class TStreamSocket {
 public:
  virtual ~TStreamSocket() = default;

  // Waits up to timeoutMs (negative: no limit, 0: just look) until the socket is readable: bytes
  // or end of stream are available, an error is pending, or the socket was closed. False on
  // time-out.
  virtual bool WaitReadable(int timeoutMs) = 0;
  // Takes up to size bytes without waiting: the count (> 0), 0 at end of stream, or kWouldBlock.
  // With peek set the bytes stay in the socket.
  virtual std::ptrdiff_t Receive(std::uint8_t* data, std::size_t size, bool peek = false) = 0;
  // Waits up to timeoutMs until the socket accepts bytes to send (or was closed or failed).
  virtual bool WaitWritable(int timeoutMs) = 0;
  // Hands up to size bytes to the socket without waiting: the count accepted or kWouldBlock.
  virtual std::ptrdiff_t Send(const std::uint8_t* data, std::size_t size) = 0;
  // Sends small pieces at once instead of gathering them (TCP_NODELAY), for request and reply
  // protocols. Best effort: nothing is reported, and in-memory sockets ignore it.
  virtual void SetNoDelay() {}
  // Shuts down both directions and releases the descriptor (see above). Idempotent.
  virtual void Close() = 0;
  // False once Close() has been called.
  virtual bool IsOpen() const = 0;

  virtual TSocketAddress LocalAddress() const = 0;
  virtual TSocketAddress PeerAddress() const = 0;
};

// One listening TCP socket. Threading: Accept runs on one thread at a time; Close may be called
// from any thread and wakes it. Failure: Bind and Listen raise TSocketError.
class TListenSocket {
 public:
  virtual ~TListenSocket() = default;
  virtual void Bind(const std::u16string& ip, std::uint16_t port) = 0;
  virtual void Listen(int backlog) = 0;
  // Waits up to timeoutMs for a connection and accepts it. Null on time-out, after Close(), and
  // when the accept itself fails (the caller just waits again).
  virtual std::unique_ptr<TStreamSocket> Accept(int timeoutMs) = 0;
  // The bound endpoint (the actual port when bound to port 0).
  virtual TSocketAddress LocalAddress() const = 0;
  virtual void Close() = 0;
};

// Opens sockets. Implementations are stateless or internally synchronised; callable from any
// thread. The object must outlive every socket it opened.
class TSocketApi {
 public:
  virtual ~TSocketApi() = default;
  // Whether the system offers the IPv6 address family.
  virtual bool HasIPv6() = 0;
  // A TCP socket of the family, ready to bind. A second listener on a bound port fails with
  // 10048, while a port whose connections linger in TIME_WAIT can be bound again at once: on
  // POSIX SO_REUSEADDR is 1, on Windows SO_EXCLUSIVEADDRUSE is set (its SO_REUSEADDR would let
  // another socket take the port). IPv6 sockets are IPv6-only, so they stand beside an IPv4
  // socket on the same port.
  virtual std::unique_ptr<TListenSocket> OpenListener(TIPVersion version) = 0;
  // Connects to ip:port, failing after timeoutMs (negative: the system's own limit). Raises
  // TSocketError (10061 when nothing listens there).
  virtual std::unique_ptr<TStreamSocket> Connect(const TSocketAddress& address, int timeoutMs) = 0;
};

// The operating system's sockets (POSIX or Winsock). Shared by every caller; on Windows it holds
// Winsock initialised for the process's lifetime.
TSocketApi& PlatformSocketApi();

// Maps a platform error number onto the Winsock code of the same condition; unknown numbers
// are returned unchanged (on Windows every number is returned unchanged).
int PlatformErrorToWinsock(int platformError);

}  // namespace vantorix
