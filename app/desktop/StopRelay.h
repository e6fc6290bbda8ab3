// Carries a stop request (SIGINT or SIGTERM, seen on the signal watcher's thread) to the window,
// which may not exist yet when the request comes.
#pragma once

#include <functional>
#include <mutex>

namespace vantorix {

// Threading: Request from any thread; Connect and the connection's end on one thread. Requests
// made before Connect are kept and delivered when it connects; later ones are delivered at
// once. onStop runs on the requesting thread (or in Connect) and must only hand the request on,
// never wait for another thread.
class TStopRelay {
 public:
  // While it lives, requests go to its onStop; its destructor returns once no onStop call is
  // running, so what onStop refers to may be destroyed right after it.
  class TConnection {
   public:
    explicit TConnection(TStopRelay& relay) : FRelay(relay) {}
    ~TConnection();
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

   private:
    TStopRelay& FRelay;
  };

  void Request();
  // Delivers a request already made at once. The relay must outlive the connection.
  [[nodiscard]] TConnection Connect(std::function<void()> onStop);

 private:
  std::mutex FMutex;
  std::function<void()> FOnStop;
  bool FRequested = false;
};

}  // namespace vantorix
