// The one way other threads reach the window thread: a first-in first-out queue of procedures,
// and TMainThreadQueue, a plain queue drained by the thread that created it (vantorixd, tests).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vantorix {

using TWindowProcedure = std::function<void()>;

// The window thread as every other thread sees it.
class TWindowThread {
 public:
  virtual ~TWindowThread() = default;

  // Hands proc to the window thread. Callable from any thread; never waits for the window
  // thread. Procedures run on the window thread one at a time, in the order they were queued.
  // When the caller already is the window thread, proc runs at once, before Queue returns (and an
  // exception it raises reaches the caller).
  virtual void Queue(TWindowProcedure proc) = 0;

  // True when the calling thread is the window thread.
  virtual bool IsWindowThread() const = 0;
};

// A window thread made of a plain queue. The thread that constructs it is the window thread; it
// alone may call RunPending and RunFor, and it must outlive every thread that queues.
class TMainThreadQueue final : public TWindowThread {
 public:
  TMainThreadQueue();

  void Queue(TWindowProcedure proc) override;
  bool IsWindowThread() const override;

  // Window thread only. Runs queued procedures until the queue is empty (procedures queued while
  // it runs are run too) and returns how many ran. An exception raised by a procedure leaves
  // RunPending with the procedures behind it still queued.
  std::size_t RunPending();

  // Window thread only. Waits up to timeout for a procedure to be queued, then runs as
  // RunPending. Returns how many ran (0 after a time-out).
  std::size_t RunFor(std::chrono::milliseconds timeout);

 private:
  const std::thread::id FOwner;
  std::mutex FMutex;
  std::condition_variable FQueued;
  std::deque<TWindowProcedure> FPending;
};

}  // namespace vantorix
