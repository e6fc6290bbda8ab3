// The console writer of vantorixd: text goes to the output from a thread of its own, so that the
// window thread never waits for standard output, and what waits for the output is bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/ConsoleOutput.h"

namespace vantorix {

// Threading: Post from any thread; Close and the destructor from the thread that owns the writer.
// Post never waits for the output. The writer's thread is started by the constructor and joined
// by Close, so it never outlives the writer.
// Failure: an output that fails for good (TConsoleOutput::Write raises) ends all writing; later
// text is dropped silently. Nothing is reported to callers.
class TConsoleWriter {
 public:
  // Text waiting for the output beyond this many bytes makes the oldest waiting pieces go.
  static constexpr std::size_t kPendingLimit = std::size_t{8} << 20;
  // How long Close goes on writing by default before it drops what is left.
  static constexpr std::chrono::milliseconds kCloseGrace{300};

  // output must outlive the writer.
  explicit TConsoleWriter(TConsoleOutput& output, std::size_t pendingLimit = kPendingLimit);
  // Close(kCloseGrace) when Close has not run.
  ~TConsoleWriter();
  TConsoleWriter(const TConsoleWriter&) = delete;
  TConsoleWriter& operator=(const TConsoleWriter&) = delete;

  // Queues one piece of text (whole lines) to be written after those queued before it. When the
  // pieces waiting then exceed the pending limit, the oldest waiting pieces are dropped and
  // counted (the newest always stays, whatever its size), and the next piece written is
  // preceded by the line "[N log entries dropped: standard output was not being read]".
  // Ignored once Close has begun.
  void Post(std::string text);

  // Takes no more text, writes what is waiting for at most grace, drops whatever the output has
  // not taken by then (a piece may end half-written), and joins the thread. Idempotent.
  void Close(std::chrono::milliseconds grace = kCloseGrace);

 private:
  using TClock = std::chrono::steady_clock;

  void Run();
  // Writes all of text unless the close deadline passes or the output fails; false then.
  bool WriteAll(const std::string& text);

  TConsoleOutput& FOutput;
  const std::size_t FPendingLimit;

  std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<std::string> FPending;
  std::size_t FPendingBytes = 0;
  std::size_t FDropped = 0;
  bool FClosing = false;
  TClock::time_point FDeadline;

  std::thread FThread;
};

}  // namespace vantorix
