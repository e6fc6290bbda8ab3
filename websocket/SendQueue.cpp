// The send queue: the sending role, the writer thread that exists only for a backlog, and the
// limits that give up a peer which does not take its bytes.
#include "websocket/SendQueue.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <system_error>
#include <utility>

#include "net/SocketErrors.h"
#include "platform/Memory.h"

namespace vantorix {
namespace {

using TClock = std::chrono::steady_clock;

// The longest wait for writability between two send attempts. A socket may take bytes without
// being reported writable (Linux reports it only once half its buffer is free), and bytes it
// takes count as progress; trying again now and then finds them soon instead of at the end of
// the stall time-out, which would then start afresh.
constexpr int kWritableSliceMs = 1000;

// Frames shorter than this that wait behind each other are sent together (one copy, one send).
constexpr std::size_t kBatchBytes = 64 * 1024;

int MsLeft(TClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

}  // namespace

TSendQueue::TSendQueue(std::shared_ptr<TStreamSocket> socket, TSendLimits limits)
    : FSocket(std::move(socket)), FLimits(limits) {}

TSendQueue::~TSendQueue() {
  std::thread writer;
  {
    std::lock_guard lock(FMutex);
    CloseLocked();
    writer = std::move(FWriter);
  }
  if (writer.joinable()) {
    writer.join();
  }
}

void TSendQueue::SetLimits(TSendLimits limits) {
  std::lock_guard lock(FMutex);
  FLimits = limits;
}

TSendLimits TSendQueue::Limits() const {
  std::lock_guard lock(FMutex);
  return FLimits;
}

std::optional<std::uint64_t> TSendQueue::Push(TSharedBytes frame, bool last) {
  std::lock_guard lock(FMutex);
  if (!FAccepting || FFailure != 0 || FClosed) {
    return std::nullopt;
  }
  const std::size_t size = frame ? frame->size() : 0;
  // One frame is always taken, however large (its size is bounded where it is made); it is a
  // backlog that grows past the limit that shows a peer which does not keep up.
  if (!FFrames.empty() && FQueuedBytes + size > FLimits.MaxQueuedBytes) {
    FailLocked(kWsaENoBufs);
    return std::nullopt;
  }
  if (last) {
    FAccepting = false;
  }
  if (size > 0) {
    FFrames.push_back(std::move(frame));
    FQueuedBytes += size;
    FAccepted += size;
  }
  return FAccepted;
}

void TSendQueue::Flush() {
  std::unique_lock lock(FMutex);
  if (FSending) {
    return;  // the thread sending now also sends what was just queued
  }
  if (FHolder == std::this_thread::get_id() && FQueuedBytes < kBatchBytes) {
    return;  // the holder sends it with the next replies, at the latest before it waits
  }
  FSending = true;
  SendLocked(lock, false);
}

std::optional<std::uint64_t> TSendQueue::Post(TSharedBytes frame, bool last) {
  const std::optional<std::uint64_t> mark = Push(std::move(frame), last);
  Flush();
  return mark;
}

void TSendQueue::SendLocked(std::unique_lock<std::mutex>& lock, bool mayWait) {
  auto lastProgress = TClock::now();
  TBytes batch;
  while (!FFrames.empty() && !FClosed) {
    // A reference of our own keeps the frame alive while the lock is released for the send.
    TSharedBytes frame = FFrames.front();
    const std::size_t offset = FOffset;
    const std::uint8_t* data = frame->data() + offset;
    std::size_t size = frame->size() - offset;
    if (size < kBatchBytes && std::next(FFrames.begin()) != FFrames.end()) {
      // Small frames queued behind each other leave in one send: with Nagle's algorithm a second
      // small send would wait for the peer to acknowledge the first, which a client that only
      // listens does late. Copying them costs less than that wait, and less than a send each.
      batch.assign(data, data + size);
      for (auto it = std::next(FFrames.begin());
           it != FFrames.end() && batch.size() + (*it)->size() <= kBatchBytes; ++it) {
        batch.insert(batch.end(), (*it)->begin(), (*it)->end());
      }
      data = batch.data();
      size = batch.size();
    }
    lock.unlock();
    std::ptrdiff_t n = 0;
    int error = 0;
    try {
      n = FSocket->Send(data, size);
    } catch (const TSocketError& e) {
      error = e.Code();
    }
    lock.lock();
    if (FClosed) {
      break;
    }
    if (error != 0 || n == 0) {
      // A frame cut off in the middle can never be followed by another one: the stream would be
      // garbage from there on. Any failure ends the connection. (A send taking no byte at all
      // means the socket was shut down.)
      FailLocked(error != 0 ? error : kWsaEShutdown);
      break;
    }
    if (n == kWouldBlock) {
      if (!mayWait) {
        StartWriterLocked();  // hands the sending role over
        return;
      }
      const auto deadline =
          lastProgress + std::chrono::milliseconds(std::max(FLimits.StallTimeoutMs, 0));
      const int wait = MsLeft(deadline);
      if (wait == 0) {
        FailLocked(kWsaETimedOut);
        break;
      }
      // A writer waiting for room holds no frame: a Close meanwhile releases the backlog at once.
      frame.reset();
      lock.unlock();
      try {
        FSocket->WaitWritable(std::min(wait, kWritableSliceMs));
      } catch (const TSocketError&) {
        // The next send reports the failure.
      }
      lock.lock();
      continue;
    }
    lastProgress = TClock::now();
    auto sent = static_cast<std::size_t>(n);
    FQueuedBytes -= sent;
    FSent += sent;
    // Whoever learns that the bytes are sent may count on their memory being released.
    frame.reset();
    bool releasedLarge = false;
    while (sent > 0) {
      const std::size_t rest = FFrames.front()->size() - FOffset;
      if (sent < rest) {
        FOffset += sent;
        break;
      }
      sent -= rest;
      releasedLarge = releasedLarge || (FFrames.front()->size() >= kLargeMessageBytes &&
                                        FFrames.front().use_count() == 1);
      FFrames.pop_front();
      FOffset = 0;
    }
    if (releasedLarge) {
      // The last queue to send a large frame has freed it: its memory goes back to the system.
      lock.unlock();
      ReturnFreedMemory();
      lock.lock();
    }
    FChanged.notify_all();
  }
  FSending = false;
  if (FFrames.empty() && FCloseWhenEmpty) {
    CloseLocked();
  }
  FChanged.notify_all();
}

void TSendQueue::HoldFlushes() {
  std::lock_guard lock(FMutex);
  if (FHolder == std::thread::id{}) {
    FHolder = std::this_thread::get_id();
  }
}

void TSendQueue::ReleaseHeld() {
  {
    std::lock_guard lock(FMutex);
    if (FHolder != std::this_thread::get_id()) {
      return;
    }
    FHolder = {};
  }
  Flush();
}

void TSendQueue::StartWriterLocked() {
  // A writer that gave the role back has left the lock for good, so joining it here is short.
  if (FWriter.joinable()) {
    FWriter.join();
  }
  try {
    FWriter = std::thread([this] {
      std::unique_lock lock(FMutex);
      SendLocked(lock, true);
    });
  } catch (const std::system_error&) {
    FSending = false;
    FailLocked(kWsaENoBufs);
  }
}

void TSendQueue::FailLocked(int code) {
  if (FFailure == 0 && !FClosed) {
    FFailure = code;
  }
  CloseLocked();
}

void TSendQueue::CloseLocked() {
  FAccepting = false;
  FHolder = {};
  if (!FFrames.empty()) {
    FFrames.clear();
    FOffset = 0;
    FQueuedBytes = 0;
  }
  if (!FClosed) {
    FClosed = true;
    FSocket->Close();
  }
  FChanged.notify_all();
}

bool TSendQueue::WaitSent(std::uint64_t mark) {
  std::unique_lock lock(FMutex);
  FChanged.wait(lock, [&] { return FSent >= mark || FClosed; });
  return FSent >= mark;
}

void TSendQueue::CloseWhenSent() {
  std::unique_lock lock(FMutex);
  FAccepting = false;
  FCloseWhenEmpty = true;
  const bool held = FHolder != std::thread::id{};
  FHolder = {};
  if (FFrames.empty() && !FSending) {
    CloseLocked();
    return;
  }
  // Held replies would otherwise wait for a flush that may never come.
  if (held && !FSending) {
    FSending = true;
    SendLocked(lock, false);
  }
}

void TSendQueue::WaitClosed() {
  std::unique_lock lock(FMutex);
  FChanged.wait(lock, [&] { return FClosed; });
}

void TSendQueue::Close() {
  std::lock_guard lock(FMutex);
  CloseLocked();
}

void TSendQueue::SendThenClose() {
  std::unique_lock lock(FMutex);
  if (FClosed) {
    return;
  }
  FHolder = {};
  if (!FSending && !FFrames.empty()) {
    FSending = true;
    SendLocked(lock, false);
  }
  CloseLocked();
}

int TSendQueue::FailureCode() const {
  std::lock_guard lock(FMutex);
  return FFailure;
}

std::size_t TSendQueue::QueuedBytes() const {
  std::lock_guard lock(FMutex);
  return FQueuedBytes;
}

bool TSendQueue::Closed() const {
  std::lock_guard lock(FMutex);
  return FClosed;
}

}  // namespace vantorix
