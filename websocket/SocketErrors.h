// Errors of the socket layer: socket errors with their Winsock code and text, and the
// closed-connection error of the buffered I/O handler.
#pragma once

#include <stdexcept>
#include <string>

namespace vantorix {

// Winsock error codes that the I/O handler treats specially.
inline constexpr int kWsaEIntr = 10004;
inline constexpr int kWsaEWouldBlock = 10035;
inline constexpr int kWsaEAddrInUse = 10048;
inline constexpr int kWsaEAddrNotAvail = 10049;
inline constexpr int kWsaEConnAborted = 10053;
inline constexpr int kWsaEConnReset = 10054;
inline constexpr int kWsaENoBufs = 10055;
inline constexpr int kWsaEShutdown = 10058;
inline constexpr int kWsaETimedOut = 10060;

// The text of a Winsock error code ("Address already in use." for 10048); empty for a code
// outside the table.
std::string SocketErrorText(int code);

// "Socket Error # %d\r\n%s" with the code and its text.
std::string FormatSocketError(int code);

// A failed socket call. Code() is the Winsock code (POSIX errors are mapped onto it).
class TSocketError : public std::runtime_error {
 public:
  explicit TSocketError(int code);
  int Code() const noexcept { return FCode; }

 private:
  int FCode;
};

// Raised by reads and writes on a connection that is closed: "Connection Closed Gracefully.".
class TConnClosedGracefully : public std::runtime_error {
 public:
  TConnClosedGracefully();
};

// A read that waited longer than the handler's ReadTimeout (never with the defaults).
class TReadTimeout : public std::runtime_error {
 public:
  TReadTimeout();
};

// True for the codes that mean the peer or our side ended the connection (10053, 10054, 10058).
bool IsConnectionLostCode(int code) noexcept;

}  // namespace vantorix
