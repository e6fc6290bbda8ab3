// The plain window-thread queue: order, running at once on the window thread, never waiting.
#include "app/WindowThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vantorix {
namespace {

using namespace std::chrono_literals;

TEST(MainThreadQueueTest, ProceduresFromAnotherThreadRunOnlyWhenDrainedAndInOrder) {
  TMainThreadQueue queue;
  std::vector<int> ran;
  std::thread other([&] {
    EXPECT_FALSE(queue.IsWindowThread());
    for (int i = 0; i < 5; ++i) {
      queue.Queue([&ran, i] { ran.push_back(i); });
    }
  });
  other.join();
  EXPECT_TRUE(ran.empty()) << "nothing may run before the window thread drains";
  EXPECT_EQ(queue.RunPending(), 5u);
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(queue.RunPending(), 0u);
}

TEST(MainThreadQueueTest, QueueOnTheWindowThreadRunsAtOnce) {
  TMainThreadQueue queue;
  EXPECT_TRUE(queue.IsWindowThread());
  int ran = 0;
  queue.Queue([&] { ++ran; });
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(queue.RunPending(), 0u);
}

TEST(MainThreadQueueTest, ProcedureQueuedWhileDrainingRunsInTheSameDrain) {
  TMainThreadQueue queue;
  std::vector<std::string> ran;
  std::thread([&] {
    queue.Queue([&] {
      ran.push_back("first");
      // Queued from the window thread itself: runs at once, inside the first procedure.
      queue.Queue([&] { ran.push_back("nested"); });
    });
    queue.Queue([&] { ran.push_back("second"); });
  }).join();
  EXPECT_EQ(queue.RunPending(), 2u);
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "nested", "second"}));
}

TEST(MainThreadQueueTest, QueueNeverWaitsForABusyWindowThread) {
  TMainThreadQueue queue;
  // The window thread is "busy" (it does not drain) while another thread queues many
  // procedures; the other thread must finish on its own.
  std::thread other([&] {
    for (int i = 0; i < 1000; ++i) {
      queue.Queue([] {});
    }
  });
  other.join();
  EXPECT_EQ(queue.RunPending(), 1000u);
}

TEST(MainThreadQueueTest, RunForWaitsForAProcedureAndTimesOutWithoutOne) {
  TMainThreadQueue queue;
  EXPECT_EQ(queue.RunFor(20ms), 0u);
  bool ran = false;
  std::thread other([&] {
    std::this_thread::sleep_for(20ms);
    queue.Queue([&] { ran = true; });
  });
  std::size_t count = 0;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (count == 0 && std::chrono::steady_clock::now() < deadline) {
    count = queue.RunFor(1s);
  }
  other.join();
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(ran);
}

TEST(MainThreadQueueTest, ThrowingProcedureLeavesTheRestQueued) {
  TMainThreadQueue queue;
  int after = 0;
  std::thread([&] {
    queue.Queue([] { throw std::runtime_error("boom"); });
    queue.Queue([&] { ++after; });
  }).join();
  EXPECT_THROW(queue.RunPending(), std::runtime_error);
  EXPECT_EQ(after, 0);
  EXPECT_EQ(queue.RunPending(), 1u);
  EXPECT_EQ(after, 1);
}

}  // namespace
}  // namespace vantorix
