// The load client's sockets: loopback TCP connections, upgraded WebSocket clients, and one epoll
// set that drives any number of them. Everything here runs on one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/load/WsFrames.h"

namespace vantorix {

// An owned file descriptor, closed by the destructor.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int fd) : FFd(fd) {}
  TFd(TFd&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
  TFd& operator=(TFd&& other) noexcept;
  ~TFd();
  int Get() const { return FFd; }

 private:
  int FFd = -1;
};

// A blocking TCP connection to 127.0.0.1:port with TCP_NODELAY (the load adds no delays of its
// own). Throws EBenchError when it cannot be made.
TFd ConnectLoopback(std::uint16_t port);

// Sets O_NONBLOCK.
void MakeNonBlocking(int fd);

// A connected WebSocket client: the upgrade request sent, the 101 answer with the right accept
// value read (within 10 s), the socket non-blocking. Throws EBenchError otherwise.
class TWsClient {
 public:
  explicit TWsClient(std::uint16_t port);
  int Fd() const { return FSocket.Get(); }

  // Queues one masked text frame.
  void QueueText(std::string_view payload);
  // Queues bytes that are a frame already.
  void QueueFrame(std::string_view frame);
  // Sends what the socket takes now; true when nothing is left queued.
  bool Flush();
  bool HasOutput() const { return FSent < FOut.size(); }

  // Reads what has arrived and hands each whole message to onMessage. Throws EBenchError when
  // the server has closed the connection or broken the protocol.
  void Receive(const std::function<void(std::string_view)>& onMessage);

 private:
  void DropSent();

  TFd FSocket;
  std::string FOut;
  std::size_t FSent = 0;
  TFrameReader FIn;
  std::uint32_t FMask = 0x5A3C96E1;
};

// Opens clients to one server, one after another.
std::vector<std::unique_ptr<TWsClient>> OpenClients(std::uint16_t port, std::size_t count);

// An epoll set over clients, which it does not own. Client i is the i-th added.
class TPump {
 public:
  TPump();
  void Add(TWsClient& client);
  // Queues a text message on client i and sends what the socket takes.
  void Send(std::size_t i, std::string_view payload);
  // The same with a frame built beforehand.
  void SendFrame(std::size_t i, std::string_view frame);
  // Waits at most timeout for the sockets, then sends queued bytes and reads replies, calling
  // onMessage(i, text) for each. Throws EBenchError when a connection fails.
  void Poll(std::chrono::milliseconds timeout,
            const std::function<void(std::size_t, std::string_view)>& onMessage);
  TWsClient& Client(std::size_t i) { return *FClients[i]; }

 private:
  void Watch(std::size_t i);  // follows whether client i has output to send

  TFd FEpoll;
  std::vector<TWsClient*> FClients;
  std::vector<bool> FWantsOut;
};

// Throws EBenchError naming what differs when got is not want.
void ExpectReply(std::string_view got, std::string_view want, std::string_view what);

}  // namespace vantorix
