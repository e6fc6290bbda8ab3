// The server form with threads racing: counts while connections come and go, broadcasts during
// churn and late handshakes, device commands from several connections, a connection's commands
// beside its running job, jobs for different terminals, closing during a job.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
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

// The frames a client gets until the server's close frame (included), until none comes for
// timeoutMs, or until there are most of them: a text frame as its text, a pong as
// "pong <payload>", a close as "close <code>".
std::vector<std::string> FramesThroughClose(TWsTestClient& client, int timeoutMs = kWaitMs,
                                            std::size_t most = 100) {
  std::vector<std::string> frames;
  while (frames.size() < most) {
    std::optional<TWsFrame> frame = client.ReadFrame(timeoutMs);
    if (!frame) {
      break;
    }
    if (frame->Opcode == 8) {
      frames.push_back("close " + std::to_string(frame->CloseCode().value_or(0)));
      break;
    }
    frames.push_back(frame->Opcode == 10 ? "pong " + frame->Text() : frame->Text());
  }
  return frames;
}

std::string SyncCommand(const std::string& state, const std::string& port, int users, int fingers) {
  std::string list;
  for (int i = 1; i <= users; ++i) {
    list += (i > 1 ? "," : "") + std::string(R"({"enrollNumber":")") + std::to_string(i) +
            R"(","fpCount":)" + std::to_string(fingers) + R"(,"fpTemplates":[)";
    for (int f = 0; f < fingers; ++f) {
      list += (f > 0 ? "," : "") + std::string(R"({"fingerIndex":)") + std::to_string(f) +
              R"(,"templateData":"T"})";
    }
    list += "]}";
  }
  return R"({"act":"synctodevice","state":")" + state + R"(","devices":[)" + Device(port) +
         R"(],"users":[)" + list + "]}";
}

std::string StatusOf(const std::string& status, const std::string& state) {
  return R"({"status":")" + status + R"(", "state":")" + state + "\"";
}

// Closing does not wait for a long job: the job stops between two users, its finish status
// says so and reaches the client before the close frame 1001, the terminal holds whole users
// only, and the command queued behind it never starts.
TEST(ConcurrencyTest, ClosingInterruptsTheJobInProgressAndSaysGoingAwayAfterItsFinish) {
  TTestTerminal slow({.Delay = std::chrono::milliseconds(20)});
  TTestTerminal untouched;
  auto h = std::make_unique<TFormHarness>();
  auto client = h->Connect();
  client->SendText(SyncCommand("s", slow.PortText(), 20, 2));
  client->SendText(SyncCommand("next", untouched.PortText(), 1, 0));
  EXPECT_EQ(client->ReadText(kWaitMs).value_or("<none>").rfind(StatusOf("start", "s"), 0), 0u);
  ASSERT_TRUE(h->DrainUntil([&] { return slow.RequestCount() > 15; }));  // a few users in
  h->Form->FormClose();
  const std::vector<std::string> frames = FramesThroughClose(*client);
  ASSERT_EQ(frames.size(), 2u) << ::testing::PrintToString(frames);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(frames[0], m,
                               std::regex(R"(\{"status":"finish", "state":"s", "remarks":)"
                                          R"("\*Upload interrupted by shutdown: (\d+) of 20 users )"
                                          R"(written"\})")))
      << frames[0];
  EXPECT_EQ(frames[1], "close 1001");
  EXPECT_TRUE(client->WaitForClose(kWaitMs));
  const std::size_t written = std::stoul(m[1]);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, 20u);
  EXPECT_EQ(slow.UserIds().size(), written);
  EXPECT_EQ(slow.TemplateCount(), 2 * written) << "a user was cut in the middle";
  EXPECT_TRUE(untouched.UserIds().empty());
  h->Window.RunPending();
  EXPECT_EQ(h->Messages().back(), "Client disconnected");
  EXPECT_EQ(h->Controls.Counts.back(), u"0");
}

