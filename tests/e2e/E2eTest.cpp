// vantorixd and vantorix-terminal as processes, driven by raw WebSocket clients over loopback.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#endif

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/support/Messages.h"
#include "tests/e2e/support/Programs.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {
namespace {

constexpr int kWaitMs = 10000;

// A loopback port where nothing listens: a terminal that was started and stopped again.
std::string DeadTerminalPort() {
  TTerminalProcess gone;
  return gone.PortText();
}

class E2eTest : public ::testing::Test {
 protected:
  std::unique_ptr<TWsTestClient> Connect() {
    auto client = std::make_unique<TWsTestClient>("127.0.0.1", Daemon.Port());
    EXPECT_TRUE(client->Open());
    return client;
  }
  // A client whose upgrade the server has certainly recorded: its own echo came back.
  std::unique_ptr<TWsTestClient> ConnectSynced(const std::string& name) {
    auto client = Connect();
    client->SendText(R"({"act":"echo","state":")" + name + R"("})");
    EXPECT_TRUE(client->ReadText(kWaitMs));
    return client;
  }
  TDaemonProcess Daemon;
};

TEST_F(E2eTest, EchoComesBackByteForByte) {
  auto client = Connect();
  // Non-ASCII text, a numeric state and an unknown member survive the round trip.
  const std::string command = "{\"act\":\"echo\",\"state\":\"\xc3\xa9\xe2\x82\xac\",\"n\":1.50}";
  const std::string reply =
      "{\"act\":\"echo\",\"state\":\"\xc3\xa9\xe2\x82\xac\",\"n\":1.5,\"devices\":[],"
      "\"state2\":\"\xc3\xa9\xe2\x82\xac\"}";
  client->SendText(command);
  const std::optional<TWsFrame> frame = client->ReadFrame(kWaitMs);
  ASSERT_TRUE(frame);
  TRawBytes expected = {0x81, static_cast<std::uint8_t>(reply.size())};
  expected.insert(expected.end(), reply.begin(), reply.end());
  EXPECT_EQ(frame->Raw, expected);
}

TEST_F(E2eTest, BroadcastReachesEveryClientIncludingOneThatSentNothing) {
  auto silent = Connect();
  auto other = Connect();
  auto sender = ConnectSynced("sync");
  EXPECT_TRUE(other->ReadText(kWaitMs));   // the sender's sync echo
  EXPECT_TRUE(silent->ReadText(kWaitMs));  // likewise
  sender->SendText(R"({"act":"echo","state":"all"})");
  const std::string reply = R"({"act":"echo","state":"all","devices":[],"state2":"all"})";
  for (TWsTestClient* client : {sender.get(), other.get(), silent.get()}) {
    EXPECT_EQ(client->ReadText(kWaitMs).value_or("<none>"), reply);
  }
}

TEST_F(E2eTest, SyncToTwoTerminalsGivesStartFinishStartFinish) {
  TTerminalProcess first;
  TTerminalProcess second({"--delay", "50"});
  auto silent = Connect();
  auto sender = ConnectSynced("s");
  silent->ReadText(kWaitMs);
  sender->SendText(
      R"({"act":"synctodevice","state":"two","devices":[)" + Device(first.PortText()) + "," +
      Device(second.PortText()) +
      R"(],"users":[{"enrollNumber":"42","enabled":true,"name":"Zoe","privilege":0,"fpCount":0}]})");
  const std::vector<std::string> expected = {
      Start("two", "sync in progress to:127.0.0.1"), Finish("two", "*Upload user successful!"),
      Start("two", "sync in progress to:127.0.0.1"), Finish("two", "*Upload user successful!")};
  EXPECT_EQ(Read(*sender, 4), expected);
  EXPECT_EQ(Read(*silent, 4), expected);
  // The user is now on the second terminal.
  sender->SendText(GetFrom("check", second.PortText()));
  const std::vector<std::string> check = Read(*sender, 3);
  EXPECT_NE(check[1].find("\"enrollNumber\":\"42\""), std::string::npos) << check[1];
  EXPECT_EQ(check[2], Finish("check", "Fetch completed: 1 total users found"));
}

TEST_F(E2eTest, GetFromDeviceOnEmptyAndFilledTerminals) {
  TTerminalProcess empty;
  TTerminalProcess filled({"--demo"});
  auto client = Connect();
  client->SendText(GetFrom("e", empty.PortText()));
  EXPECT_EQ(Read(*client, 3),
            (std::vector<std::string>{Start("e", "Fetching data from:127.0.0.1"), "{}",
                                      Finish("e", "Fetch completed: 0 total users found")}));
  client->SendText(GetFrom("f", filled.PortText()));
  const std::vector<std::string> replies = Read(*client, 3);
  EXPECT_EQ(replies[0], Start("f", "Fetching data from:127.0.0.1"));
  EXPECT_EQ(replies[1].rfind("{\"users\":[{\"enrollNumber\":", 0), 0u) << replies[1];
  std::size_t users = 0;
  for (std::size_t at = 0; (at = replies[1].find("\"enrollNumber\":", at)) != std::string::npos;
       ++at) {
    ++users;
  }
  EXPECT_GT(users, 0u);
  EXPECT_EQ(replies[2],
            Finish("f", "Fetch completed: " + std::to_string(users) + " total users found"));
}

TEST_F(E2eTest, DeleteCommandsReachTheTerminal) {
  TTerminalProcess terminal({"--demo"});
  auto client = Connect();
  client->SendText(GetFrom("before", terminal.PortText()));
  const std::string before = Read(*client, 3)[1];
  // The first user that has a template, and that template's finger.
  std::smatch found;
  ASSERT_TRUE(std::regex_search(
      before, found,
      std::regex(R"re("enrollNumber":"([^"]+)"[^\]]*?"fpTemplates":\[\{"fingerIndex":(\d+))re")))
      << before;
  const std::string user = found[1];
  const std::string finger = found[2];
  client->SendText(R"({"act":"deletefptemplate","state":"t","devices":[)" +
                   Device(terminal.PortText()) + R"(],"users":[{"enrollNumber":")" + user +
                   R"(","fingerIndex":")" + finger + R"("}]})");
  EXPECT_EQ(Read(*client, 2),
            (std::vector<std::string>{
                Start("t", "Delete fingerprint in progress at:127.0.0.1"),
                Finish("t", "Delete fingerprint completed: SSR_DelUserTmpExt,UserID=" + user +
                                " FingerIndex=" + finger)}));
  client->SendText(R"({"act":"deleteenrolleddata","state":"d","devices":[)" +
                   Device(terminal.PortText()) + R"(],"users":[{"enrollNumber":")" + user +
                   R"(","deleteOption":"12"}]})");
  EXPECT_EQ(Read(*client, 2),
            (std::vector<std::string>{Start("d", "Delete in progress at:127.0.0.1"),
                                      Finish("d", "Delete completed: SSR_DeleteEnrollData,UserID=" +
                                                      user + " BackupNumber=12")}));
  client->SendText(GetFrom("after", terminal.PortText()));
  const std::string after = Read(*client, 3)[1];
  auto templates = [](const std::string& document) {
    std::size_t count = 0;
    for (std::size_t at = 0; (at = document.find("\"fingerIndex\":", at)) != std::string::npos;
         ++at) {
      ++count;
    }
    return count;
  };
  EXPECT_LT(templates(after), templates(before)) << after;
}

