// The console writer: a bounded queue of text pieces drained by one thread into the output.
#include "app/ConsoleWriter.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <utility>

namespace vantorix {
namespace {

// The longest single wait on the output, so the thread sees a close in good time even when the
// output takes nothing at all.
constexpr std::chrono::milliseconds kWaitSlice{50};

// Waiting pieces are joined into writes of up to this size.
constexpr std::size_t kBatchBytes = 64 * 1024;

// How long the thread, once woken for less than a full write, lets more pieces gather before it
// writes. A busy server logs a few lines per message; without the pause each message costs this
// thread a wake-up and the output's reader another, on the same cores as the connections.
constexpr std::chrono::microseconds kGatherDelay{1000};

std::string DroppedNote(std::size_t dropped) {
  std::string note = "[";
  note += std::to_string(dropped);
  note += " log entries dropped: standard output was not being read]\n";
  return note;
}

}  // namespace

TConsoleWriter::TConsoleWriter(TConsoleOutput& output, std::size_t pendingLimit)
    : FOutput(output), FPendingLimit(pendingLimit), FThread([this] { Run(); }) {}

TConsoleWriter::~TConsoleWriter() {
  Close();
}

void TConsoleWriter::Post(std::string text) {
  // The thread is woken only for the first piece: while pieces wait, it has not finished with
  // the queue and takes the new ones with them.
  bool wake = false;
  {
    std::lock_guard lock(FMutex);
    if (FClosing) {
      return;
    }
    wake = FPending.empty();
    FPendingBytes += text.size();
    FPending.push_back(std::move(text));
    while (FPendingBytes > FPendingLimit && FPending.size() > 1) {
      FPendingBytes -= FPending.front().size();
      FPending.pop_front();
      ++FDropped;
    }
  }
  if (wake) {
    FWake.notify_one();
  }
}

void TConsoleWriter::Close(std::chrono::milliseconds grace) {
  {
    std::lock_guard lock(FMutex);
    if (!FClosing) {
      FClosing = true;
      FDeadline = TClock::now() + grace;
    }
  }
  FWake.notify_one();
  if (FThread.joinable()) {
    FThread.join();
  }
}

void TConsoleWriter::Run() {
  std::unique_lock lock(FMutex);
  for (;;) {
    FWake.wait(lock, [this] { return FClosing || !FPending.empty(); });
    if (FPending.empty() || (FClosing && TClock::now() >= FDeadline)) {
      return;
    }
    // Post does not wake the thread while pieces wait, so the pause costs the posting threads
    // nothing; a close ends it at once, and a full write's worth never waits.
    if (!FClosing && FPendingBytes < kBatchBytes) {
      FWake.wait_for(lock, kGatherDelay, [this] { return FClosing; });
      if (FClosing && TClock::now() >= FDeadline) {
        return;
      }
    }
    std::string text = std::move(FPending.front());
    FPending.pop_front();
    FPendingBytes -= text.size();
    // Pieces waiting behind it go out in the same write: one system call, and one wake-up of
    // whoever reads the output, for many lines.
    while (!FPending.empty() && text.size() + FPending.front().size() <= kBatchBytes) {
      text += FPending.front();
      FPendingBytes -= FPending.front().size();
      FPending.pop_front();
    }
    // Written only now, when the output has taken everything before it again.
    if (FDropped != 0) {
      text.insert(0, DroppedNote(FDropped));
      FDropped = 0;
    }
    lock.unlock();
    const bool written = WriteAll(text);
    lock.lock();
    if (!written) {
      // The close deadline passed, or the output is gone: nothing more is written.
      FClosing = true;
      return;
    }
  }
}

bool TConsoleWriter::WriteAll(const std::string& text) {
  std::string_view rest(text);
  while (!rest.empty()) {
    std::chrono::milliseconds wait = kWaitSlice;
    {
      std::lock_guard lock(FMutex);
      if (FClosing) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(FDeadline - TClock::now());
        if (left.count() <= 0) {
          return false;
        }
        wait = std::min(wait, left);
      }
    }
    try {
      rest.remove_prefix(FOutput.Write(rest, wait));
    } catch (const std::exception&) {
      return false;
    }
  }
  return true;
}

}  // namespace vantorix
