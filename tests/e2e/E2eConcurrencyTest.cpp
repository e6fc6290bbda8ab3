// vantorixd as a process while clients come and go: the client count on standard output, and
// broadcasts while other connections open and close.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/support/Programs.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {
namespace {

constexpr int kWaitMs = 10000;

// The "Clients connected: N" lines among the next lines of standard output, through the one that
// shows `last`.
std::vector<std::string> CountsThrough(TDaemonProcess& daemon, const std::string& last) {
  std::vector<std::string> counts;
  for (const std::string& line : daemon.LinesThrough("Clients connected: " + last)) {
    if (line.rfind("Clients connected: ", 0) == 0) {
      counts.push_back(line.substr(19));
    }
  }
  return counts;
}

TEST(E2eConcurrencyTest, CounterGoesOneTwoOneZero) {
  TDaemonProcess daemon;
  auto a = std::make_unique<TWsTestClient>("127.0.0.1", daemon.Port());
  ASSERT_TRUE(a->Open());
  EXPECT_EQ(CountsThrough(daemon, "1"), std::vector<std::string>{"1"});
  auto b = std::make_unique<TWsTestClient>("127.0.0.1", daemon.Port());
  ASSERT_TRUE(b->Open());
  EXPECT_EQ(CountsThrough(daemon, "2"), std::vector<std::string>{"2"});
  a->Close();
  EXPECT_EQ(CountsThrough(daemon, "1"), std::vector<std::string>{"1"});
  b->Close();
  EXPECT_EQ(CountsThrough(daemon, "0"), std::vector<std::string>{"0"});
}

TEST(E2eConcurrencyTest, EchoesArriveWholeAndInOrderWhileOthersComeAndGo) {
  TDaemonProcess daemon;
  TWsTestClient steady("127.0.0.1", daemon.Port());
  ASSERT_TRUE(steady.Open());
  std::atomic<bool> stop{false};
  std::atomic<int> badHandshakes{0};
  std::vector<std::thread> churn;
  for (int worker = 0; worker < 2; ++worker) {
    churn.emplace_back([&] {
      while (!stop) {
        TWsTestClient client("127.0.0.1", daemon.Port());
        if (!client.Open()) {
          ++badHandshakes;
        }
        client.Close();
      }
    });
  }
  for (int i = 0; i < 40; ++i) {
    const std::string state = "e" + std::to_string(i);
    steady.SendText(R"({"act":"echo","state":")" + state + R"("})");
    EXPECT_EQ(
        steady.ReadText(kWaitMs).value_or("<none>"),
        R"({"act":"echo","state":")" + state + R"(","devices":[],"state2":")" + state + R"("})");
  }
  stop = true;
  for (std::thread& t : churn) {
    t.join();
  }
  EXPECT_EQ(badHandshakes.load(), 0);
  steady.Close();
  // Once everyone has left, the last count shown is 0.
  const std::vector<std::string> lines = daemon.LinesThrough("Client disconnected");
  ASSERT_TRUE(daemon.Process().RequestStop());
  EXPECT_EQ(daemon.Process().WaitExit(std::chrono::milliseconds(kWaitMs)), std::optional<int>(0));
  std::string last;
  for (const std::string& line : lines) {
    if (line.rfind("Clients connected: ", 0) == 0) {
      last = line;
    }
  }
  std::optional<std::string> more;
  while ((more = daemon.Process().ReadLine(std::chrono::milliseconds(kWaitMs)))) {
    if (more->rfind("Clients connected: ", 0) == 0) {
      last = *more;
    }
  }
  EXPECT_EQ(last, "Clients connected: 0");
}

}  // namespace
}  // namespace vantorix::test