TEST_F(E2eTest, UnreachableTerminalReportsTheFailureText) {
  const std::string port = DeadTerminalPort();
  auto client = Connect();
  client->SendText(GetFrom("u", port));
  EXPECT_EQ(Read(*client, 2),
            (std::vector<std::string>{
                Start("u", "Fetching data from:127.0.0.1"),
                Finish("u", "sync from device:127.0.0.1 failed! Can not connect.")}));
}

TEST_F(E2eTest, BadPortTextEndsOnlyThatConnection) {
  TTerminalProcess terminal;
  auto bystander = Connect();
  auto client = ConnectSynced("c");
  bystander->ReadText(kWaitMs);
  client->SendText(R"({"act":"synctodevice","state":"bad","devices":[)" + Device("forty") +
                   R"(],"users":[]})");
  // Refused before its start status.
  EXPECT_TRUE(client->WaitForClose(kWaitMs));
  // The bystander and the server carry on; the bystander saw nothing of the bad command.
  bystander->SendText(GetFrom("after", terminal.PortText()));
  EXPECT_EQ(Read(*bystander, 3),
            (std::vector<std::string>{Start("after", "Fetching data from:127.0.0.1"), "{}",
                                      Finish("after", "Fetch completed: 0 total users found")}));
}

TEST_F(E2eTest, StatusMessagesEscapeTheStateAndStayValidJson) {
  const std::string port = DeadTerminalPort();
  auto client = Connect();
  client->SendText(R"({"act":"getfromdevice","state":"q\"\\\n","ip":"1\"2","port":")" + port +
                   R"(","key":"0"})");
  EXPECT_EQ(Read(*client, 2),
            (std::vector<std::string>{
                Start("q\\\"\\\\\\n", "Fetching data from:1\\\"2"),
                Finish("q\\\"\\\\\\n", "sync from device:1\\\"2 failed! Can not connect.")}));
}

