// A socket layer for fault-injection tests: it wraps another one, and the connections it accepts
// while armed fail their Nth receive or send (and every later one), as a connection that breaks
// at that moment would.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

#include "net/SocketApi.h"

namespace vantorix {

enum class TSocketCall { Receive, Send };

// One armed countdown, shared by the socket layer and the connection that took it; read it from
// any thread while the connection runs and after it has gone.
struct TSocketCountdown {
  TSocketCall Kind = TSocketCall::Receive;
  int FailAt = 0;  // the call of Kind that fails first, counting from 1; 0: none
  int ErrorCode = 10054;
  std::atomic<int> Calls{0};  // calls of Kind so far (receives that only peek not counted)

  // Whether the failing call has been made.
  bool Fired() const { return FailAt > 0 && Calls.load() >= FailAt; }
};

// Passes everything on to the inner layer; a connection accepted while a countdown is armed takes
// that countdown (the next accepted connection only), every other connection runs unchanged.
// Threading: any thread, like the inner layer; Arm may race with accepts (the countdown goes to
// whichever connection is accepted next). Failure: as the inner layer; the injected failures are
// TSocketError with the countdown's code. The inner layer must outlive this one and every socket
// opened through it.
class TCountdownSocketApi final : public TSocketApi {
 public:
  explicit TCountdownSocketApi(TSocketApi& inner) : FInner(inner) {}

  // Arms a countdown for the next accepted connection and returns it.
  std::shared_ptr<TSocketCountdown> Arm(TSocketCall kind, int failAt, int errorCode = 10054);
  // Connections accepted so far, armed or not.
  int Accepted() const { return FAccepted.load(); }

  bool HasIPv6() override { return FInner.HasIPv6(); }
  std::unique_ptr<TListenSocket> OpenListener(TIPVersion version) override;
  std::unique_ptr<TStreamSocket> Connect(const TSocketAddress& address, int timeoutMs) override {
    return FInner.Connect(address, timeoutMs);
  }

 private:
  class TListener;
  // The countdown for a connection just accepted, or null; disarms.
  std::shared_ptr<TSocketCountdown> TakeArmed();

  TSocketApi& FInner;
  std::mutex FLock;  // guards FArmed
  std::shared_ptr<TSocketCountdown> FArmed;
  std::atomic<int> FAccepted{0};
};

}  // namespace vantorix
