// The plain window-thread queue used by vantorixd and by the tests.
#include "app/WindowThread.h"

#include <utility>

namespace vantorix {

TMainThreadQueue::TMainThreadQueue() : FOwner(std::this_thread::get_id()) {}

bool TMainThreadQueue::IsWindowThread() const {
  return std::this_thread::get_id() == FOwner;
}

void TMainThreadQueue::Queue(TWindowProcedure proc) {
  if (IsWindowThread()) {
    proc();
    return;
  }
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    wake = FPending.empty();
    FPending.push_back(std::move(proc));
  }
  // While procedures wait, the window thread is still to take them all (RunPending runs until
  // the queue is empty), so only the first needs to wake it.
  if (wake) {
    FQueued.notify_one();
  }
}

std::size_t TMainThreadQueue::RunPending() {
  std::size_t ran = 0;
  for (;;) {
    TWindowProcedure next;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FPending.empty()) {
        return ran;
      }
      next = std::move(FPending.front());
      FPending.pop_front();
    }
    // Run outside the lock: a procedure may take as long as it likes while other threads go on
    // queueing.
    next();
    ++ran;
  }
}

std::size_t TMainThreadQueue::RunFor(std::chrono::milliseconds timeout) {
  {
    std::unique_lock<std::mutex> lock(FMutex);
    if (!FQueued.wait_for(lock, timeout, [this] { return !FPending.empty(); })) {
      return 0;
    }
  }
  return RunPending();
}

}  // namespace vantorix
