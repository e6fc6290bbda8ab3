// The rule that decides when a receive first looks for bytes before sleeping: after a look that
// found nothing, and on a new socket, exactly the next kWaitsAfterMiss receives wait at once, and a
// look gives up only after its whole time has passed.
#include "net/SpinBeforeWait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace vantorix {
namespace {

using TClock = std::chrono::steady_clock;
constexpr int kWaits = TSpinBeforeWait::kWaitsAfterMiss;

// Replays a history of receives: 'h' a look that found bytes, 'm' a look that found nothing,
// 'w' a receive that was not to look. Each step checks Due() against the letter.
TEST(SpinBeforeWait, AMissedLookMakesExactlyTheNextReceivesWaitAtOnce) {
  const auto repeat = [](char c, int n) { return std::string(static_cast<std::size_t>(n), c); };
  const struct {
    const char* name;
    std::string history;
  } cases[] = {
      {"a new socket's first receives wait at once, then it looks", "m"},
      {"quick peer: every receive looks", "hhhhhhhh"},
      {"one miss, then looks again", "m" + repeat('w', kWaits) + "hh"},
      {"misses in a row", "m" + repeat('w', kWaits) + "m" + repeat('w', kWaits) + "h"},
      {"quick again after a slow spell", "hhm" + repeat('w', kWaits) + "hhhm" + repeat('w', 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSpinBeforeWait spin;
    // A new socket starts as after a miss.
    const std::string history = repeat('w', kWaits) + c.history;
    for (std::size_t i = 0; i < history.size(); ++i) {
      const char step = history[i];
      ASSERT_EQ(spin.Due(), step != 'w') << "receive " << i;
      if (step == 'm') {
        spin.Missed();
      }
    }
  }
}

TEST(SpinBeforeWait, TryStopsAtTheFirstLookThatFindsBytesOrAfterItsWholeTime) {
  for (const int foundAt : {1, 2, 50, -1}) {
    SCOPED_TRACE(foundAt);
    int looks = 0;
    const auto start = TClock::now();
    const bool found = TSpinBeforeWait::Try([&] { return ++looks == foundAt; });
    const auto spent = TClock::now() - start;
    if (foundAt == 1) {
      EXPECT_TRUE(found);  // the first look always happens
    }
    if (found) {
      EXPECT_EQ(looks, foundAt);
    } else {
      // Never found, or (on a machine that stalled this thread) not found in time: the try
      // gave up only after its whole time, and without a look too many.
      EXPECT_GE(spent, TSpinBeforeWait::kTry);
      EXPECT_GE(looks, 1);
      EXPECT_TRUE(foundAt < 0 || looks < foundAt);
    }
  }
}

}  // namespace
}  // namespace vantorix
