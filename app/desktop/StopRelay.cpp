// The stop request relay.
#include "app/desktop/StopRelay.h"

#include <utility>

namespace vantorix {

TStopRelay::TConnection::~TConnection() {
  const std::lock_guard<std::mutex> lock(FRelay.FMutex);
  FRelay.FOnStop = nullptr;
}

void TStopRelay::Request() {
  // onStop runs under the lock, so that ending the connection waits for a call in progress.
  const std::lock_guard<std::mutex> lock(FMutex);
  FRequested = true;
  if (FOnStop) {
    FOnStop();
  }
}

TStopRelay::TConnection TStopRelay::Connect(std::function<void()> onStop) {
  const std::lock_guard<std::mutex> lock(FMutex);
  FOnStop = std::move(onStop);
  if (FRequested) {
    FOnStop();
  }
  return TConnection(*this);
}

}  // namespace vantorix
