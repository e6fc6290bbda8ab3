// In-memory socket pair and the fault-injecting socket wrapper.
#include "websocket/FakeSockets.h"

#include <algorithm>
#include <chrono>
#include <deque>

#include "net/SocketErrors.h"

namespace vantorix {

// Direction d carries bytes sent by side 1-d to side d.
struct TMemoryPipeState {
  struct TDirection {
    std::deque<std::uint8_t> Bytes;
    bool WriterClosed = false;  // end of stream once Bytes is drained
    bool WriterReset = false;   // reads fail with 10054
    bool ReaderClosed = false;  // sends fail with 10054
  };
  std::mutex Lock;
  std::condition_variable Changed;
  TDirection Dir[2];
  bool Closed[2] = {false, false};
  std::size_t Capacity = 0;
};

namespace {

template <typename Pred>
bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int timeoutMs,
             Pred pred) {
  if (timeoutMs < 0) {
    cv.wait(lock, pred);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

}  // namespace

TMemoryStreamSocket::TMemoryStreamSocket(std::shared_ptr<TMemoryPipeState> state, int side)
    : FState(std::move(state)), FSide(side) {}

TMemoryStreamSocket::~TMemoryStreamSocket() {
  Close();
}

bool TMemoryStreamSocket::WaitReadable(int timeoutMs) {
  std::unique_lock lock(FState->Lock);
  auto& in = FState->Dir[FSide];
  return WaitFor(lock, FState->Changed, timeoutMs, [&] {
    return !in.Bytes.empty() || in.WriterClosed || in.WriterReset || FState->Closed[FSide];
  });
}

std::ptrdiff_t TMemoryStreamSocket::Receive(std::uint8_t* data, std::size_t size, bool peek) {
  std::lock_guard lock(FState->Lock);
  auto& in = FState->Dir[FSide];
  if (FState->Closed[FSide])
    throw TSocketError(kWsaEShutdown);
  if (in.WriterReset)
    throw TSocketError(kWsaEConnReset);
  if (in.Bytes.empty())
    return in.WriterClosed ? 0 : kWouldBlock;
  const std::size_t n = std::min(size, in.Bytes.size());
  std::copy_n(in.Bytes.begin(), n, data);
  if (!peek) {
    in.Bytes.erase(in.Bytes.begin(), in.Bytes.begin() + static_cast<std::ptrdiff_t>(n));
    FState->Changed.notify_all();
  }
  return static_cast<std::ptrdiff_t>(n);
}

bool TMemoryStreamSocket::WaitWritable(int timeoutMs) {
  std::unique_lock lock(FState->Lock);
  auto& out = FState->Dir[1 - FSide];
  return WaitFor(lock, FState->Changed, timeoutMs, [&] {
    return out.Bytes.size() < FState->Capacity || out.ReaderClosed || FState->Closed[FSide];
  });
}

std::ptrdiff_t TMemoryStreamSocket::Send(const std::uint8_t* data, std::size_t size) {
  std::lock_guard lock(FState->Lock);
  auto& out = FState->Dir[1 - FSide];
  if (FState->Closed[FSide])
    throw TSocketError(kWsaEShutdown);
  if (out.ReaderClosed)
    throw TSocketError(kWsaEConnReset);
  const std::size_t room =
      FState->Capacity > out.Bytes.size() ? FState->Capacity - out.Bytes.size() : 0;
  if (room == 0)
    return kWouldBlock;
  const std::size_t n = std::min(room, size);
  out.Bytes.insert(out.Bytes.end(), data, data + n);
  FState->Changed.notify_all();
  return static_cast<std::ptrdiff_t>(n);
}

void TMemoryStreamSocket::Close() {
  std::lock_guard lock(FState->Lock);
  if (FState->Closed[FSide])
    return;
  FState->Closed[FSide] = true;
  FState->Dir[1 - FSide].WriterClosed = true;
  FState->Dir[FSide].ReaderClosed = true;
  FState->Changed.notify_all();
}

void TMemoryStreamSocket::Abort() {
  std::lock_guard lock(FState->Lock);
  FState->Dir[1 - FSide].WriterReset = true;
  FState->Closed[FSide] = true;
  FState->Dir[FSide].ReaderClosed = true;
  FState->Changed.notify_all();
}

void TMemoryStreamSocket::ShutdownSend() {
  std::lock_guard lock(FState->Lock);
  FState->Dir[1 - FSide].WriterClosed = true;
  FState->Changed.notify_all();
}

bool TMemoryStreamSocket::IsOpen() const {
  std::lock_guard lock(FState->Lock);
  return !FState->Closed[FSide];
}

std::size_t TMemoryStreamSocket::Pending() const {
  std::lock_guard lock(FState->Lock);
  return FState->Dir[FSide].Bytes.size();
}

TSocketAddress TMemoryStreamSocket::LocalAddress() const {
  return {TIPVersion::IPv4, u"127.0.0.1", static_cast<std::uint16_t>(FSide == 0 ? 8989 : 50000)};
}

TSocketAddress TMemoryStreamSocket::PeerAddress() const {
  return {TIPVersion::IPv4, u"127.0.0.1", static_cast<std::uint16_t>(FSide == 0 ? 50000 : 8989)};
}

TMemorySocketPair MakeMemorySocketPair(std::size_t capacity) {
  auto state = std::make_shared<TMemoryPipeState>();
  state->Capacity = std::max<std::size_t>(capacity, 1);
  return {std::make_unique<TMemoryStreamSocket>(state, 0),
          std::make_unique<TMemoryStreamSocket>(state, 1)};
}

TFaultyStreamSocket::TFaultyStreamSocket(std::unique_ptr<TStreamSocket> inner, TFaultPlan plan)
    : FInner(std::move(inner)), FPlan(plan) {}

std::ptrdiff_t TFaultyStreamSocket::Receive(std::uint8_t* data, std::size_t size, bool peek) {
  if (!peek) {
    const int call = ++FReceiveCalls;
    if (FPlan.FailReceiveAt > 0 && call >= FPlan.FailReceiveAt) {
      throw TSocketError(FPlan.ReceiveErrorCode);
    }
    if (FPlan.MaxReceiveChunk > 0)
      size = std::min(size, FPlan.MaxReceiveChunk);
  }
  return FInner->Receive(data, size, peek);
}

std::ptrdiff_t TFaultyStreamSocket::Send(const std::uint8_t* data, std::size_t size) {
  const int call = ++FSendCalls;
  if (FPlan.FailSendAt > 0 && call >= FPlan.FailSendAt)
    throw TSocketError(FPlan.SendErrorCode);
  if (FPlan.MaxSendChunk > 0)
    size = std::min(size, FPlan.MaxSendChunk);
  const std::ptrdiff_t n = FInner->Send(data, size);
  if (n > 0 && FPlan.AfterSend)
    FPlan.AfterSend(data, static_cast<std::size_t>(n));
  return n;
}

}  // namespace vantorix
