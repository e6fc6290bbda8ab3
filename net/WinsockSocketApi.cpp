// The socket layer on Windows: Winsock 2, whose error codes are the ones the layer reports.
//
// A thread waiting on a socket must wake when another thread closes it. WSAPoll and select are
// not woken by shutdown() from another thread (under wine at least), so each socket carries an
// event that WSAEventSelect sets on network activity and a second, "closed" event that Close
// sets; waiters wait on both with WaitForMultipleObjects.
//
// WSAEventSelect allows one event per socket, and its network events are recorded once until the
// call that re-enables them (recv for FD_READ, send failing with WSAEWOULDBLOCK for FD_WRITE,
// accept for FD_ACCEPT). Readers and writers wait on one socket at the same time, so no waiter
// may consume a wake-up that another one needs: each waiter registers an event of its own; the
// waiter that sees the network event takes it (WSAEnumNetworkEvents, which resets it) and sets
// every registered waiter's event; each waiter then looks at the socket's state itself with a
// select that does not wait. A waiter registers before it looks, so whatever happens after the
// look sets its own event.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "net/SocketApi.h"
#include "net/SocketErrors.h"
#include "net/SystemAddress.h"

namespace vantorix {

int PlatformErrorToWinsock(int e) {
  return e;
}

namespace {

using TClock = std::chrono::steady_clock;

[[noreturn]] void ThrowLastError() {
  throw TSocketError(WSAGetLastError());
}

// Wait after an accept that failed for want of resources.
constexpr int kAcceptRetryMs = 50;

enum class TReadiness { Read, Write };

// Milliseconds left until deadline for WaitForMultipleObjects; INFINITE without a limit.
DWORD MsLeft(int timeoutMs, TClock::time_point deadline) {
  if (timeoutMs < 0) {
    return INFINITE;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return left > 0 ? static_cast<DWORD>(std::min<long long>(left, INFINITE - 1)) : 0;
}

// A manual-reset event. Failure: raises TSocketError with the system's code.
HANDLE NewEvent() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    throw TSocketError(static_cast<int>(GetLastError()));
  }
  return event;
}

// Owns one SOCKET with its network event and its closed event. Calls borrow the socket through
// TUse; Close() shuts the socket down and sets the closed event at once (waking waiters), but
// closesocket happens when the last borrower returns, so a handle is never reused under a call.
class TWinSocket {
 public:
  // Takes s once constructed (on failure the caller keeps it); networkEvents are the FD_ bits the
  // socket reports. The socket becomes non-blocking.
  TWinSocket(SOCKET s, long networkEvents) {
    try {
      FNetworkEvent = NewEvent();
      FClosedEvent = NewEvent();
      if (WSAEventSelect(s, FNetworkEvent, networkEvents) != 0) {
        ThrowLastError();
      }
    } catch (...) {
      Release();
      throw;
    }
    FSocket = s;
  }
  // The owner destroys it once no call uses it any more.
  ~TWinSocket() {
    Close();
    Release();
  }
  TWinSocket(const TWinSocket&) = delete;
  TWinSocket& operator=(const TWinSocket&) = delete;

  class TUse {
   public:
    explicit TUse(TWinSocket& s) : FS(s) {
      std::lock_guard lock(FS.FLock);
      if (!FS.FClosed) {
        FSocket = FS.FSocket;
        ++FS.FUsers;
      }
    }
    ~TUse() {
      if (FSocket == INVALID_SOCKET) {
        return;
      }
      std::lock_guard lock(FS.FLock);
      if (--FS.FUsers == 0 && FS.FClosed) {
        FS.CloseSocketLocked();
      }
    }
    TUse(const TUse&) = delete;
    TUse& operator=(const TUse&) = delete;
    SOCKET Socket() const { return FSocket; }

   private:
    TWinSocket& FS;
    SOCKET FSocket = INVALID_SOCKET;
  };

  void Close() {
    std::lock_guard lock(FLock);
    if (FClosed) {
      return;
    }
    FClosed = true;
    SetEvent(FClosedEvent);
    ::shutdown(FSocket, SD_BOTH);
    if (FUsers == 0) {
      CloseSocketLocked();
    }
  }

  bool IsOpen() const {
    std::lock_guard lock(FLock);
    return !FClosed;
  }

