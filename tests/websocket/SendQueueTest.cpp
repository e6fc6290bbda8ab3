// The send queue on in-memory and fault-injecting sockets: order, pace, limits, failures, and
// the memory of frames that have been sent or dropped.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/SocketErrors.h"
#include "websocket/FakeSockets.h"
#include "websocket/SendQueue.h"

namespace vantorix {
namespace {

TSharedBytes Frame(const std::string& text) {
  return std::make_shared<const TBytes>(text.begin(), text.end());
}

// Receives from the peer end until `size` bytes came, the connection ended, or 10 s passed;
// chunk bytes at a time.
std::string ReadFrom(TMemoryStreamSocket& peer, std::size_t size, std::size_t chunk = 4096) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::vector<std::uint8_t> buf(chunk);
  while (out.size() < size && std::chrono::steady_clock::now() < deadline) {
    peer.WaitReadable(100);
    std::ptrdiff_t n = 0;
    try {
      n = peer.Receive(buf.data(), buf.size(), false);
    } catch (const TSocketError&) {
      break;
    }
    if (n == 0)
      break;
    if (n > 0)
      out.append(buf.begin(), buf.begin() + n);
  }
  return out;
}

// True once the peer sees the end of the connection (after the bytes still in flight).
bool PeerSeesEnd(TMemoryStreamSocket& peer) {
  ReadFrom(peer, std::string::npos);
  std::uint8_t b = 0;
  return peer.Receive(&b, 1, false) == 0;
}

// The size of every send made on the sockets it wraps, whichever thread made it.
class TSendSizes {
 public:
  std::shared_ptr<TStreamSocket> Wrap(std::unique_ptr<TStreamSocket> socket) {
    TFaultPlan plan;
    plan.AfterSend = [this](const std::uint8_t*, std::size_t size) {
      std::lock_guard lock(FLock);
      FSizes.push_back(size);
    };
    return std::make_shared<TFaultyStreamSocket>(std::move(socket), plan);
  }
  std::vector<std::size_t> Get() const {
    std::lock_guard lock(FLock);
    return FSizes;
  }

