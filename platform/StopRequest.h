// Requests from outside the program to stop in an orderly way, turned into a call on a thread of
// our own instead of running inside a signal or console handler: SIGINT and SIGTERM on POSIX;
// Ctrl-C, Ctrl-Break, the console window closing, system shutdown and a named event on Windows,
// so that a service manager or a test can stop a program that has no console.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace vantorix {

#ifdef _WIN32
// The name of the stop event of the process pid: "Local\vantorix-stop-PID". Setting it
// (OpenEventW with EVENT_MODIFY_STATE, SetEvent) asks that process to stop.
std::wstring StopEventName(unsigned long pid);
#endif

// Threading: construct and destroy on one thread. onStop runs on the watcher's own thread, for
// the first request only (later ones are swallowed); it must hand the request on and not wait
// for anything that waits for the watcher. Failure: the constructor raises std::system_error
// when it cannot watch.
class TStopWatcher {
 public:
  // POSIX: blocks SIGINT and SIGTERM for the calling thread, and so for every thread it starts
  // from then on; construct it in main before any other thread exists, or a signal may reach a
  // thread that has not blocked it. Windows: creates the process's stop event and installs the
  // console control handler that sets it.
  explicit TStopWatcher(std::function<void()> onStop);
  // Stops and joins the watcher's thread. POSIX: the signals stay blocked. Windows: the console
  // handler is removed.
  ~TStopWatcher();
  TStopWatcher(const TStopWatcher&) = delete;
  TStopWatcher& operator=(const TStopWatcher&) = delete;

 private:
  void Run();

  std::function<void()> FOnStop;
#ifdef _WIN32
  void* FStopEvent = nullptr;
  void* FQuitEvent = nullptr;
#else
  std::atomic<bool> FQuit{false};
#endif
  std::thread FThread;
};

// Asks process pid to stop the way an operator would: SIGTERM on POSIX, its stop event on
// Windows. False when that is impossible (no such process, or on Windows no watcher in it).
bool RequestStop(unsigned long pid);

// The calling process's id.
unsigned long CurrentProcessId();

}  // namespace vantorix
