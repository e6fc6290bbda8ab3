// The server form with threads racing: counts while connections come and go, broadcasts during
// churn and late handshakes, device commands from several connections, closing during a job.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "json/JsonDocument.h"
#include "tests/app/FormHarness.h"
#include "tests/app/TestTerminal.h"

namespace vantorix::test {
namespace {

std::string Device(const std::string& port) {
  return "{\"ip\":\"127.0.0.1\",\"port\":\"" + port + "\",\"key\":\"0\"}";
}

bool IsJsonObject(const std::string& text) {
  try {
    return dynamic_cast<TJsonObject*>(TJsonNode::Parse(U16(text)).get()) != nullptr;
  } catch (const std::exception&) {
    return false;
  }
}

TEST(ConcurrencyTest, CounterGoesOneTwoOneZero) {
  TFormHarness h;
  auto counts = [&](std::size_t n) {
    return h.DrainUntil([&] { return h.Controls.Counts.size() >= n; });
  };
  auto a = h.Connect();
  ASSERT_TRUE(counts(1));
  auto b = h.Connect();
  ASSERT_TRUE(counts(2));
  a->Close();
  ASSERT_TRUE(counts(3));
  b->Close();
  ASSERT_TRUE(counts(4));
  EXPECT_EQ(h.Controls.Counts, (std::vector<std::u16string>{u"1", u"2", u"1", u"0"}));
}

TEST(ConcurrencyTest, LastCountIsZeroWhenALeavingConnectionLingersInTheList) {
  TFormHarness h;
  // Every connection stays in the list 300 ms after its disconnect handler, as a slow thread
  // would: the count taken by the next one to leave must not include it.
  TWebSocketServer& server = *h.Form->Server();
  server.OnDisconnect = [&h](TConnectionContext* context) {
    h.Form->OnWebSocketDisconnected(context);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  auto a = h.Connect();
  auto b = h.Connect();
  ASSERT_TRUE(h.DrainUntil([&] { return h.Controls.Counts.size() >= 2; }));
  a->Close();
  ASSERT_TRUE(h.DrainUntil([&] { return h.Controls.Counts.size() >= 3; }));
  b->Close();
  ASSERT_TRUE(h.DrainUntil([&] { return h.Controls.Counts.size() >= 4; }));
  EXPECT_EQ(h.Controls.Counts, (std::vector<std::u16string>{u"1", u"2", u"1", u"0"}));
}

TEST(ConcurrencyTest, CountsStayInRangeAndEndAtZeroWhenClientsRace) {
  // 12 clients connect and leave at the same time, half of them without a handshake.
  TFormHarness h;
  constexpr int kClients = 12;
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&h, i] {
      TWsTestClient client("127.0.0.1", h.Port());
      if (i % 2 == 0) {
        client.Open();
      }
      client.Close();
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  // Every connection shows one count when it opens and one when it closes.
  ASSERT_TRUE(h.DrainUntil([&] { return h.Controls.Counts.size() == 2 * kClients; }));
  for (const std::u16string& count : h.Controls.Counts) {
    const int value = std::stoi(U8(count));
    EXPECT_GE(value, 0);
    EXPECT_LE(value, kClients);
  }
  // Once everyone has left, the label shows 0, however the closings interleaved.
  EXPECT_EQ(h.Controls.Counts.back(), u"0");
}

TEST(ConcurrencyTest, BroadcastsDuringChurnReachSteadyClientsAndNeverPrecedeA101) {
  TFormHarness h;
  auto steady = h.Connect();
  auto listener = h.Connect();
  std::atomic<bool> stop{false};
  std::atomic<int> badHandshakes{0};
  std::atomic<int> upgrades{0};
  std::vector<std::thread> churn;
  for (int worker = 0; worker < 3; ++worker) {
    churn.emplace_back([&, worker] {
      int round = 0;
      while (!stop) {
        TWsTestClient client("127.0.0.1", h.Port());
        if ((round + worker) % 3 == 0) {
          // Sits in the pending state for a while, while broadcasts go on, then upgrades: the
          // first bytes it sees must be its 101 response.
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          const std::string head = client.Handshake();
          if (head.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0) != 0) {
            ++badHandshakes;
          }
          ++upgrades;
        } else if ((round + worker) % 3 == 1) {
          client.Open();
        }
        client.Close();
        ++round;
      }
    });
  }
  constexpr int kMessages = 60;
  for (int i = 0; i < kMessages; ++i) {
    const std::string state = "m" + std::to_string(i);
    steady->SendText(R"({"act":"echo","state":")" + state + R"("})");
    const std::string reply =
        R"({"act":"echo","state":")" + state + R"(","devices":[],"state2":")" + state + R"("})";
    EXPECT_EQ(steady->ReadText(kWaitMs).value_or("<none>"), reply);
    EXPECT_EQ(listener->ReadText(kWaitMs).value_or("<none>"), reply);
    h.Window.RunPending();
  }
  stop = true;
  for (std::thread& t : churn) {
    t.join();
  }
  EXPECT_GT(upgrades.load(), 0);
  EXPECT_EQ(badHandshakes.load(), 0);
}

TEST(ConcurrencyTest, DeviceCommandsFromSeveralConnectionsAllCompleteWithWholeMessages) {
  TFormHarness h;
  TTestTerminal terminal({.Demo = true, .Delay = std::chrono::milliseconds(5)});
  constexpr int kClients = 3;
  std::vector<std::unique_ptr<TWsTestClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(h.Connect());
  }
  for (int i = 0; i < kClients; ++i) {
    const std::string command =
        i % 2 == 0
            ? R"({"act":"getfromdevice","state":"c)" + std::to_string(i) +
                  R"(","ip":"127.0.0.1","port":")" + terminal.PortText() + R"(","key":"0"})"
            : R"({"act":"synctodevice","state":"c)" + std::to_string(i) + R"(","devices":[)" +
                  Device(terminal.PortText()) + R"(],"users":[{"enrollNumber":"x)" +
                  std::to_string(i) + R"(","fpCount":0}]})";
    clients[static_cast<std::size_t>(i)]->SendText(command);
  }
  // Every client sees every command's messages: 3 per getfromdevice, 2 per synctodevice.
  const std::size_t total = 3 * 2 + 2 * 1;
  std::vector<std::thread> readers;
  std::vector<std::vector<std::string>> seen(kClients);
  for (int i = 0; i < kClients; ++i) {
    readers.emplace_back([&, i] {
      for (std::size_t n = 0; n < total; ++n) {
        seen[static_cast<std::size_t>(i)].push_back(
            clients[static_cast<std::size_t>(i)]->ReadText(kWaitMs).value_or("<none>"));
      }
    });
  }
  for (std::thread& t : readers) {
    t.join();
  }
  for (const std::vector<std::string>& messages : seen) {
    ASSERT_EQ(messages.size(), total);
    int finishes = 0;
    for (const std::string& m : messages) {
      EXPECT_TRUE(IsJsonObject(m)) << m;
      finishes += m.rfind("{\"status\":\"finish\"", 0) == 0 ? 1 : 0;
      EXPECT_EQ(m.find("failed"), std::string::npos) << m;
    }
    EXPECT_EQ(finishes, kClients);
    // All clients see the same order.
    EXPECT_EQ(messages, seen[0]);
  }
}

