// A thread of its own for a COM control: a single-threaded apartment with a hidden window whose
// message loop runs the procedures other threads hand it. Windows only.
#pragma once

#include <windows.h>

#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace vantorix {

// Ownership: the owner creates and destroys it; objects created on the thread by procedures must
// be released by a procedure before the owner destroys it.
// Threading: Run may be called from any thread; callers on other threads take turns, each waiting
// until its procedure has run. Never call it from a thread whose own windows must keep answering
// (a window thread): it blocks without dispatching messages.
// Failure: the constructor raises ETermControlError when the apartment or the window cannot be set
// up; Run raises ETermControlError when the procedure cannot be handed over, and passes on the
// procedure's own exception.
class TComThread {
 public:
  // Starts the thread and waits until its apartment and window exist.
  TComThread();
  // Ends the message loop and joins the thread.
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  // Runs work on the thread and returns when it has run. Called on the thread itself (from
  // within a procedure), runs work at once.
  void Run(const std::function<void()>& work);

 private:
  void Main(std::promise<void>& started);

  std::mutex fTurn;
  HWND fWindow = nullptr;
  DWORD fThreadId = 0;
  std::thread fThread;
};

}  // namespace vantorix
