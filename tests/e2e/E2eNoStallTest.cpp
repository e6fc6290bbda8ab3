// vantorixd and vantorix-terminal as processes with one slow party: a client that stops reading,
// a terminal that answers slowly, and a shutdown in the middle of a long job. Nobody else waits
// for them.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/support/Messages.h"
#include "tests/e2e/support/Programs.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {
namespace {

using namespace std::chrono_literals;

constexpr int kWaitMs = 10000;

std::unique_ptr<TWsTestClient> Connect(TDaemonProcess& daemon, int receiveBuffer = 0) {
  auto client = std::make_unique<TWsTestClient>("127.0.0.1", daemon.Port(), 5000, receiveBuffer);
  EXPECT_TRUE(client->Open());
  return client;
}

std::string Echo(const std::string& state) {
  return R"({"act":"echo","state":")" + state + R"("})";
}
std::string EchoReply(const std::string& state) {
  return R"({"act":"echo","state":")" + state + R"(","devices":[],"state2":")" + state + R"("})";
}

// count users numbered from 1, each with the templates of fingers 0 to fingers - 1.
std::string SyncTo(const std::string& state, const std::string& port, int count, int fingers) {
  std::string users;
  for (int i = 1; i <= count; ++i) {
    users += (i > 1 ? "," : "") + std::string(R"({"enrollNumber":")") + std::to_string(i) +
             R"(","name":"U)" + std::to_string(i) + R"(","fpCount":)" + std::to_string(fingers) +
             R"(,"fpTemplates":[)";
    for (int f = 0; f < fingers; ++f) {
      users += (f > 0 ? "," : "") + std::string(R"({"fingerIndex":)") + std::to_string(f) +
               R"(,"flag":1,"templateData":"T)" + std::to_string(i) + "-" + std::to_string(f) +
               R"("})";
    }
    users += "]}";
  }
  return R"({"act":"synctodevice","state":")" + state + R"(","devices":[)" + Device(port) +
         R"(],"users":[)" + users + "]}";
}

// Milliseconds since start.
long long Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// A client with a 4 KB receive buffer that never reads, while another client echoes 5 MB: the
// others are answered and a new client is upgraded within a second, and the silent client is
// closed once its socket has taken nothing for 10 s.
TEST(E2eNoStallTest, AClientThatNeverReadsHoldsNobodyAndIsClosedAfterItsTimeOut) {
  TDaemonProcess daemon;
  // A client has its 101 only once the server counts it as upgraded.
  auto deaf = Connect(daemon, 4096);  // reads its 101, then nothing
  auto third = Connect(daemon);
  auto sender = Connect(daemon);
  const std::string big =
      R"({"act":"echo","state":"big","pad":")" + std::string(5000000, 'x') + R"("})";
  sender->SendText(big);
  // The server has logged the echo and is sending its reply.
  ASSERT_FALSE(daemon.LinesThrough(R"("state": "big")").empty());
  const std::optional<std::string> echoed = third->ReadText(kWaitMs);
  ASSERT_TRUE(echoed) << "the broadcast of the 5 MB echo is held by the client that reads nothing";
  EXPECT_GT(echoed->size(), 5000000u);
  EXPECT_GT(sender->ReadText(kWaitMs).value_or("").size(), 5000000u);
  // With the silent client still connected and millions of bytes waiting for it:
  auto start = std::chrono::steady_clock::now();
  third->SendText(Echo("small"));
  EXPECT_EQ(third->ReadText(1000).value_or("<none>"), EchoReply("small"));
  EXPECT_LT(Since(start), 1000);
  start = std::chrono::steady_clock::now();
  TWsTestClient newcomer("127.0.0.1", daemon.Port());
  EXPECT_TRUE(newcomer.Open(TWsTestClient::kSampleKey, 1000));
  EXPECT_LT(Since(start), 1000);
  // The silent client is the first to leave, after its time-out.
  const std::vector<std::string> lines = daemon.LinesThrough("Client disconnected", 30s);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("Client disconnected"), std::string::npos);
  EXPECT_TRUE(deaf->WaitForClose(kWaitMs));
  // Nobody else noticed.
  sender->SendText(Echo("after"));
  EXPECT_EQ(third->ReadText(kWaitMs).value_or("<none>"), EchoReply("after"));
  EXPECT_EQ(sender->ReadText(kWaitMs).value_or("<none>"), EchoReply("small"));
  EXPECT_EQ(sender->ReadText(kWaitMs).value_or("<none>"), EchoReply("after"));
}

