// Buffered connection I/O: the receive step, the disconnect check, reads from the input buffer
// and writes with a time limit.
#include "websocket/IOHandler.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <new>

#include "net/SocketErrors.h"
#include "websocket/Utf8.h"

namespace vantorix {
namespace {

using TClock = std::chrono::steady_clock;

// What an emptied input buffer may keep of its memory for the next messages. An idle
// connection keeps no more than its last small message took.
constexpr std::size_t kKeptCapacity = 16 * 1024;
// Receives of at most this many bytes land on the stack first and are appended as they came:
// a receive that finds little or nothing (the liveness look after every message) neither grows
// nor zero-fills the input buffer. Waiting for more than this receives into the buffer itself.
constexpr std::size_t kStackReceive = 16 * 1024;

int MsLeft(TClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

}  // namespace

std::u16string TSocketHandle::BoundEndpointText() const {
  if (BoundIP.empty())
    return {};
  std::u16string port;
  for (char c : std::to_string(BoundPort))
    port.push_back(static_cast<char16_t>(c));
  if (IPVersion == TIPVersion::IPv6)
    return u"[" + BoundIP + u"]:" + port;
  return BoundIP + u":" + port;
}

void TInputBuffer::ExtractToBytes(TBytes& VBytes) {
  std::lock_guard lock(FLock);
  VBytes.insert(VBytes.end(), FData.begin() + static_cast<std::ptrdiff_t>(FHead), FData.end());
  FData.clear();
  FHead = 0;
}

void TInputBuffer::ExtractToBytes(TBytes& VBytes, std::size_t AByteCount) {
  std::lock_guard lock(FLock);
  const std::size_t n = std::min(AByteCount, SizeLocked());
  if (n == 0)
    return;
  const std::size_t old = VBytes.size();
  VBytes.resize(old + n);
  TakeLocked(VBytes.data() + old, n);
}

std::size_t TInputBuffer::IndexOf(std::span<const std::uint8_t> needle, std::size_t from) const {
  std::lock_guard lock(FLock);
  if (from > SizeLocked())
    return npos;
  const auto begin = FData.begin() + static_cast<std::ptrdiff_t>(FHead);
  const auto at = std::search(begin + static_cast<std::ptrdiff_t>(from), FData.end(),
                              needle.begin(), needle.end());
  if (at == FData.end() && !needle.empty())
    return npos;
  return static_cast<std::size_t>(at - begin);
}

std::size_t TInputBuffer::Size() const {
  std::lock_guard lock(FLock);
  return SizeLocked();
}

std::size_t TInputBuffer::Capacity() const {
  std::lock_guard lock(FLock);
  return FData.capacity();
}

void TInputBuffer::AppendLocked(const std::uint8_t* data, std::size_t n) {
  FData.insert(FData.end(), data, data + n);
}

void TInputBuffer::TakeLocked(std::uint8_t* out, std::size_t n) {
  std::memcpy(out, FData.data() + FHead, n);
  FHead += n;
  if (FHead == FData.size()) {
    FData.clear();
    FHead = 0;
    // A large message leaves a large buffer behind; an idle connection should not keep it.
    if (FData.capacity() > kKeptCapacity) {
      FData.shrink_to_fit();
    }
  } else if (FHead >= 65536 && FHead * 2 >= FData.size()) {
    // Drop the consumed front once it outweighs the rest, so reading stays linear.
    FData.erase(FData.begin(), FData.begin() + static_cast<std::ptrdiff_t>(FHead));
    FHead = 0;
  }
}

TIOHandler::TIOHandler(std::unique_ptr<TStreamSocket> socket)
    : InputBuffer(FLock),
      Binding(&FBinding),
      FSocket(std::move(socket)),
      FQueue(std::make_shared<TSendQueue>(FSocket)) {}

TIOHandler::~TIOHandler() {
  FQueue->Close();
}

void TIOHandler::MarkLostLocked() {
  FClosedGracefully = true;
  FQueue->Close();
}

bool TIOHandler::DisconnectCheckLocked(bool raise, bool ignoreBuffer) {
  bool disconnected;
  if (FClosedGracefully) {
    // Replies held back for a batch get the one try they would have had without the hold.
    FQueue->SendThenClose();
    disconnected = true;
  } else {
    disconnected = !SocketOpenLocked();
  }
  if (disconnected && raise && (ignoreBuffer || InputBuffer.SizeLocked() == 0)) {
    throw TConnClosedGracefully();
  }
  return disconnected;
}

std::ptrdiff_t TIOHandler::ReceiveNowLocked(std::size_t chunk) {
  TBytes& data = InputBuffer.FData;
  const std::size_t old = data.size();
  std::array<std::uint8_t, kStackReceive> local;
  const bool direct = chunk > local.size();
  std::ptrdiff_t n = 0;
  try {
    if (direct) {
      data.resize(old + chunk);
      n = FSocket->Receive(data.data() + old, chunk, false);
    } else {
      n = FSocket->Receive(local.data(), chunk, false);
      if (n > 0)
        data.insert(data.end(), local.data(), local.data() + n);
    }
  } catch (const TSocketError& e) {
    data.resize(old);
    if (!IsConnectionLostCode(e.Code()))
      throw;
    MarkLostLocked();
    return 0;
  } catch (const std::bad_alloc&) {
    data.resize(old);
    // Received but no room to keep: the stream has lost bytes and cannot go on.
    if (n > 0) {
      MarkLostLocked();
      return 0;
    }
    throw;
  }
  if (direct)
    data.resize(old + static_cast<std::size_t>(std::max<std::ptrdiff_t>(n, 0)));
  if (n == 0)
    FClosedGracefully = true;
  return n;
}

int TIOHandler::ReceiveStep(int waitLimit, bool raiseOnTimeout, std::size_t satisfiedAt) {
  int limit = waitLimit;
  if (waitLimit == -1)
    limit = ReadTimeout <= 0 ? -1 : ReadTimeout;
  const auto deadline = TClock::now() + std::chrono::milliseconds(limit > 0 ? limit : 0);
  const std::size_t bufferSize = static_cast<std::size_t>(std::max(RecvBufferSize, 1));
  // After a batch of messages the client is sending as fast as it can and reads many replies
  // before it sends again: a look would mostly spin, and one wake-up serves the next batch.
  const bool afterBatch = FRepliesHeld;
  // Nothing held back may wait on the peer's next bytes: the peer may be waiting for it.
  if (limit != 0)
    ReleaseReplies();
  for (;;) {
    std::size_t chunk = std::min(bufferSize, kStackReceive);
    bool tryFirst = false;
    {
      std::lock_guard lock(FLock);
      DisconnectCheckLocked(false, false);
      if (!SocketOpenLocked())
        return 0;
      // Another thread's Connected() may have buffered what the caller waits for between the
      // caller's look at the buffer and this point; waiting now could wait forever. Once
      // registered here, Connected() only peeks until this wait is over.
      if (satisfiedAt > 0 && InputBuffer.SizeLocked() >= satisfiedAt)
        return 0;
      if (satisfiedAt > InputBuffer.SizeLocked() + kStackReceive)
        chunk = bufferSize;
      ++FWaiters;
      tryFirst = limit != 0 && !afterBatch && FSpin.Due();
    }
    // A client on this machine often sends its next message within microseconds of reading a
    // reply; a short look before sleeping saves this thread the sleep and the wake-up.
    bool ready = false;
    bool missed = false;
    try {
      if (tryFirst) {
        ready = TSpinBeforeWait::Try([this] { return FSocket->WaitReadable(0); });
        missed = !ready;
      }
      if (!ready)
        ready = FSocket->WaitReadable(limit > 0 ? MsLeft(deadline) : limit);
    } catch (...) {
      std::lock_guard lock(FLock);
      --FWaiters;
      throw;
    }
    std::lock_guard lock(FLock);
    --FWaiters;
    if (missed)
      FSpin.Missed();
    if (!ready) {
      if (raiseOnTimeout)
        throw TReadTimeout();
      return -1;
    }
    if (!SocketOpenLocked()) {
      DisconnectCheckLocked(false, false);
      return 0;
    }
    std::ptrdiff_t n = 0;
    try {
      n = ReceiveNowLocked(chunk);
    } catch (const TSocketError& e) {
      if (e.Code() != kWsaETimedOut)
        throw;
      if (raiseOnTimeout)
        throw TReadTimeout();
      return -1;
    }
    DisconnectCheckLocked(false, false);
    if (n > 0)
      return static_cast<int>(n);
    if (!SocketOpenLocked())
      return 0;
    // Readable but nothing there: another waiter took the bytes. Wait again, within the limit.
    if (limit == 0 || (limit > 0 && MsLeft(deadline) == 0)) {
      if (raiseOnTimeout)
        throw TReadTimeout();
      return -1;
    }
  }
}

bool TIOHandler::Connected() {
  // One look at the socket without waiting, in one hold of the lock: a reader registers as
  // waiting under the same lock, so bytes are either buffered before it looks at the buffer or
  // left in the socket for its wait to see.
  std::lock_guard lock(FLock);
  // Buffered bytes answer the question: a look at the socket could not change the answer, and
  // after every message of a pipelined batch it would be a receive that finds nothing.
  if (InputBuffer.SizeLocked() > 0)
    return true;
  DisconnectCheckLocked(false, false);
  if (SocketOpenLocked()) {
    try {
      if (FWaiters > 0) {
        std::uint8_t probe = 0;
        if (FSocket->Receive(&probe, 1, true) == 0)
          return InputBuffer.SizeLocked() > 0;
      } else {
        ReceiveNowLocked(
            std::min(static_cast<std::size_t>(std::max(RecvBufferSize, 1)), kStackReceive));
      }
    } catch (const TSocketError& e) {
      if (IsConnectionLostCode(e.Code()))
        return InputBuffer.SizeLocked() > 0;
      // A receive time-out is no news here, as in the receive step; it must not escape a
      // broadcaster's look at another connection.
      if (e.Code() != kWsaETimedOut)
        throw;
    }
    DisconnectCheckLocked(false, false);
  }
  return InputBuffer.SizeLocked() > 0 || (SocketOpenLocked() && !FClosedGracefully);
}

bool TIOHandler::CheckForData(int ATimeout) {
  const std::size_t before = InputBuffer.Size();
  if (!Connected())
    return false;
  if (InputBuffer.Size() > before)
    return true;
  return ReceiveStep(ATimeout, false, before + 1) > 0 || InputBuffer.Size() > before;
}

bool TIOHandler::WaitForInput(std::size_t AByteCount, TClock::time_point ADeadline) {
  for (;;) {
    if (InputBuffer.Size() >= AByteCount)
      return true;
    const int left = MsLeft(ADeadline);
    // 0: closed (or satisfied by another thread's Connected()); -1: the time ran out.
    if (left == 0 || ReceiveStep(left, false, AByteCount) <= 0)
      return InputBuffer.Size() >= AByteCount;
  }
}

bool TIOHandler::InputBufferIsEmpty() const {
  std::lock_guard lock(FLock);
  return InputBuffer.SizeLocked() == 0;
}

std::uint8_t TIOHandler::ReadByte() {
  std::uint8_t byte = 0;
  ReadInto(&byte, 1);
  return byte;
}

void TIOHandler::ReadBytes(TBytes& VBuffer, int AByteCount, bool AAppend) {
  if (AByteCount <= 0)
    return;
  const auto count = static_cast<std::size_t>(AByteCount);
  if (AAppend) {
    // Lengthen only once the bytes are there, so a failed read leaves VBuffer as it was.
    WaitBuffered(count);
    const std::size_t old = VBuffer.size();
    VBuffer.resize(old + count);
    ReadInto(VBuffer.data() + old, count);
  } else {
    WaitBuffered(count);
    if (VBuffer.size() < count)
      VBuffer.resize(count);
    ReadInto(VBuffer.data(), count);
  }
}

void TIOHandler::WaitBuffered(std::size_t count) {
  for (;;) {
    {
      std::lock_guard lock(FLock);
      if (InputBuffer.SizeLocked() >= count)
        return;
    }
    ReceiveStep(-1, true, count);
    std::lock_guard lock(FLock);
    if (InputBuffer.SizeLocked() < count)
      DisconnectCheckLocked(true, true);
  }
}

void TIOHandler::ReadInto(std::uint8_t* out, std::size_t count) {
  {
    std::lock_guard lock(FLock);
    if (InputBuffer.SizeLocked() >= count) {
      InputBuffer.TakeLocked(out, count);
      return;
    }
  }
  WaitBuffered(count);
  std::lock_guard lock(FLock);
  InputBuffer.TakeLocked(out, count);
}

void TIOHandler::ReadBytes(std::span<std::uint8_t> out) {
  {
    std::lock_guard lock(FLock);
    if (InputBuffer.SizeLocked() >= out.size()) {
      InputBuffer.TakeLocked(out.data(), out.size());
      return;
    }
  }
  // Byte by byte while they arrive: a stream that ends on the way has its last bytes taken,
  // so no stray byte stays buffered for ever behind a closed connection.
  for (std::uint8_t& b : out)
    b = ReadByte();
}

void TIOHandler::Write(const TBytes& ABuffer, int ALength, int AOffset) {
  if (AOffset < 0 || static_cast<std::size_t>(AOffset) > ABuffer.size())
    return;
  const std::size_t avail = ABuffer.size() - static_cast<std::size_t>(AOffset);
  std::size_t left = ALength == -1 ? avail : static_cast<std::size_t>(std::max(ALength, 0));
  left = std::min(left, avail);
  if (left < 1)
    return;
  {
    std::lock_guard lock(FLock);
    DisconnectCheckLocked(true, true);
  }
  const auto first = ABuffer.begin() + AOffset;
  const std::optional<std::uint64_t> mark = FQueue->Post(
      std::make_shared<const TBytes>(first, first + static_cast<std::ptrdiff_t>(left)));
  ReleaseReplies();
  if (mark && FQueue->WaitSent(*mark))
    return;
  // Given up by the queue (a failed or stalled send), or closed meanwhile.
  const int code = FQueue->FailureCode();
  std::lock_guard lock(FLock);
  FClosedGracefully = true;
  if (code != 0)
    throw TSocketError(code);
  throw TConnClosedGracefully();
}

bool TIOHandler::Post(TSharedBytes bytes, bool last) {
  return FQueue->Post(std::move(bytes), last).has_value();
}

void TIOHandler::HoldReplies() {
  if (!FRepliesHeld) {
    FRepliesHeld = true;
    FQueue->HoldFlushes();
  }
}

void TIOHandler::ReleaseReplies() {
  if (FRepliesHeld) {
    FRepliesHeld = false;
    FQueue->ReleaseHeld();
  }
}

void TIOHandler::Write(const std::u16string& AOut, TByteEncoding) {
  if (AOut.empty())
    return;
  Write(Utf8Encode(AOut), -1, 0);
}

void TIOHandler::Close() {
  std::lock_guard lock(FLock);
  FOpened = false;
  FQueue->Close();
}

void TIOHandler::CloseWhenSent() {
  std::lock_guard lock(FLock);
  FOpened = false;
  FQueue->CloseWhenSent();
}

bool TIOHandler::Drained() const {
  std::lock_guard lock(FLock);
  return InputBuffer.SizeLocked() == 0 && (FClosedGracefully || !SocketOpenLocked());
}

bool TIOHandler::Opened() const {
  std::lock_guard lock(FLock);
  return SocketOpenLocked();
}

}  // namespace vantorix
