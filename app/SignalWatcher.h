// Turns SIGINT and SIGTERM into a call on a thread of our own, so that the program can shut down
// in an orderly way instead of being cut off inside a signal handler.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace vantorix {

class TSignalWatcher {
 public:
  // Blocks SIGINT and SIGTERM for the calling thread, and so for every thread it starts from then
  // on, and starts a thread that waits for them. Construct it in main before any other thread
  // exists, or a signal may reach a thread that has not blocked it. onSignal runs on the
  // watcher's thread for the first of the two signals only; later ones are swallowed. It must not
  // wait for anything that waits for the watcher.
  explicit TSignalWatcher(std::function<void(int signalNumber)> onSignal);
  // Stops and joins the watcher's thread; the signals stay blocked.
  ~TSignalWatcher();
  TSignalWatcher(const TSignalWatcher&) = delete;
  TSignalWatcher& operator=(const TSignalWatcher&) = delete;

 private:
  void Run();

  std::function<void(int)> FOnSignal;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

}  // namespace vantorix