// A terminal that takes 1.5 s for every answer: the client whose job runs there gets its pong
// within a second, another client's read of a healthy terminal finishes first, and two commands
// for the slow terminal from two clients finish in the order they were sent.
TEST(E2eNoStallTest, ASlowTerminalHoldsOnlyTheJobsForIt) {
  TTerminalProcess slow({"--delay", "1500"});
  TTerminalProcess healthy({"--demo"});
  TDaemonProcess daemon;
  auto writer = Connect(daemon);
  auto second = Connect(daemon);
  auto reader = Connect(daemon);
  writer->SendText(SyncTo("first", slow.PortText(), 1, 0));
  EXPECT_EQ(writer->ReadText(kWaitMs).value_or("<none>"),
            Start("first", "sync in progress to:127.0.0.1"));
  const auto start = std::chrono::steady_clock::now();
  writer->SendPing("still there?");
  const std::optional<TWsFrame> pong = writer->ReadFrame(1000);
  ASSERT_TRUE(pong) << "no pong while the job runs";
  EXPECT_EQ(pong->Opcode, 0xA);
  EXPECT_EQ(pong->Text(), "still there?");
  EXPECT_LT(Since(start), 1000);
  second->SendText(SyncTo("second", slow.PortText(), 1, 0));
  // The reader sees every message of the three commands; the read, sent once the second write
  // has started (and waits for the first), finishes before either write.
  std::vector<std::string> seen = Read(*reader, 2);
  reader->SendText(GetFrom("read", healthy.PortText()));
  while (seen.empty() || seen.back() != Finish("second", "*Upload user successful!")) {
    const std::optional<std::string> message = reader->ReadText(30000);
    ASSERT_TRUE(message) << ::testing::PrintToString(seen);
    if (message->rfind("{\"status\"", 0) == 0) {
      seen.push_back(*message);
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      Start("first", "sync in progress to:127.0.0.1"),
                      Start("second", "sync in progress to:127.0.0.1"),
                      Start("read", "Fetching data from:127.0.0.1"),
                      Finish("read", "Fetch completed: 4 total users found"),
                      Finish("first", "*Upload user successful!"),
                      Finish("second", "*Upload user successful!"),
                  }));
}

// SIGTERM in the middle of a 20-user sync to a slow terminal: the server stops the job between
// two users, sends its finish status with how far it got and then the close frame 1001, and exits
// 0 within 5 s; the terminal holds whole users only.
TEST(E2eNoStallTest, SigtermInterruptsALongSyncBetweenUsersAndExitsPromptly) {
  TTerminalProcess slow({"--delay", "100"});
  auto daemon = std::make_unique<TDaemonProcess>();
  auto client = Connect(*daemon);
  client->SendText(SyncTo("long", slow.PortText(), 20, 2));
  EXPECT_EQ(client->ReadText(kWaitMs).value_or("<none>"),
            Start("long", "sync in progress to:127.0.0.1"));
  std::this_thread::sleep_for(1500ms);  // a few users in, most still to come
  const auto start = std::chrono::steady_clock::now();
  daemon->Process().Signal(SIGTERM);
  const std::optional<std::string> finish = client->ReadText(5000);
  ASSERT_TRUE(finish);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      *finish, m,
      std::regex(R"(\{"status":"finish", "state":"long", "remarks":"\*Upload interrupted by )"
                 R"(shutdown: (\d+) of 20 users written"\})")))
      << *finish;
  const std::optional<TWsFrame> close = client->ReadFrame(5000);
  ASSERT_TRUE(close);
  EXPECT_EQ(close->CloseCode(), 1001);
  client->SendClose(1001);  // as a browser would; the server need not wait for it any longer
  EXPECT_EQ(daemon->Process().WaitExit(5s), std::optional<int>(0));
  EXPECT_LT(Since(start), 5000);
  daemon.reset();
  // What the terminal holds, read by a server of its own.
  const int written = std::stoi(m[1]);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 20);
  TDaemonProcess reader;
  auto check = Connect(reader);
  check->SendText(GetFrom("check", slow.PortText()));
  const std::vector<std::string> replies = Read(*check, 3, 30000);
  std::string expected = R"({"users":[)";
  for (int i = 1; i <= written; ++i) {
    const std::string n = std::to_string(i);
    expected += (i > 1 ? "," : "") + std::string(R"({"enrollNumber":")") + n +
                R"(","enabled":false,"name":"U)" + n +
                R"(","cardNumber":"","password":"","privilege":0,"fpTemplates":[)"
                R"({"fingerIndex":0,"flag":1,"templateData":"T)" +
                n + R"(-0"},{"fingerIndex":1,"flag":1,"templateData":"T)" + n +
                R"(-1"}],"fpCount":2})";
  }
  EXPECT_EQ(replies[1], expected + "]}");
}

}  // namespace
}  // namespace vantorix::test
