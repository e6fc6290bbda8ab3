// The link sockets' receives over loopback: answers that come at once, within the receive's
// short try, just after it and much later all arrive whole and in order, whatever the mix; a
// peer that closes or never answers is reported, not waited on. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "terminal/LinkSocket.h"

namespace vantorix {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

struct TPair {
  TLinkSocket near;
  TLinkSocket far;
};

TPair Connected() {
  TLinkListenSocket listener("127.0.0.1", 0);
  TPair pair;
  std::thread accept([&] { pair.far = listener.Accept(); });
  int error = 0;
  pair.near = ConnectTcp("127.0.0.1", listener.Port(), 3s, error);
  accept.join();
  return pair;
}

// Receives exactly count bytes on socket, or fewer when a receive fails; a receive that
// succeeds must bring at least one byte.
std::vector<std::uint8_t> ReceiveBytes(TLinkSocket& socket, std::size_t count) {
  std::vector<std::uint8_t> got;
  while (got.size() < count) {
    const std::size_t before = got.size();
    if (RecvSome(socket, got, TClock::now() + 10s) != TIoStatus::kOk) {
      break;
    }
    if (got.size() == before) {
      ADD_FAILURE() << "a receive succeeded with no bytes";
      break;
    }
  }
  return got;
}

// The peer answers each one-byte request with four bytes after the delay of its turn; the
// pattern repeats, so receives that found their answer quickly and receives that had to wait
// follow each other in every order.
TEST(LinkSocketTest, AnswersArriveWholeAndInOrderWhateverTheirDelay) {
  const struct {
    const char* name;
    std::vector<std::chrono::microseconds> delays;
  } cases[] = {
      {"at once", {0us}},
      {"within the try", {40us}},
      {"just after the try", {300us}},
      {"much later", {20ms}},
      {"fast and slow mixed", {0us, 20ms, 0us, 0us, 300us, 40us, 5ms, 0us}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TPair pair = Connected();
    ASSERT_TRUE(pair.near.Valid() && pair.far.Valid());
    constexpr int kExchanges = 160;
    std::thread peer([&] {
      for (int i = 0; i < kExchanges; ++i) {
        if (ReceiveBytes(pair.far, 1).size() != 1) {
          return;
        }
        std::this_thread::sleep_for(c.delays[static_cast<std::size_t>(i) % c.delays.size()]);
        const auto b = static_cast<std::uint8_t>(i);
        const std::vector<std::uint8_t> answer{b, static_cast<std::uint8_t>(b + 1),
                                               static_cast<std::uint8_t>(b + 2), 0xEE};
        if (SendAll(pair.far, answer, TClock::now() + 10s) != TIoStatus::kOk) {
          return;
        }
      }
    });
    for (int i = 0; i < kExchanges; ++i) {
      const std::vector<std::uint8_t> request{static_cast<std::uint8_t>(i)};
      ASSERT_EQ(SendAll(pair.near, request, TClock::now() + 10s), TIoStatus::kOk);
      const auto b = static_cast<std::uint8_t>(i);
      const std::vector<std::uint8_t> expected{b, static_cast<std::uint8_t>(b + 1),
                                               static_cast<std::uint8_t>(b + 2), 0xEE};
      ASSERT_EQ(ReceiveBytes(pair.near, 4), expected) << "exchange " << i;
    }
    peer.join();
  }
}

TEST(LinkSocketTest, APeerThatClosesOrNeverAnswersIsReported) {
  {
    TPair pair = Connected();
    std::thread peer([&] {
      std::this_thread::sleep_for(2ms);
      pair.far.Close();
    });
    std::vector<std::uint8_t> got;
    EXPECT_EQ(RecvBlocking(pair.near, got), TIoStatus::kClosed);
    EXPECT_TRUE(got.empty());
    peer.join();
  }
  {
    TPair pair = Connected();
    std::vector<std::uint8_t> got;
    const auto start = TClock::now();
    EXPECT_EQ(RecvSome(pair.near, got, start + 30ms), TIoStatus::kTimeout);
    EXPECT_GE(TClock::now() - start, 25ms);
    EXPECT_TRUE(got.empty());
  }
  {
    TPair pair = Connected();
    std::thread stopper([&] {
      std::this_thread::sleep_for(5ms);
      pair.near.Shutdown();
    });
    std::vector<std::uint8_t> got;
    EXPECT_NE(RecvBlocking(pair.near, got), TIoStatus::kOk);
    stopper.join();
  }
}

}  // namespace
}  // namespace vantorix
