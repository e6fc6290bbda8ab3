// Raw WebSocket test client over the system's sockets (POSIX or Winsock), used directly.
#include "tests/websocket/support/WsTestClient.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "websocket/Base64.h"
#include "websocket/Sha1.h"

namespace vantorix::test {
namespace {

// The few calls that differ between POSIX sockets and Winsock. The client waits with poll
// (WSAPoll), which serves it well: it never needs a wait that another thread ends.
#ifdef _WIN32
using TNative = SOCKET;
constexpr int kSendFlags = 0;
int LastError() {
  return WSAGetLastError();
}
bool WouldBlock(int e) {
  return e == WSAEWOULDBLOCK;
}
bool Interrupted(int e) {
  return e == WSAEINTR;
}
int PollOne(TNative s, short events, int timeoutMs) {
  WSAPOLLFD p{s, events, 0};
  return WSAPoll(&p, 1, timeoutMs);
}
void CloseNative(TNative s) {
  ::closesocket(s);
}
bool MakeNonBlocking(TNative s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0;
}
std::string ErrorText(int e) {
  return "Winsock error " + std::to_string(e);
}
// Winsock is started once for the test process and stays up.
void StartSockets() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
#else
using TNative = int;
constexpr int kSendFlags = MSG_NOSIGNAL;
int LastError() {
  return errno;
}
bool WouldBlock(int e) {
  return e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS;
}
bool Interrupted(int e) {
  return e == EINTR;
}
int PollOne(TNative s, short events, int timeoutMs) {
  pollfd p{s, events, 0};
  return ::poll(&p, 1, timeoutMs);
}
void CloseNative(TNative s) {
  ::close(s);
}
bool MakeNonBlocking(TNative) {
  return true;  // opened with SOCK_NONBLOCK
}
std::string ErrorText(int e) {
  return std::strerror(e);
}
void StartSockets() {}
#endif

TNative Native(std::intptr_t fd) {
  return static_cast<TNative>(fd);
}

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int Left(long long deadline) {
  return static_cast<int>(std::max(0LL, deadline - NowMs()));
}

}  // namespace

std::optional<std::uint16_t> TWsFrame::CloseCode() const {
  if (Payload.size() < 2)
    return std::nullopt;
  return static_cast<std::uint16_t>((Payload[0] << 8) | Payload[1]);
}

TWsTestClient::TWsTestClient(const std::string& host, std::uint16_t port, int timeoutMs,
                             int receiveBufferBytes) {
  StartSockets();
  sockaddr_storage ss{};
  socklen_t len = 0;
  auto* in4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    len = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    len = sizeof(sockaddr_in6);
  } else {
    throw std::runtime_error("not a numeric address: " + host);
  }
#ifdef _WIN32
  const TNative fd = ::socket(ss.ss_family, SOCK_STREAM, IPPROTO_TCP);
  const bool opened = fd != INVALID_SOCKET;
#else
  const TNative fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const bool opened = fd >= 0;
#endif
  if (!opened || !MakeNonBlocking(fd)) {
    if (opened)
      CloseNative(fd);
    throw std::runtime_error("socket: " + ErrorText(LastError()));
  }
  FFd = static_cast<std::intptr_t>(fd);
  if (receiveBufferBytes > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBufferBytes),
                 sizeof receiveBufferBytes);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    int err = LastError();
    if (WouldBlock(err)) {
      err = ETIMEDOUT;
      if (PollOne(fd, POLLOUT, timeoutMs) == 1) {
        socklen_t errLen = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &errLen);
      }
    }
    if (err != 0) {
      CloseNative(fd);
      FFd = -1;
      throw std::runtime_error("connect: " + ErrorText(err));
    }
  }
}

TWsTestClient::~TWsTestClient() {
  if (FFd >= 0)
    CloseNative(Native(FFd));
}

std::string TWsTestClient::UpgradeRequest(std::string_view key) {
  std::string r =
      "GET /chat HTTP/1.1\r\n"
      "Host: server.example.com\r\n"
      "Upgrade: websocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Key: ";
  r += key;
  r += "\r\n"
       "Origin: http://example.com\r\n"
       "Sec-WebSocket-Protocol: chat, superchat\r\n"
       "Sec-WebSocket-Version: 13\r\n\r\n";
  return r;
}