 private:
  mutable std::mutex FLock;
  std::vector<std::size_t> FSizes;
};

TEST(SendQueue, FramesLeaveInOrderAsFastAsThePeerReadsAndAreReleasedOnceSent) {
  // 8 bytes in flight: Post never waits for the reader; a writer sends the backlog as the peer
  // reads it, 3 bytes at a time.
  auto pair = MakeMemorySocketPair(8);
  TSendQueue queue(std::shared_ptr<TStreamSocket>(std::move(pair.Server)));
  std::string expected;
  std::vector<std::weak_ptr<const TBytes>> frames;
  std::optional<std::uint64_t> mark;
  for (int i = 0; i < 20; ++i) {
    const std::string text = "frame" + std::to_string(i) + ";";
    TSharedBytes frame = Frame(text);
    frames.push_back(frame);
    expected += text;
    mark = queue.Post(std::move(frame));
    ASSERT_TRUE(mark);
  }
  EXPECT_EQ(queue.QueuedBytes(), expected.size() - 8);
  EXPECT_EQ(ReadFrom(*pair.Client, expected.size(), 3), expected);
  // The peer may have the last bytes a moment before the writer has counted them.
  EXPECT_TRUE(queue.WaitSent(*mark));
  EXPECT_EQ(queue.QueuedBytes(), 0u);
  for (const auto& frame : frames) {
    EXPECT_TRUE(frame.expired());
  }
  EXPECT_FALSE(queue.Closed());
}

// Frames that queued up behind a full socket leave in one send once it takes bytes again, so
// that no small frame waits behind another one's acknowledgement; a large frame goes alone.
TEST(SendQueue, FramesQueuedBehindAFullSocketLeaveInOneSend) {
  auto pair = MakeMemorySocketPair(4096);
  TSendSizes sizes;
  TSendQueue queue(sizes.Wrap(std::move(pair.Server)));
  std::string expected(4096, 'F');
  ASSERT_TRUE(queue.Post(Frame(expected)));
  std::optional<std::uint64_t> mark;
  for (int i = 0; i < 10; ++i) {
    const std::string text = "small frame " + std::to_string(i) + ";";
    expected += text;
    mark = queue.Post(Frame(text));
    ASSERT_TRUE(mark);
  }
  EXPECT_EQ(ReadFrom(*pair.Client, expected.size()), expected);
  EXPECT_TRUE(queue.WaitSent(*mark));
  EXPECT_EQ(sizes.Get(), (std::vector<std::size_t>{4096, expected.size() - 4096}));
}

// Countdown: the Nth send fails. The connection is given up there (a cut frame cannot be
// followed by more), its frames are released, and a second queue sharing the same frames
// delivers them all.
TEST(SendQueue, FailingTheNthSendGivesOnlyThatConnectionUp) {
  const std::string all = "aaaaaabbbbbbcccccc";
  for (int code : {10053, 10054, 10055}) {
    for (int n = 1; n <= 7; ++n) {  // 4-byte sends: six of them carry the three frames
      SCOPED_TRACE("code " + std::to_string(code) + ", send " + std::to_string(n));
      auto failing = MakeMemorySocketPair();
      auto healthy = MakeMemorySocketPair();
      TFaultPlan plan;
      plan.FailSendAt = n;
      plan.SendErrorCode = code;
      plan.MaxSendChunk = 4;
      TSendQueue bad(std::make_shared<TFaultyStreamSocket>(std::move(failing.Server), plan));
      TSendQueue good(std::shared_ptr<TStreamSocket>(std::move(healthy.Server)));
      std::vector<std::weak_ptr<const TBytes>> sent;
      for (const char* text : {"aaaaaa", "bbbbbb", "cccccc"}) {
        TSharedBytes frame = Frame(text);
        sent.push_back(frame);
        bad.Post(frame);
        good.Post(frame);
      }
      const bool fails = n <= 6;
      // Each frame takes two sends (4 + 2 bytes); what went out before the failure arrives.
      const std::size_t delivered =
          fails ? 6 * static_cast<std::size_t>((n - 1) / 2) + ((n - 1) % 2 == 1 ? 4 : 0)
                : all.size();
      EXPECT_EQ(ReadFrom(*failing.Client, delivered), all.substr(0, delivered));
      EXPECT_EQ(bad.FailureCode(), fails ? code : 0);
      EXPECT_EQ(bad.Closed(), fails);
      EXPECT_EQ(bad.QueuedBytes(), 0u);
      if (fails) {
        EXPECT_TRUE(PeerSeesEnd(*failing.Client));
        EXPECT_FALSE(bad.Post(Frame("late")));
      }
      EXPECT_EQ(ReadFrom(*healthy.Client, all.size()), all);
      for (const auto& frame : sent) {
        EXPECT_TRUE(frame.expired());
      }
    }
  }
}

TEST(SendQueue, APeerThatTakesNothingForTheStallTimeIsGivenUp) {
  auto pair = MakeMemorySocketPair(16);  // and the peer never reads
  TSendQueue queue(std::shared_ptr<TStreamSocket>(std::move(pair.Server)), {.StallTimeoutMs = 100});
  const auto start = std::chrono::steady_clock::now();
  const std::optional<std::uint64_t> mark = queue.Post(Frame(std::string(100, 'x')));
  ASSERT_TRUE(mark);
  EXPECT_FALSE(queue.WaitSent(*mark));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(queue.FailureCode(), 10060);
  EXPECT_EQ(queue.QueuedBytes(), 0u);
  EXPECT_EQ(pair.Client->Pending(), 16u);
}

// A backlog beyond the limit gives the connection up; one frame of any size into an empty queue
// is taken.
TEST(SendQueue, ABacklogOverTheLimitGivesTheConnectionUp) {
  struct TCase {
    std::vector<std::size_t> Frames;
    bool GivenUp;
  };
  for (const TCase& c : {TCase{{60, 30}, false}, TCase{{60, 30, 20}, true}, TCase{{500}, false},
                         TCase{{500, 1}, true}}) {
    auto pair = MakeMemorySocketPair(1);  // one byte in flight; nobody reads
    TSendQueue queue(std::shared_ptr<TStreamSocket>(std::move(pair.Server)),
                     {.MaxQueuedBytes = 100, .StallTimeoutMs = 600000});
    bool accepted = true;
    for (std::size_t size : c.Frames)
      accepted = queue.Post(Frame(std::string(size, 'x'))).has_value();
    EXPECT_EQ(accepted, !c.GivenUp) << c.Frames.size() << " frames";
    EXPECT_EQ(queue.FailureCode(), c.GivenUp ? 10055 : 0);
    EXPECT_EQ(queue.Closed(), c.GivenUp);
    if (c.GivenUp) {
      EXPECT_EQ(queue.QueuedBytes(), 0u);
    }
  }
}

TEST(SendQueue, CloseWhenSentClosesOnlyAfterTheLastByteAndTakesNothingMore) {
  auto pair = MakeMemorySocketPair(4);
  TSendQueue queue(std::shared_ptr<TStreamSocket>(std::move(pair.Server)));
  ASSERT_TRUE(queue.Post(Frame("goodbye, ")));
  ASSERT_TRUE(queue.Post(Frame("world"), /*last=*/true));
  EXPECT_FALSE(queue.Post(Frame("after the last frame")));
  queue.CloseWhenSent();
  EXPECT_FALSE(queue.Closed()) << "closed with bytes still queued";
  EXPECT_EQ(ReadFrom(*pair.Client, 14, 2), "goodbye, world");
  queue.WaitClosed();
  EXPECT_TRUE(PeerSeesEnd(*pair.Client));
  EXPECT_EQ(queue.FailureCode(), 0);
}

TEST(SendQueue, CloseDropsTheBacklogAndEndsAWaitForIt) {
  auto pair = MakeMemorySocketPair(4);
  TSendQueue queue(std::shared_ptr<TStreamSocket>(std::move(pair.Server)),
                   {.StallTimeoutMs = 600000});
  TSharedBytes frame = Frame("more than four bytes");
  const std::weak_ptr<const TBytes> watch = frame;
  const std::optional<std::uint64_t> mark = queue.Post(std::move(frame));
  ASSERT_TRUE(mark);
  queue.Close();
  EXPECT_FALSE(queue.WaitSent(*mark));
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(queue.QueuedBytes(), 0u);
  EXPECT_EQ(queue.FailureCode(), 0);
}

// Frames held back on the thread that holds them leave in one send once the hold ends, however
// it ends; until then that thread's flushes send nothing.
TEST(SendQueue, HeldFramesLeaveTogetherWhenTheHoldEnds) {
  enum class TEnd { Release, CloseWhenSent, FlushOnAnotherThread, BatchQueued };
  for (const TEnd end :
       {TEnd::Release, TEnd::CloseWhenSent, TEnd::FlushOnAnotherThread, TEnd::BatchQueued}) {
    SCOPED_TRACE(static_cast<int>(end));
    auto pair = MakeMemorySocketPair();
    TSendSizes sizes;
    TSendQueue queue(sizes.Wrap(std::move(pair.Server)));
    queue.HoldFlushes();
    std::string expected;
    std::optional<std::uint64_t> mark;
    for (int i = 0; i < 3; ++i) {
      const std::string text = "reply " + std::to_string(i) + ";";
      expected += text;
      mark = queue.Post(Frame(text));
      ASSERT_TRUE(mark);
    }
    EXPECT_TRUE(sizes.Get().empty()) << "a held frame was sent";
    switch (end) {
      case TEnd::Release:
        queue.ReleaseHeld();
        break;
      case TEnd::CloseWhenSent:
        queue.CloseWhenSent();
        break;
      case TEnd::FlushOnAnotherThread:
        std::thread([&] { queue.Flush(); }).join();
        break;
      case TEnd::BatchQueued: {
        const std::string filler(64 * 1024, 'F');
        expected += filler;
        mark = queue.Post(Frame(filler));
        ASSERT_TRUE(mark);
        break;
      }
    }
    EXPECT_EQ(ReadFrom(*pair.Client, expected.size()), expected);
    EXPECT_TRUE(queue.WaitSent(*mark));
    if (end == TEnd::BatchQueued) {
      EXPECT_EQ(sizes.Get().size(), 2u);  // the small ones together, then the large one alone
    } else {
      EXPECT_EQ(sizes.Get(), std::vector<std::size_t>{expected.size()});
    }
    if (end == TEnd::CloseWhenSent) {
      queue.WaitClosed();
      EXPECT_TRUE(PeerSeesEnd(*pair.Client));
    }
  }
}

}  // namespace
}  // namespace vantorix
