// Whether a receive first looks for bytes for a moment without going to sleep.
//
// A peer on the same machine answers within tens of microseconds. Putting the receiving thread
// to sleep for that answer and waking it again costs more than the answer itself on an idle
// machine, whose processors halt when nothing runs. So a receive may first look for bytes
// without waiting, for up to kTry. When such a try passes without bytes (a peer across the
// network, a person at a browser, or a loaded machine, where trying only takes the processor
// from the peer), the next kWaitsAfterMiss receives wait at once: a peer that is never that
// quick costs one try per kWaitsAfterMiss + 1 receives. A new socket starts as after a miss, so
// a short conversation (a handshake, a single command) never looks: only a peer that keeps
// exchanging with this side gets to be quick.
//
// Threading: not synchronized. One instance per socket's receiving side, used by one thread at
// a time (or under the caller's lock).
#pragma once

#include <chrono>

namespace vantorix {

class TSpinBeforeWait {
 public:
  static constexpr std::chrono::microseconds kTry{100};
  static constexpr int kWaitsAfterMiss = 64;

  // Whether this receive tries first. When it does not, one of the waits at once is used up.
  bool Due() {
    if (fWaitsAtOnce > 0) {
      --fWaitsAtOnce;
      return false;
    }
    return true;
  }

  // Records a try that found nothing.
  void Missed() { fWaitsAtOnce = kWaitsAfterMiss; }

  // The whole rule for a receiver that needs no lock around it: when a look is due, Try(look),
  // recording a miss. False at once, without calling look(), when it is not due.
  template <typename TLook>
  bool TryIfDue(TLook look) {
    if (!Due()) {
      return false;
    }
    if (Try(look)) {
      return true;
    }
    Missed();
    return false;
  }

  // Calls look() until it returns true, or kTry has passed since the first call; the result of
  // the last call. look() is called at least once.
  template <typename TLook>
  static bool Try(TLook look) {
    const auto until = std::chrono::steady_clock::now() + kTry;
    do {
      if (look()) {
        return true;
      }
    } while (std::chrono::steady_clock::now() < until);
    return false;
  }

 private:
  int fWaitsAtOnce = kWaitsAfterMiss;
};

}  // namespace vantorix