TEST_F(E2eTest, LogLinesGoToStandardOutputInOrder) {
  auto client = Connect();
  client->SendText(R"({"act":"echo","state":"log"})");
  ASSERT_TRUE(client->ReadText(kWaitMs));
  client->SendText(R"({"act":"nope","state":"log"})");
  client->Close();
  const std::vector<std::string> lines = Daemon.LinesThrough("Client disconnected");
  const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: : )";
  const std::vector<std::string> expected = {
      R"(\[\] - )" + stamp + "Client Connected",
      "Clients connected: 1",
      R"(\[SERVER\] - )" + stamp + "Client Connected!",
      R"(\[SERVER\] - )" + stamp + "Port=" + std::to_string(Daemon.Port()) +
          R"( \(PeerIP=127\.0\.0\.1 - PeerPort=\d+\))",
      R"(\[\] - )" + stamp + "0",
      // The indented echo command: one entry, written as its lines.
      R"(\[\] - )" + stamp + R"(\{)",
      R"(    "act": "echo",)",
      R"(    "state": "log",)",
      R"(    "devices": \[)",
      R"(    \])",
      R"(\})",
      R"(\[\] - )" + stamp + R"(\{"status":"finish", "state":"log", "remarks":"ERROR"\})",
      R"(\[\] - )" + stamp + "Client disconnected",
  };
  ASSERT_EQ(lines.size(), expected.size()) << ::testing::PrintToString(lines);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];
  }
  EXPECT_EQ(Daemon.LinesThrough("Clients connected: 0"),
            std::vector<std::string>{"Clients connected: 0"});
}

TEST(E2eStartTest, PortInUsePrintsTheListenerErrorAndExitsNonZero) {
  TDaemonProcess holder({"--port", "0", "--loopback"});
  TChildProcess second(DaemonCommand({"--loopback", "--port", std::to_string(holder.Port())}),
                       /*mergeStderr=*/true);
  std::vector<std::string> lines;
  while (std::optional<std::string> line = second.ReadLine(std::chrono::milliseconds(kWaitMs))) {
    lines.push_back(*line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"Socket Error # 10048", "Address already in use."}));
  const std::optional<int> status = second.WaitExit(std::chrono::milliseconds(kWaitMs));
  ASSERT_TRUE(status);
  EXPECT_NE(*status, 0);
}

TEST(E2eStartTest, PortTextsThatDoNotConvertAreRejected) {
  struct Case {
    std::string port;
    std::string error;
  };
  const Case cases[] = {{"abc", "'abc' is not a valid integer value"},
                        {"9000 ", "'9000 ' is not a valid integer value"},
                        {"65536", "Range check error"},
                        {"-1", "Range check error"}};
  for (const Case& c : cases) {
    TChildProcess daemon(DaemonCommand({"--port", c.port}), /*mergeStderr=*/true);
    EXPECT_EQ(daemon.ReadLine(std::chrono::milliseconds(kWaitMs)).value_or("<none>"), c.error);
    const std::optional<int> status = daemon.WaitExit(std::chrono::milliseconds(kWaitMs));
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1) << c.port;
  }
}

