// The window-thread queue of the Windows desktop program, on the window thread's message queue.
#pragma once

#include <windows.h>

#include <deque>
#include <mutex>
#include <thread>

#include "app/WindowThread.h"

namespace vantorix {

// Procedures queued from other threads wait in a queue of their own; a message posted to a
// message-only window of the constructing thread (PostMessageW, which never waits) makes that
// thread's message loop run them, one at a time and in the order queued. One message stands for
// every procedure queued until it is handled, so a flood of log lines never fills the thread's
// message queue; procedures queued while it is handled wait for a timer, so the window handles
// input and paints between the parts of a flood.
//
// Ownership and lifetime: construct it on the window thread; destroy it there only after every
// thread that queues has ended. Destruction discards procedures not yet run (they are destroyed
// without running). Failure: the constructor raises std::system_error when the system gives it no
// window; Queue reports nothing; a procedure's exception propagates only when it runs at once
// (called on the window thread).
class TWin32WindowThread final : public TWindowThread {
 public:
  TWin32WindowThread();
  ~TWin32WindowThread() override;
  TWin32WindowThread(const TWin32WindowThread&) = delete;
  TWin32WindowThread& operator=(const TWin32WindowThread&) = delete;

  void Queue(TWindowProcedure proc) override;
  bool IsWindowThread() const override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void RunQueued();

  const std::thread::id FOwner;
  HWND FWindow = nullptr;
  std::mutex FMutex;
  std::deque<TWindowProcedure> FPending;
  bool FPosted = false;  // a wake-up message is on its way
};

}  // namespace vantorix