  // Waits up to timeoutMs (negative: no limit) until the socket is ready for what is asked, or
  // was closed. False on time-out.
  bool Wait(TReadiness readiness, int timeoutMs) {
    TUse use(*this);
    if (use.Socket() == INVALID_SOCKET) {
      return true;
    }
    const auto deadline = TClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    const HANDLE mine = TakeWaiterEvent();
    bool ready = false;
    try {
      const HANDLE events[] = {FClosedEvent, FNetworkEvent, mine};
      for (;;) {
        ResetEvent(mine);
        if (Ready(use.Socket(), readiness)) {
          ready = true;
          break;
        }
        const DWORD woken = WaitForMultipleObjects(3, events, FALSE, MsLeft(timeoutMs, deadline));
        if (woken == WAIT_OBJECT_0) {
          ready = true;
          break;
        }
        if (woken == WAIT_OBJECT_0 + 1) {
          PassOnNetworkEvent(use.Socket());
        } else if (woken != WAIT_OBJECT_0 + 2) {
          break;  // time-out (or a wait that failed: the caller sees a time-out)
        }
      }
    } catch (...) {
      ReturnWaiterEvent(mine);
      throw;
    }
    ReturnWaiterEvent(mine);
    return ready;
  }

 private:
  // Whether the socket is ready now: readable (bytes, end of stream, an error, a connection to
  // accept) or writable (room to send, or a connect that finished either way).
  static bool Ready(SOCKET s, TReadiness readiness) {
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(s, &fds);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval none{0, 0};
    const int n = readiness == TReadiness::Read ? ::select(0, &fds, nullptr, nullptr, &none)
                                                : ::select(0, nullptr, &fds, &failed, &none);
    // A select that fails reports the socket ready: the call that follows reports the error.
    return n != 0;
  }

  HANDLE TakeWaiterEvent() {
    std::lock_guard lock(FLock);
    HANDLE event = nullptr;
    if (FSpare.empty()) {
      event = NewEvent();
    } else {
      event = FSpare.back();
      FSpare.pop_back();
    }
    FWaiters.push_back(event);
    return event;
  }

  void ReturnWaiterEvent(HANDLE event) {
    std::lock_guard lock(FLock);
    FWaiters.erase(std::find(FWaiters.begin(), FWaiters.end(), event));
    FSpare.push_back(event);
  }

  // Takes the network event and wakes every waiter to look for itself.
  void PassOnNetworkEvent(SOCKET s) {
    std::lock_guard lock(FLock);
    WSANETWORKEVENTS happened{};
    WSAEnumNetworkEvents(s, FNetworkEvent, &happened);
    for (const HANDLE waiter : FWaiters) {
      SetEvent(waiter);
    }
  }

  void CloseSocketLocked() {
    if (FSocket != INVALID_SOCKET) {
      ::closesocket(FSocket);
      FSocket = INVALID_SOCKET;
    }
  }

  // Only from the constructor and the destructor, when no call can use the socket.
  void Release() {
    CloseSocketLocked();
    for (const HANDLE event : {FNetworkEvent, FClosedEvent}) {
      if (event != nullptr) {
        CloseHandle(event);
      }
    }
    FNetworkEvent = FClosedEvent = nullptr;
    for (const HANDLE event : FSpare) {
      CloseHandle(event);
    }
    FSpare.clear();
  }