std::string TWsTestClient::AcceptFor(std::string_view key) {
  std::string text(key);
  text += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  const auto digest = THashSHA1().HashBytes(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  return Base64Encode(digest);
}

void TWsTestClient::SendRaw(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  const long long deadline = NowMs() + 10000;
  while (done < bytes.size()) {
    if (FFd < 0)
      throw std::runtime_error("send on a closed client");
    const auto n =
        ::send(Native(FFd), reinterpret_cast<const char*>(bytes.data()) + done,
               static_cast<int>(std::min<std::size_t>(bytes.size() - done, 1 << 30)), kSendFlags);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const int err = LastError();
    if (n < 0 && WouldBlock(err) && Left(deadline) > 0) {
      PollOne(Native(FFd), POLLOUT, Left(deadline));
      continue;
    }
    if (n < 0 && Interrupted(err))
      continue;
    throw std::runtime_error("send: " + ErrorText(err));
  }
}

void TWsTestClient::SendRaw(std::string_view bytes) {
  SendRaw(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                        bytes.size()));
}

bool TWsTestClient::Fill(int timeoutMs) {
  if (FFd < 0 || FClosed)
    return false;
  if (PollOne(Native(FFd), POLLIN, timeoutMs) <= 0)
    return false;
  char buf[65536];
  const auto n = ::recv(Native(FFd), buf, sizeof buf, 0);
  if (n > 0) {
    FBuffer.insert(FBuffer.end(), buf, buf + n);
    return true;
  }
  if (n < 0 && (WouldBlock(LastError()) || Interrupted(LastError())))
    return true;
  FClosed = true;  // end of stream or reset
  return false;
}

bool TWsTestClient::Need(std::size_t n, long long deadline) {
  while (FBuffer.size() < n) {
    if (!Fill(Left(deadline)) && (FClosed || Left(deadline) == 0))
      return false;
  }
  return true;
}

std::string TWsTestClient::Handshake(std::string_view key, int timeoutMs) {
  SendRaw(UpgradeRequest(key));
  const long long deadline = NowMs() + timeoutMs;
  static constexpr std::string_view kEnd = "\r\n\r\n";
  for (;;) {
    const auto it = std::search(FBuffer.begin(), FBuffer.end(), kEnd.begin(), kEnd.end());
    if (it != FBuffer.end()) {
      const auto end = it + static_cast<std::ptrdiff_t>(kEnd.size());
      std::string head(FBuffer.begin(), end);
      FBuffer.erase(FBuffer.begin(), end);
      return head;
    }
    if (!Fill(Left(deadline)) && (FClosed || Left(deadline) == 0))
      return {};
  }
}

bool TWsTestClient::Open(std::string_view key, int timeoutMs) {
  const std::string head = Handshake(key, timeoutMs);
  return head.rfind("HTTP/1.1 101 ", 0) == 0 &&
         head.find("\r\nSec-WebSocket-Accept: " + AcceptFor(key) + "\r\n") != std::string::npos;
}

void TWsTestClient::SendFrame(bool fin, std::uint8_t opcode, std::span<const std::uint8_t> payload,
                              bool mask, std::uint8_t rsv, std::array<std::uint8_t, 4> key) {
  TRawBytes frame;
  frame.push_back(static_cast<std::uint8_t>((fin ? 0x80 : 0) | ((rsv & 7) << 4) | (opcode & 15)));
  const std::uint8_t maskBit = mask ? 0x80 : 0;
  const std::uint64_t n = payload.size();
  if (n <= 125) {
    frame.push_back(static_cast<std::uint8_t>(maskBit | n));
  } else if (n <= 0xFFFF) {
    frame.push_back(maskBit | 126);
    frame.push_back(static_cast<std::uint8_t>(n >> 8));
    frame.push_back(static_cast<std::uint8_t>(n));
  } else {
    frame.push_back(maskBit | 127);
    for (int i = 7; i >= 0; --i)
      frame.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  }
  if (mask)
    frame.insert(frame.end(), key.begin(), key.end());
  const std::size_t at = frame.size();
  frame.insert(frame.end(), payload.begin(), payload.end());
  if (mask) {
    for (std::size_t i = 0; i < payload.size(); ++i)
      frame[at + i] ^= key[i & 3];
  }
  SendRaw(frame);
}

void TWsTestClient::SendDataMessage(std::uint8_t opcode, std::span<const std::uint8_t> payload,
                                    std::size_t fragmentSize) {
  if (fragmentSize == 0 || payload.size() <= fragmentSize) {
    SendFrame(true, opcode, payload);
    return;
  }
  std::size_t at = 0;
  bool first = true;
  while (at < payload.size()) {
    const std::size_t n = std::min(fragmentSize, payload.size() - at);
    const bool last = at + n == payload.size();
    SendFrame(last, first ? opcode : 0, payload.subspan(at, n));
    first = false;
    at += n;
  }
}