TEST(ConcurrencyTest, ClosingWaitsForTheJobInProgressAndStillSendsItsFinish) {
  TTestTerminal slow({.Delay = std::chrono::milliseconds(200)});
  auto h = std::make_unique<TFormHarness>();
  auto client = h->Connect();
  client->SendText(R"({"act":"synctodevice","state":"s","devices":[)" + Device(slow.PortText()) +
                   R"(],"users":[{"enrollNumber":"1","fpCount":0}]})");
  ASSERT_TRUE(client->ReadText(kWaitMs));  // the start status: the job is running
  h->Form->FormClose();
  EXPECT_EQ(client->ReadText(kWaitMs).value_or("<none>"),
            R"({"status":"finish", "state":"s", "remarks":"*Upload user successful!"})");
  EXPECT_TRUE(client->WaitForClose(kWaitMs));
  EXPECT_EQ(h->Form->Server(), nullptr);
  // The closing connection's lines and its count (0: the listener is already cleared).
  h->Window.RunPending();
  EXPECT_EQ(h->Messages().back(), "Client disconnected");
  EXPECT_EQ(h->Controls.Counts.back(), u"0");
  EXPECT_EQ(slow.UserIds(), std::vector<std::string>{"1"});
}

}  // namespace
}  // namespace vantorix::test