  mutable std::mutex FLock;
  SOCKET FSocket = INVALID_SOCKET;
  HANDLE FNetworkEvent = nullptr;
  HANDLE FClosedEvent = nullptr;
  bool FClosed = false;
  int FUsers = 0;
  std::vector<HANDLE> FWaiters;  // events of the threads waiting now
  std::vector<HANDLE> FSpare;    // events kept for the next waiters
};

constexpr long kStreamEvents = FD_READ | FD_WRITE | FD_CLOSE | FD_CONNECT;
constexpr long kListenEvents = FD_ACCEPT | FD_CLOSE;

// Takes a socket that is not handed to its owner yet; closes it unless released.
struct TSocketGuard {
  SOCKET Socket;
  ~TSocketGuard() {
    if (Socket != INVALID_SOCKET) {
      ::closesocket(Socket);
    }
  }
  SOCKET Release() { return std::exchange(Socket, INVALID_SOCKET); }
};

class TWinsockStreamSocket final : public TStreamSocket {
 public:
  // peer: the address accept returned, or null to ask the socket.
  TWinsockStreamSocket(SOCKET s, const sockaddr_storage* peer) : FSocket(s, kStreamEvents) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) == 0) {
      FLocal = FromSystemAddress(ss);
    }
    len = sizeof ss;
    if (peer != nullptr) {
      FPeer = FromSystemAddress(*peer);
    } else if (::getpeername(s, reinterpret_cast<sockaddr*>(&ss), &len) == 0) {
      FPeer = FromSystemAddress(ss);
    }
  }

  bool WaitReadable(int timeoutMs) override { return FSocket.Wait(TReadiness::Read, timeoutMs); }

  std::ptrdiff_t Receive(std::uint8_t* data, std::size_t size, bool peek) override {
    TWinSocket::TUse use(FSocket);
    if (use.Socket() == INVALID_SOCKET) {
      throw TSocketError(kWsaEShutdown);
    }
    const int n =
        ::recv(use.Socket(), reinterpret_cast<char*>(data),
               static_cast<int>(std::min<std::size_t>(size, INT_MAX)), peek ? MSG_PEEK : 0);
    if (n != SOCKET_ERROR) {
      return n;
    }
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
      return kWouldBlock;
    }
    ThrowLastError();
  }

  bool WaitWritable(int timeoutMs) override { return FSocket.Wait(TReadiness::Write, timeoutMs); }

  std::ptrdiff_t Send(const std::uint8_t* data, std::size_t size) override {
    TWinSocket::TUse use(FSocket);
    if (use.Socket() == INVALID_SOCKET) {
      throw TSocketError(kWsaEShutdown);
    }
    const int n = ::send(use.Socket(), reinterpret_cast<const char*>(data),
                         static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (n != SOCKET_ERROR) {
      return n;
    }
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
      return kWouldBlock;
    }
    ThrowLastError();
  }

  void SetNoDelay() override {
    TWinSocket::TUse use(FSocket);
    const BOOL on = TRUE;
    if (use.Socket() != INVALID_SOCKET) {
      ::setsockopt(use.Socket(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof on);
    }
  }

  void Close() override { FSocket.Close(); }
  bool IsOpen() const override { return FSocket.IsOpen(); }
  TSocketAddress LocalAddress() const override { return FLocal; }
  TSocketAddress PeerAddress() const override { return FPeer; }

 private:
  TWinSocket FSocket;
  TSocketAddress FLocal;
  TSocketAddress FPeer;
};

class TWinsockListenSocket final : public TListenSocket {
 public:
  TWinsockListenSocket(SOCKET s, TIPVersion version)
      : FSocket(s, kListenEvents), FVersion(version) {}

  void Bind(const std::u16string& ip, std::uint16_t port) override {
    sockaddr_storage ss{};
    const int len = ToSystemAddress(FVersion, ip, port, ss);
    TWinSocket::TUse use(FSocket);
    if (use.Socket() == INVALID_SOCKET) {
      throw TSocketError(kWsaEShutdown);
    }
    if (::bind(use.Socket(), reinterpret_cast<sockaddr*>(&ss), len) != 0) {
      ThrowLastError();
    }
  }

  void Listen(int backlog) override {
    TWinSocket::TUse use(FSocket);
    if (use.Socket() == INVALID_SOCKET) {
      throw TSocketError(kWsaEShutdown);
    }
    if (::listen(use.Socket(), backlog) != 0) {
      ThrowLastError();
    }
  }