// While its job runs, a connection answers a ping at once, and its next command runs after the
// job: start, pong, finish, then the echo.
TEST(ConcurrencyTest, AConnectionAnswersPingsDuringItsJobAndRunsItsNextCommandAfterIt) {
  TFormHarness h;
  TTestTerminal slow({.Delay = std::chrono::milliseconds(150)});
  auto client = h.Connect();
  client->SendText(SyncCommand("s", slow.PortText(), 1, 0));
  EXPECT_EQ(client->ReadText(kWaitMs).value_or("<none>").rfind(StatusOf("start", "s"), 0), 0u);
  client->SendPing("p");
  client->SendText(R"({"act":"echo","state":"after"})");
  const std::vector<std::string> frames = FramesThroughClose(*client, kWaitMs, 3);
  ASSERT_EQ(frames.size(), 3u) << ::testing::PrintToString(frames);
  EXPECT_EQ(frames[0], "pong p");
  EXPECT_EQ(frames[1], R"({"status":"finish", "state":"s", "remarks":"*Upload user successful!"})");
  EXPECT_EQ(frames[2], R"({"act":"echo","state":"after","devices":[],"state2":"after"})");
}

// Jobs for different terminals do not wait for each other: a read of a healthy terminal
// finishes while a slow terminal is being written.
TEST(ConcurrencyTest, AJobForAnotherTerminalDoesNotWaitForASlowOne) {
  TFormHarness h;
  TTestTerminal slow({.Delay = std::chrono::milliseconds(150)});
  TTestTerminal healthy({.Demo = true});
  auto writer = h.Connect();
  auto reader = h.Connect();
  writer->SendText(SyncCommand("s", slow.PortText(), 3, 0));
  EXPECT_EQ(reader->ReadText(kWaitMs).value_or("<none>").rfind(StatusOf("start", "s"), 0), 0u);
  reader->SendText(R"({"act":"getfromdevice","state":"g","ip":"127.0.0.1","port":")" +
                   healthy.PortText() + R"(","key":"0"})");
  std::vector<std::string> seen;
  while (seen.empty() || seen.back().rfind(StatusOf("finish", "g"), 0) != 0) {
    const std::optional<std::string> message = reader->ReadText(kWaitMs);
    ASSERT_TRUE(message);
    seen.push_back(*message);
  }
  for (const std::string& message : seen) {
    EXPECT_NE(message.rfind(StatusOf("finish", "s"), 0), 0u) << "the read waited for the write";
  }
}

// A command that fails behind a running job ends its connection only after that job's finish
// status, with 1007 and the reason; what the connection sent after it never runs.
TEST(ConcurrencyTest, AnInvalidCommandBehindAJobEndsTheConnectionAfterTheJobsFinish) {
  TFormHarness h;
  TTestTerminal slow({.Delay = std::chrono::milliseconds(100)});
  auto bystander = h.Connect();
  auto client = h.Connect();
  client->SendText(SyncCommand("s", slow.PortText(), 1, 0));
  client->SendText(R"({"act":"synctodevice","state":"bad","devices":[{"ip":"127.0.0.1",)"
                   R"("port":"x","key":"0"}]})");
  client->SendText(R"({"act":"echo","state":"never"})");
  const std::vector<std::string> frames = FramesThroughClose(*client);
  ASSERT_EQ(frames.size(), 3u) << ::testing::PrintToString(frames);
  EXPECT_EQ(frames[0].rfind(StatusOf("start", "s"), 0), 0u);
  EXPECT_EQ(frames[1], R"({"status":"finish", "state":"s", "remarks":"*Upload user successful!"})");
  EXPECT_EQ(frames[2], "close 1007");
  EXPECT_TRUE(client->WaitForClose(kWaitMs));
  EXPECT_EQ(bystander->ReadText(kWaitMs).value_or("<none>").rfind(StatusOf("start", "s"), 0), 0u);
  EXPECT_EQ(bystander->ReadText(kWaitMs).value_or("<none>").rfind(StatusOf("finish", "s"), 0), 0u);
  bystander->SendText(R"({"act":"echo","state":"probe"})");
  EXPECT_EQ(bystander->ReadText(kWaitMs).value_or("<none>"),
            R"({"act":"echo","state":"probe","devices":[],"state2":"probe"})");
}

}  // namespace
}  // namespace vantorix::test
