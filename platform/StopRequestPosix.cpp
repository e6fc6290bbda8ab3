// Stop requests on POSIX: SIGINT and SIGTERM stay blocked and are taken with sigtimedwait.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>
#include <utility>

#include "platform/StopRequest.h"

namespace vantorix {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

TStopWatcher::TStopWatcher(std::function<void()> onStop) : FOnStop(std::move(onStop)) {
  const sigset_t set = StopSignals();
  const int error = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (error != 0) {
    throw std::system_error(error, std::generic_category(), "pthread_sigmask");
  }
  FThread = std::thread([this] { Run(); });
}

TStopWatcher::~TStopWatcher() {
  FQuit = true;
  FThread.join();
}

void TStopWatcher::Run() {
  const sigset_t set = StopSignals();
  bool stopped = false;
  // Polling with a short time-out lets the destructor end the thread without sending it a
  // signal of its own.
  const timespec poll{0, 100'000'000};
  while (!FQuit) {
    const int got = sigtimedwait(&set, nullptr, &poll);
    if (got < 0) {
      continue;  // EAGAIN on time-out, EINTR
    }
    if (!stopped) {
      stopped = true;
      FOnStop();
    }
  }
}

bool RequestStop(unsigned long pid) {
  return ::kill(static_cast<pid_t>(pid), SIGTERM) == 0;
}

unsigned long CurrentProcessId() {
  return static_cast<unsigned long>(::getpid());
}

}  // namespace vantorix
