// In-memory and fault-injecting stream sockets for tests and fuzzers: the I/O handler, handshake
// and frame code run on them exactly as on a real socket.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>

#include "net/SocketApi.h"

namespace vantorix {

struct TMemoryPipeState;

// One end of an in-memory connection made by MakeMemorySocketPair. Behaves as TStreamSocket
// says, thread-safe like it. Closing one end gives the other end end-of-stream on reads and
// 10054 on sends; Abort() gives the other end 10054 on reads too (a reset).
class TMemoryStreamSocket final : public TStreamSocket {
 public:
  TMemoryStreamSocket(std::shared_ptr<TMemoryPipeState> state, int side);
  ~TMemoryStreamSocket() override;

  bool WaitReadable(int timeoutMs) override;
  std::ptrdiff_t Receive(std::uint8_t* data, std::size_t size, bool peek) override;
  bool WaitWritable(int timeoutMs) override;
  std::ptrdiff_t Send(const std::uint8_t* data, std::size_t size) override;
  void Close() override;
  bool IsOpen() const override;
  TSocketAddress LocalAddress() const override;
  TSocketAddress PeerAddress() const override;

  // Closes this end as a connection reset: the other end's reads fail with 10054.
  void Abort();
  // Ends this end's sending only, like shutdown(SHUT_WR): the other end reads end of stream
  // after the bytes already sent, and this end can still receive.
  void ShutdownSend();
  // Bytes sent to this end that it has not received yet.
  std::size_t Pending() const;

 private:
  std::shared_ptr<TMemoryPipeState> FState;
  int FSide;
};

struct TMemorySocketPair {
  std::unique_ptr<TMemoryStreamSocket> Server;
  std::unique_ptr<TMemoryStreamSocket> Client;
};

// Two connected ends. capacity bounds the bytes in flight per direction (a peer that stops
// reading makes Send report kWouldBlock once it is reached). Addresses: 127.0.0.1, server port
// 8989, client port 50000.
TMemorySocketPair MakeMemorySocketPair(
    std::size_t capacity = std::numeric_limits<std::size_t>::max());

// What TFaultyStreamSocket does wrong. Call numbers count from 1; 0 means never.
struct TFaultPlan {
  int FailReceiveAt = 0;  // that Receive (peeks not counted) and every later one raises
  int ReceiveErrorCode = 10054;
  int FailSendAt = 0;  // that Send and every later one raises
  int SendErrorCode = 10054;
  std::size_t MaxReceiveChunk = 0;  // > 0: no Receive returns more bytes
  std::size_t MaxSendChunk = 0;     // > 0: no Send accepts more bytes
  // Called on the sending thread with the bytes each Send handed to the inner socket, before
  // that Send returns; not called when nothing was accepted or the Send raised.
  std::function<void(const std::uint8_t* data, std::size_t size)> AfterSend;
};

// Wraps a socket and injects the faults of a plan; everything else is passed on.
class TFaultyStreamSocket final : public TStreamSocket {
 public:
  TFaultyStreamSocket(std::unique_ptr<TStreamSocket> inner, TFaultPlan plan);

  bool WaitReadable(int timeoutMs) override { return FInner->WaitReadable(timeoutMs); }
  std::ptrdiff_t Receive(std::uint8_t* data, std::size_t size, bool peek) override;
  bool WaitWritable(int timeoutMs) override { return FInner->WaitWritable(timeoutMs); }
  std::ptrdiff_t Send(const std::uint8_t* data, std::size_t size) override;
  void Close() override { FInner->Close(); }
  bool IsOpen() const override { return FInner->IsOpen(); }
  TSocketAddress LocalAddress() const override { return FInner->LocalAddress(); }
  TSocketAddress PeerAddress() const override { return FInner->PeerAddress(); }

  int ReceiveCalls() const { return FReceiveCalls; }
  int SendCalls() const { return FSendCalls; }

 private:
  std::unique_ptr<TStreamSocket> FInner;
  TFaultPlan FPlan;
  std::atomic<int> FReceiveCalls{0};
  std::atomic<int> FSendCalls{0};
};

}  // namespace vantorix