void TWsTestClient::SendText(std::string_view utf8, std::size_t fragmentSize) {
  SendDataMessage(1,
                  std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(utf8.data()),
                                                utf8.size()),
                  fragmentSize);
}

void TWsTestClient::SendBinary(std::span<const std::uint8_t> payload, std::size_t fragmentSize) {
  SendDataMessage(2, payload, fragmentSize);
}

void TWsTestClient::SendPing(std::string_view payload) {
  SendFrame(true, 9,
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(payload.data()),
                                          payload.size()));
}

void TWsTestClient::SendPong(std::string_view payload) {
  SendFrame(true, 10,
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(payload.data()),
                                          payload.size()));
}

void TWsTestClient::SendClose(std::optional<std::uint16_t> status, std::string_view reason) {
  TRawBytes body;
  if (status) {
    body.push_back(static_cast<std::uint8_t>(*status >> 8));
    body.push_back(static_cast<std::uint8_t>(*status));
    body.insert(body.end(), reason.begin(), reason.end());
  }
  SendFrame(true, 8, body);
}

std::optional<TWsFrame> TWsTestClient::ReadFrame(int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  if (!Need(2, deadline))
    return std::nullopt;
  std::size_t header = 2;
  std::uint64_t len = FBuffer[1] & 0x7F;
  if (len == 126) {
    header = 4;
  } else if (len == 127) {
    header = 10;
  }
  const bool masked = (FBuffer[1] & 0x80) != 0;
  if (!Need(header + (masked ? 4 : 0), deadline))
    return std::nullopt;
  if (header == 4)
    len = (std::uint64_t{FBuffer[2]} << 8) | FBuffer[3];
  if (header == 10) {
    len = 0;
    for (int i = 0; i < 8; ++i)
      len = (len << 8) | FBuffer[2 + i];
  }
  const std::size_t keyAt = header;
  if (masked)
    header += 4;
  if (!Need(header + len, deadline))
    return std::nullopt;
  TWsFrame f;
  f.Fin = (FBuffer[0] & 0x80) != 0;
  f.Rsv = (FBuffer[0] >> 4) & 7;
  f.Opcode = FBuffer[0] & 15;
  f.Masked = masked;
  const auto end = FBuffer.begin() + static_cast<std::ptrdiff_t>(header + len);
  f.Raw.assign(FBuffer.begin(), end);
  f.Payload.assign(FBuffer.begin() + static_cast<std::ptrdiff_t>(header), end);
  if (masked) {
    for (std::size_t i = 0; i < f.Payload.size(); ++i)
      f.Payload[i] ^= FBuffer[keyAt + i % 4];
  }
  FBuffer.erase(FBuffer.begin(), end);
  return f;
}

std::optional<std::string> TWsTestClient::ReadText(int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  for (;;) {
    auto f = ReadFrame(Left(deadline));
    if (!f)
      return std::nullopt;
    if (f->Opcode == 1)
      return f->Text();
  }
}

TRawBytes TWsTestClient::ReadRaw(std::size_t n, int timeoutMs) {
  Need(n, NowMs() + timeoutMs);
  const std::size_t take = std::min(n, FBuffer.size());
  TRawBytes out(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(take));
  FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(take));
  return out;
}

TRawBytes TWsTestClient::ReadAvailable(int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  while (Left(deadline) > 0 && !FClosed)
    Fill(Left(deadline));
  TRawBytes out;
  out.swap(FBuffer);
  return out;
}

bool TWsTestClient::WaitForClose(int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  while (!FClosed) {
    FBuffer.clear();
    if (!Fill(Left(deadline)) && !FClosed && Left(deadline) == 0)
      return false;
  }
  return true;
}

void TWsTestClient::Close() {
  if (FFd >= 0)
    CloseNative(Native(FFd));
  FFd = -1;
}

void TWsTestClient::ShutdownSending() {
#ifdef _WIN32
  constexpr int kSendSide = SD_SEND;
#else
  constexpr int kSendSide = SHUT_WR;
#endif
  if (FFd >= 0)
    ::shutdown(Native(FFd), kSendSide);
}

void TWsTestClient::Reset() {
  if (FFd < 0)
    return;
  linger l{1, 0};
  ::setsockopt(Native(FFd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  CloseNative(Native(FFd));
  FFd = -1;
}

std::uint16_t TWsTestClient::LocalPort() const {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (FFd < 0 || ::getsockname(Native(FFd), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
    return 0;
  if (ss.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

}  // namespace vantorix::test
