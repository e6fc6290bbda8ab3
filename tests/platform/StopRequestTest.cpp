// Stop requests sent to the process itself: the watcher's call runs once on its own thread, for
// the first request only; without a watcher no Windows stop event exists.
#include "platform/StopRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vantorix {
namespace {

TEST(StopRequestTest, TheFirstRequestReachesTheWatchersThreadOnce) {
  std::mutex lock;
  std::condition_variable changed;
  int calls = 0;
  std::thread::id where;
  {
    TStopWatcher watcher([&] {
      std::lock_guard guard(lock);
      ++calls;
      where = std::this_thread::get_id();
      changed.notify_all();
    });
    ASSERT_TRUE(RequestStop(CurrentProcessId()));
    {
      std::unique_lock wait(lock);
      ASSERT_TRUE(changed.wait_for(wait, std::chrono::seconds(10), [&] { return calls > 0; }));
    }
    EXPECT_TRUE(RequestStop(CurrentProcessId()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_EQ(calls, 1);
  EXPECT_NE(where, std::this_thread::get_id());
#ifdef _WIN32
  EXPECT_FALSE(RequestStop(CurrentProcessId())) << "the stop event goes with its watcher";
#endif
}

}  // namespace
}  // namespace vantorix