TEST(E2eStartTest, LoopbackListensOn127001Only) {
  TChildProcess daemon(DaemonCommand({"--loopback", "--port", "0"}));
  std::optional<std::string> line = daemon.ReadLine(std::chrono::milliseconds(kWaitMs));
  ASSERT_TRUE(line);
  EXPECT_TRUE(std::regex_match(*line, std::regex(R"(listening on 127\.0\.0\.1:\d+)"))) << *line;
  // And on nothing else.
  EXPECT_FALSE(daemon.ReadLine(std::chrono::milliseconds(300)));
#ifdef _WIN32
  ASSERT_TRUE(daemon.RequestStop());
#else
  daemon.Signal(SIGINT);  // the other stop signal
#endif
  EXPECT_EQ(daemon.WaitExit(std::chrono::milliseconds(kWaitMs)), std::optional<int>(0));
}

// With an allow-list, a foreign page's upgrade gets 403 and a closed connection and leaves one
// log line naming the origin and the peer; listed pages and programs without Origin connect.
TEST(E2eOriginTest, PagesOutsideTheAllowListAreRefusedWith403AndLogged) {
  TDaemonProcess daemon({"--port", "0", "--loopback", "--allow-origin", "http://localhost:8000",
                         "--allow-origin", "HTTPS://Intranet.Example:443"});
  EXPECT_EQ(daemon.LinesThrough("pages allowed"),
            (std::vector<std::string>{
                "pages allowed to connect: http://localhost:8000 https://intranet.example"}));
  struct {
    const char* name;
    std::string originLine;
    std::string logged;  // the origin as logged; empty when the page may connect
  } const cases[] = {
      {"listed page", "Origin: http://localhost:8000\r\n", ""},
      {"listed page, other spelling", "Origin: https://INTRANET.example\r\n", ""},
      {"program without Origin", "", ""},
      {"foreign page", "Origin: http://evil.example\r\n", "\"http://evil.example\""},
      {"same host, other port", "Origin: http://localhost:8001\r\n", "\"http://localhost:8001\""},
      {"page from a file", "Origin: null\r\n", "\"null\""},
      {"control characters", "Origin: http://a\x1b[2J\x07z\r\n", "\"http://a?[2J?z\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TWsTestClient client("127.0.0.1", daemon.Port());
    client.SendRaw(
        "GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: " +
        std::string(TWsTestClient::kSampleKey) + "\r\n" + c.originLine + "\r\n");
    if (c.logged.empty()) {
      const TRawBytes head = client.ReadRaw(129, kWaitMs);
      EXPECT_EQ(std::string(head.begin(), head.end()).substr(0, 34),
                "HTTP/1.1 101 Switching Protocols\r\n");
      client.SendText(R"({"act":"echo","state":"o"})");
      EXPECT_TRUE(client.ReadText(kWaitMs));
      continue;
    }
    const TRawBytes answer = client.ReadRaw(4096, kWaitMs);
    const std::string text(answer.begin(), answer.end());
    EXPECT_EQ(text.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << text;
    EXPECT_TRUE(client.IsClosed()) << "the server closes the connection after the 403";
    const std::vector<std::string> lines = daemon.LinesThrough("origin not allowed");
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(
        lines.back().find("origin not allowed: " + c.logged + " (PeerIP=127.0.0.1 - PeerPort=" +
                          std::to_string(client.LocalPort()) + ")"),
        std::string::npos)
        << lines.back();
  }
}

TEST(E2eOriginTest, AnAllowListEntryThatNamesNoPageStopsTheStart) {
  for (const std::string origin : {"null", "http://localhost:8000/", "localhost"}) {
    TChildProcess daemon(DaemonCommand({"--port", "0", "--allow-origin", origin}),
                         /*mergeStderr=*/true);
    const std::string line = daemon.ReadLine(std::chrono::milliseconds(kWaitMs)).value_or("");
    EXPECT_EQ(line.rfind("vantorixd: --allow-origin: '" + origin + "'", 0), 0u) << line;
    EXPECT_EQ(daemon.WaitExit(std::chrono::milliseconds(kWaitMs)), std::optional<int>(2));
  }
}

}  // namespace
}  // namespace vantorix::test
