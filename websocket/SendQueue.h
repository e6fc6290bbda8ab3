// The outgoing bytes of one connection: frames queued by any thread leave in the order they were
// queued, each whole, as fast as the peer takes them, and no slow peer holds the thread that
// queued them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "net/SocketApi.h"
#include "websocket/Bytes.h"

namespace vantorix {

struct TSendLimits {
  // A connection that has fallen further behind than this is given up. A frame is refused (and
  // the connection given up) when it would make a queue that already holds frames hold more;
  // an empty queue takes one frame of any size.
  std::size_t MaxQueuedBytes = std::size_t{64} << 20;
  // A socket that takes no byte for this long is given up.
  int StallTimeoutMs = 10000;
};

// Who sends: the thread that queues into an idle queue sends at once, as far as the socket takes
// the bytes without waiting; what is left is sent by a writer thread that the queue starts for
// that backlog and that ends as soon as the queue is empty again. An idle connection has no
// thread here; at most one thread sends for a queue at any time.
//
// Threading: every member may be called from any thread at any time.
// Failure: a send error, a socket that takes no byte for StallTimeoutMs, or a frame beyond
// MaxQueuedBytes gives the connection up: the socket is closed (which wakes a thread reading
// it), every queued frame is released, nothing more is accepted, and FailureCode() gives the
// Winsock code (10060 for the stall, 10055 for the backlog). Nothing here raises.
// Ownership: shares the socket with the connection's I/O handler. The destructor closes the
// socket and joins the writer thread (the close wakes it).
class TSendQueue {
 public:
  explicit TSendQueue(std::shared_ptr<TStreamSocket> socket, TSendLimits limits = {});
  ~TSendQueue();
  TSendQueue(const TSendQueue&) = delete;
  TSendQueue& operator=(const TSendQueue&) = delete;

  // New limits apply from the next frame and the next wait on.
  void SetLimits(TSendLimits limits);
  TSendLimits Limits() const;

  // Appends one frame (the bytes are shared, never copied). With last set nothing is accepted
  // after it (a close frame). Gives the total of bytes accepted so far, this frame included,
  // for WaitSent; nothing when the frame was not accepted (the queue is closed or failed, or the
  // frame broke the limit, which fails the queue). Never sends and never waits.
  std::optional<std::uint64_t> Push(TSharedBytes frame, bool last = false);
  // Sends what is queued, as far as the socket takes it without waiting, on the calling thread
  // (unless another thread is sending already); leaves the rest to the writer thread. Never
  // waits for the peer.
  void Flush();
  // Push, then Flush.
  std::optional<std::uint64_t> Post(TSharedBytes frame, bool last = false);

  // Holds back the calling thread's own flushes: while held, a Flush on this thread sends
  // nothing until a batch's worth is queued, so the replies to messages that arrived together
  // leave together. Flushes on other threads send as usual (what is held goes with them).
  // ReleaseHeld ends the hold and sends what is queued; so do CloseWhenSent and Close. The
  // holding thread must release before it waits for anything. Holding again on the holding
  // thread changes nothing; a hold taken by another thread is left as it is.
  void HoldFlushes();
  void ReleaseHeld();

  // Waits until the first `mark` bytes ever accepted have been sent: true; false when the queue
  // failed or was closed first.
  bool WaitSent(std::uint64_t mark);
  // Accepts nothing more and closes the socket once everything queued has been sent (at once
  // when nothing is queued), or when the queue fails.
  void CloseWhenSent();
  // Waits until the queue has closed the socket (Close, CloseWhenSent once sent, a failure).
  void WaitClosed();
  // Releases every queued frame and closes the socket now.
  void Close();
  // Sends what is queued (held frames included) as far as the socket takes it without waiting,
  // unless another thread is sending, then releases the rest and closes the socket as Close.
  void SendThenClose();

  // 0 while nothing failed.
  int FailureCode() const;
  // Bytes accepted and not yet sent.
  std::size_t QueuedBytes() const;
  // Whether the socket has been closed by this queue.
  bool Closed() const;

 private:
  // With FMutex held through lock and the sending role taken: sends until the queue is empty,
  // the queue failed or closed, or (without mayWait) the socket would block, in which case the
  // writer thread takes the role over.
  void SendLocked(std::unique_lock<std::mutex>& lock, bool mayWait);
  void StartWriterLocked();
  void FailLocked(int code);
  void CloseLocked();

  const std::shared_ptr<TStreamSocket> FSocket;
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  TSendLimits FLimits;
  std::list<TSharedBytes> FFrames;  // a list: an idle connection allocates nothing here
  std::size_t FOffset = 0;          // bytes of the front frame already sent
  std::size_t FQueuedBytes = 0;
  std::uint64_t FAccepted = 0;
  std::uint64_t FSent = 0;
  bool FAccepting = true;
  bool FCloseWhenEmpty = false;
  bool FClosed = false;
  bool FSending = false;    // a thread holds the sending role
  std::thread::id FHolder;  // the thread whose flushes are held; none: not held
  int FFailure = 0;
  std::thread FWriter;
};

}  // namespace vantorix
