// SIGINT/SIGTERM watcher: the signals stay blocked and are taken with sigtimedwait.
#include "app/SignalWatcher.h"

#include <signal.h>

#include <cerrno>
#include <ctime>
#include <utility>

namespace vantorix {
namespace {

sigset_t ShutdownSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

TSignalWatcher::TSignalWatcher(std::function<void(int)> onSignal) : FOnSignal(std::move(onSignal)) {
  const sigset_t set = ShutdownSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  FThread = std::thread([this] { Run(); });
}

TSignalWatcher::~TSignalWatcher() {
  FStop = true;
  FThread.join();
}

void TSignalWatcher::Run() {
  const sigset_t set = ShutdownSignals();
  bool signalled = false;
  // Polling with a short time-out lets the destructor stop the thread without sending it a
  // signal of its own.
  const timespec poll{0, 100'000'000};
  while (!FStop) {
    const int got = sigtimedwait(&set, nullptr, &poll);
    if (got < 0) {
      continue;  // EAGAIN on time-out, EINTR
    }
    if (!signalled) {
      signalled = true;
      FOnSignal(got);
    }
  }
}

}  // namespace vantorix
