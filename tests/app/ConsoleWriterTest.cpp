// vantorixd's console writer: text arrives whole and in order, an output nobody reads costs
// bounded memory and never holds up a close, and an output that fails ends the writing without
// ending the program.
#include "app/ConsoleWriter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "platform/ConsoleOutput.h"

namespace vantorix {
namespace {

using namespace std::chrono_literals;

// An output the test opens and shuts. Shut, it takes nothing and waits out each wait, as a full
// pipe does; open, it takes at most `step` bytes a call. Call number failOn raises.
class TGateOutput final : public TConsoleOutput {
 public:
  explicit TGateOutput(std::size_t step, int failOn = 0) : FStep(step), FFailOn(failOn) {}

  std::size_t Write(std::string_view bytes, std::chrono::milliseconds wait) override {
    std::unique_lock lock(FMutex);
    ++FCalls;
    FChanged.notify_all();
    if (FCalls == FFailOn) {
      throw std::system_error(EPIPE, std::generic_category(), "write");
    }
    if (!FChanged.wait_for(lock, wait, [this] { return FOpen; })) {
      return 0;
    }
    const std::size_t n = std::min(bytes.size(), FStep);
    FTaken.append(bytes.substr(0, n));
    return n;
  }

  void Open() {
    std::lock_guard lock(FMutex);
    FOpen = true;
    FChanged.notify_all();
  }
  // Waits until the writer has tried to write at least once.
  bool WaitForFirstCall() {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, 10s, [this] { return FCalls > 0; });
  }
  std::string Taken() {
    std::lock_guard lock(FMutex);
    return FTaken;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FOpen = false;
  int FCalls = 0;
  const std::size_t FStep;
  const int FFailOn;
  std::string FTaken;
};

std::string Entry(int n) {
  std::string digits = std::to_string(1000 + n).substr(1);
  return "entry " + digits + "\n";  // 10 bytes
}

TEST(ConsoleWriterTest, PiecesArriveWholeAndInOrderAcrossShortWrites) {
  TGateOutput output(3);
  output.Open();
  std::string all;
  {
    TConsoleWriter writer(output);
    for (int i = 0; i < 50; ++i) {
      writer.Post(Entry(i));
      all += Entry(i);
    }
    writer.Close(10s);
  }
  EXPECT_EQ(output.Taken(), all);
}

// While the output takes nothing, the oldest waiting entries make room for new ones; once it
// takes again, a line says how many went before the entries that were kept.
TEST(ConsoleWriterTest, BlockedOutputDropsTheOldestAndSaysSoWhenItResumes) {
  TGateOutput output(7);
  TConsoleWriter writer(output, 100);
  writer.Post(Entry(0));
  ASSERT_TRUE(output.WaitForFirstCall());  // entry 0 is being written and waits
  for (int i = 1; i < 50; ++i) {
    writer.Post(Entry(i));
  }
  output.Open();
  writer.Close(10s);
  std::string expected =
      Entry(0) + "[39 log entries dropped: standard output was not being read]\n";
  for (int i = 40; i < 50; ++i) {
    expected += Entry(i);
  }
  EXPECT_EQ(output.Taken(), expected);
}

// A close waits for an output that takes nothing only as long as it was told, then joins its
// thread all the same; later text is ignored.
TEST(ConsoleWriterTest, CloseGivesUpOnAnOutputThatTakesNothing) {
  TGateOutput output(100);
  TConsoleWriter writer(output);
  for (int i = 0; i < 5; ++i) {
    writer.Post(Entry(i));
  }
  ASSERT_TRUE(output.WaitForFirstCall());
  const auto start = std::chrono::steady_clock::now();
  writer.Close(200ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  writer.Post(Entry(9));
  output.Open();
  writer.Close(10s);
  EXPECT_EQ(output.Taken(), "");
}

// Countdown: the output fails on its first, second, ... call; what it took before stays, nothing
// is written after the failure, and the writer still closes at once.
TEST(ConsoleWriterTest, OutputThatFailsEndsTheWritingAtEveryCall) {
  for (int failOn = 1; failOn <= 4; ++failOn) {
    SCOPED_TRACE(failOn);
    TGateOutput output(10, failOn);  // one call per entry
    output.Open();
    TConsoleWriter writer(output);
    std::string expected;
    for (int i = 0; i < 3; ++i) {
      writer.Post(Entry(i));
      if (i + 1 < failOn) {
        expected += Entry(i);
      }
    }
    const auto start = std::chrono::steady_clock::now();
    writer.Close(10s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(output.Taken(), expected);
  }
}

}  // namespace
}  // namespace vantorix