  std::unique_ptr<TStreamSocket> Accept(int timeoutMs) override {
    TWinSocket::TUse use(FSocket);
    if (use.Socket() == INVALID_SOCKET) {
      return nullptr;
    }
    try {
      if (!FSocket.Wait(TReadiness::Read, timeoutMs) || !FSocket.IsOpen()) {
        return nullptr;
      }
    } catch (const TSocketError&) {
      return nullptr;
    }
    sockaddr_storage peer{};
    int peerLen = sizeof peer;
    TSocketGuard accepted{::accept(use.Socket(), reinterpret_cast<sockaddr*>(&peer), &peerLen)};
    if (accepted.Socket == INVALID_SOCKET) {
      // Out of sockets or memory, the pending connection keeps the socket readable and the next
      // wait returns at once: wait here instead, so the listener does not spin on a core.
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK && error != WSAEINTR && error != WSAECONNRESET &&
          error != WSAECONNABORTED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(
            std::min(timeoutMs < 0 ? kAcceptRetryMs : timeoutMs, kAcceptRetryMs)));
      }
      return nullptr;
    }
    try {
      // The accepted socket took over the listener's event selection; its own replaces it.
      auto socket = std::make_unique<TWinsockStreamSocket>(accepted.Socket, &peer);
      accepted.Release();
      return socket;
    } catch (const TSocketError&) {
      return nullptr;  // the guard closes the accepted socket
    }
  }

  TSocketAddress LocalAddress() const override {
    TWinSocket::TUse use(const_cast<TWinSocket&>(FSocket));
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (use.Socket() == INVALID_SOCKET ||
        ::getsockname(use.Socket(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
      return {FVersion, {}, 0};
    }
    return FromSystemAddress(ss);
  }

  void Close() override { FSocket.Close(); }

 private:
  TWinSocket FSocket;
  TIPVersion FVersion;
};

class TWinsockSocketApi final : public TSocketApi {
 public:
  TWinsockSocketApi() {
    WSADATA data{};
    FStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~TWinsockSocketApi() override {
    if (FStarted) {
      WSACleanup();
    }
  }
  TWinsockSocketApi(const TWinsockSocketApi&) = delete;
  TWinsockSocketApi& operator=(const TWinsockSocketApi&) = delete;

  bool HasIPv6() override {
    const SOCKET s = ::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
      return false;
    }
    ::closesocket(s);
    return true;
  }

  std::unique_ptr<TListenSocket> OpenListener(TIPVersion version) override {
    const int family = version == TIPVersion::IPv6 ? AF_INET6 : AF_INET;
    TSocketGuard guard{::socket(family, SOCK_STREAM, IPPROTO_TCP)};
    if (guard.Socket == INVALID_SOCKET) {
      ThrowLastError();
    }
    // SO_REUSEADDR would let another socket bind the port we listen on; this makes the port
    // ours alone, and a second listener fails with 10048.
    const BOOL on = TRUE;
    if (::setsockopt(guard.Socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                     reinterpret_cast<const char*>(&on), sizeof on) != 0) {
      ThrowLastError();
    }
    if (version == TIPVersion::IPv6 &&
        ::setsockopt(guard.Socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on),
                     sizeof on) != 0) {
      ThrowLastError();
    }
    auto socket = std::make_unique<TWinsockListenSocket>(guard.Socket, version);
    guard.Release();
    return socket;
  }

  std::unique_ptr<TStreamSocket> Connect(const TSocketAddress& address, int timeoutMs) override {
    sockaddr_storage ss{};
    const int len = ToSystemAddress(address.Version, address.IP, address.Port, ss);
    TSocketGuard guard{::socket(ss.ss_family, SOCK_STREAM, IPPROTO_TCP)};
    if (guard.Socket == INVALID_SOCKET) {
      ThrowLastError();
    }
    // Nobody else has the socket yet, so a plain select can wait for the connection.
    u_long nonBlocking = 1;
    if (::ioctlsocket(guard.Socket, FIONBIO, &nonBlocking) != 0) {
      ThrowLastError();
    }
    if (::connect(guard.Socket, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
      if (WSAGetLastError() != WSAEWOULDBLOCK) {
        ThrowLastError();
      }
      fd_set connected;
      FD_ZERO(&connected);
      FD_SET(guard.Socket, &connected);
      fd_set failed = connected;
      timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
      const int n = ::select(0, nullptr, &connected, &failed, timeoutMs < 0 ? nullptr : &limit);
      if (n == SOCKET_ERROR) {
        ThrowLastError();
      }
      if (n == 0) {
        throw TSocketError(kWsaETimedOut);
      }
      int error = 0;
      int errorLen = sizeof error;
      ::getsockopt(guard.Socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &errorLen);
      if (FD_ISSET(guard.Socket, &failed) || error != 0) {
        throw TSocketError(error != 0 ? error : WSAECONNREFUSED);
      }
    }
    auto socket = std::make_unique<TWinsockStreamSocket>(guard.Socket, nullptr);
    guard.Release();
    return socket;
  }

 private:
  bool FStarted = false;
};

}  // namespace

TSocketApi& PlatformSocketApi() {
  static TWinsockSocketApi api;  // Winsock stays initialised until the process ends
  return api;
}

}  // namespace vantorix
