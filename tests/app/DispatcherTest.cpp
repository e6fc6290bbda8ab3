// The dispatcher, log lines and broadcasts of the server form, with WebSocket clients on
// loopback and simulated terminals in the test process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/LogLine.h"
#include "json/FormatJson.h"
#include "json/JsonDocument.h"
#include "tests/app/FormHarness.h"
#include "tests/app/TestTerminal.h"

namespace vantorix::test {
namespace {

std::string Start(const std::string& state, const std::string& remark) {
  return "{\"status\":\"start\", \"state\":\"" + state + "\", \"remarks\":\"" + remark + "\"}";
}
std::string Finish(const std::string& state, const std::string& remark) {
  return "{\"status\":\"finish\", \"state\":\"" + state + "\", \"remarks\":\"" + remark + "\"}";
}
std::string Device(const std::string& port, const std::string& ip = "127.0.0.1") {
  return "{\"ip\":\"" + ip + "\",\"port\":\"" + port + "\",\"key\":\"0\"}";
}
std::string Indented(const std::string& lineForm) {
  return U8(FormatJSON(U16(lineForm)));
}

// Reads n text messages; a missing one shows as "<none>".
std::vector<std::string> Read(TWsTestClient& client, std::size_t n) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(client.ReadText(kWaitMs).value_or("<none>"));
  }
  return out;
}

// Proves that a client received nothing so far: an echo sent now must be the next message.
void ExpectNothingBefore(TWsTestClient& sender, TWsTestClient& reader) {
  sender.SendText(R"({"act":"echo","state":"probe"})");
  EXPECT_EQ(reader.ReadText(kWaitMs).value_or("<none>"),
            R"({"act":"echo","state":"probe","devices":[],"state2":"probe"})");
}

class DispatcherTest : public ::testing::Test {
 protected:
  // Log messages after the connect lines of `clients` clients.
  std::vector<std::string> CommandLog(std::size_t clients, std::size_t n) {
    EXPECT_TRUE(H.WaitForEntries(3 * clients + n));
    std::vector<std::string> all = H.Messages();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(3 * clients),
                                    all.end());
  }
  // Sends each command from a client of its own and expects it to end that connection while a
  // bystander, still served, sees nothing of it; `after` runs after each command. Returns once
  // every one of those connections has logged its disconnect.
  void EachEndsItsConnection(std::span<const std::string> commands,
                             const std::function<void(const std::string&)>& after = {}) {
    auto bystander = H.Connect();
    for (const std::string& command : commands) {
      auto client = H.Connect();
      client->SendText(command);
      EXPECT_TRUE(client->WaitForClose(kWaitMs)) << command;
      ExpectNothingBefore(*bystander, *bystander);
      if (after) {
        after(command);
      }
    }
    ASSERT_TRUE(H.DrainUntil([&] {
      std::size_t disconnects = 0;
      for (const std::string& m : H.Messages()) {
        disconnects += m == "Client disconnected" ? 1 : 0;
      }
      return disconnects == commands.size();
    }));
  }
  TFormHarness H;
};

TEST_F(DispatcherTest, EchoRepliesToEveryClientAndLogsCountAndIndentedCommand) {
  struct Case {
    std::string command;
    std::string reply;
    std::string count;
    std::string logged;  // the command as the indented log entry shows it, before "state2"
  };
  const Case cases[] = {
      {R"({"act":"echo","state":"s1"})",
       R"({"act":"echo","state":"s1","devices":[],"state2":"s1"})", "0",
       R"({"act":"echo","state":"s1","devices":[]})"},
      {R"({"act":"echo","state2":"old","state":"s2","x":{"y":[1,2.50]}})",
       R"({"act":"echo","state2":"s2","state":"s2","x":{"y":[1,2.5]},"devices":[]})", "0",
       R"({"act":"echo","state2":"old","state":"s2","x":{"y":[1,2.5]},"devices":[]})"},
      {R"({"act":"echo","state":7,"devices":[{"ip":"a"},{}]})",
       R"({"act":"echo","state":7,"devices":[{"ip":"a"},{}],"state2":"7"})", "2",
       R"({"act":"echo","state":7,"devices":[{"ip":"a"},{}]})"},
      {R"({act: echo, state: "caf\u00e9 \"q\""})",
       "{\"act\":\"echo\",\"state\":\"caf\xc3\xa9 \\\"q\\\"\",\"devices\":[],"
       "\"state2\":\"caf\xc3\xa9 \\\"q\\\"\"}",
       "0", "{\"act\":\"echo\",\"state\":\"caf\xc3\xa9 \\\"q\\\"\",\"devices\":[]}"},
  };
  auto silent = H.Connect();  // never sends anything
  auto sender = H.Connect();
  std::size_t logged = 0;
  for (const Case& c : cases) {
    sender->SendText(c.command);
    EXPECT_EQ(sender->ReadText(kWaitMs).value_or("<none>"), c.reply) << c.command;
    EXPECT_EQ(silent->ReadText(kWaitMs).value_or("<none>"), c.reply) << c.command;
    const std::vector<std::string> log = CommandLog(2, logged + 2);
    ASSERT_EQ(log.size(), logged + 2);
    EXPECT_EQ(log[logged], c.count);
    const std::unique_ptr<TJsonNode> before = TJsonNode::Parse(U16(c.logged));
    EXPECT_EQ(log[logged + 1], Indented(U8(before->ToJSON(false)))) << c.command;
    logged += 2;
  }
}

TEST_F(DispatcherTest, EchoLogsTheIndentedCommandBeforeState2IsSet) {
  auto client = H.Connect();
  client->SendText(R"({"act":"echo","state":"s1"})");
  ASSERT_TRUE(client->ReadText(kWaitMs));
  const std::vector<std::string> log = CommandLog(1, 2);
  EXPECT_EQ(log[1],
            "{\r\n    \"act\": \"echo\",\r\n    \"state\": \"s1\",\r\n"
            "    \"devices\": [\r\n    ]\r\n}");
}

// No log message grows past kLogMessageLimit however large or deep the command: the indented
// echo of deep nesting (which grows with depth times size), the status line of a huge state and
// a large users document are cut there and say how much was left out; the replies stay whole.
TEST_F(DispatcherTest, LogMessagesAreCutAtTheLimitWithANote) {
  const std::string nested = std::string(300, '[') + std::string(300, ']');
  std::string deep = R"({"act":"echo","state":"deep","devices":[],"x":[)" + nested;
  for (int i = 0; i < 15; ++i) {
    deep += "," + nested;
  }
  deep += "]}";
  const std::string status = Finish(std::string(kLogMessageLimit, 'q'), "ERROR");
  auto cut = [](const std::u16string& whole) {
    return U8(whole.substr(0, kLogMessageLimit)) + "\u2026 [" +
           std::to_string(whole.size() - kLogMessageLimit) + " more characters not shown]";
  };
  auto client = H.Connect();
  client->SendText(deep);
  EXPECT_EQ(client->ReadText(kWaitMs).value_or("<none>"),
            deep.substr(0, deep.size() - 1) + R"(,"state2":"deep"})");
  client->SendText(R"({"act":"none","state":")" + std::string(kLogMessageLimit, 'q') + R"("})");
  // A users document whose line form is longer than the limit.
  TTestTerminal terminal;
  const std::string big = std::string(kLogMessageLimit / 2, 'T');
  client->SendText(R"({"act":"synctodevice","state":"s","devices":[)" +
                   Device(terminal.PortText()) + R"(],"users":[)" +
                   R"({"enrollNumber":"1","fpCount":1,"fpTemplates":[)" +
                   R"({"fingerIndex":0,"templateData":")" + big + R"("}]},)" +
                   R"({"enrollNumber":"2","fpCount":1,"fpTemplates":[)" +
                   R"({"fingerIndex":1,"templateData":")" + big + R"("}]}]})");
  ASSERT_EQ(Read(*client, 2)[1], Finish("s", "*Upload user successful!"));
  client->SendText(R"({"act":"getfromdevice","state":"g","ip":"127.0.0.1","port":")" +
                   terminal.PortText() + R"(","key":"0"})");
  const std::string users = Read(*client, 3)[1];
  const std::vector<std::string> log = CommandLog(1, 7);
  const std::u16string indented = FormatJSON(U16(deep));
  ASSERT_GT(indented.size(), kLogMessageLimit);
  EXPECT_TRUE(log[1] == cut(indented)) << "indented echo of " << log[1].size() << " bytes";
  EXPECT_TRUE(log[2] == cut(U16(status))) << "status line of " << log[2].size() << " bytes";
  const std::u16string lines = TJsonNode::Parse(U16(users))->ToJSON(false);
  ASSERT_GT(lines.size(), kLogMessageLimit);
  EXPECT_TRUE(log[6] == cut(lines)) << "users document of " << log[6].size() << " bytes";
}

TEST_F(DispatcherTest, UnknownActsAreOnlyLogged) {
  auto client = H.Connect();
  const std::vector<std::string> commands = {R"({"act":"ECHO","state":"a"})",
                                             R"({"act":"Echo","state":"b"})", R"({"state":"c"})",
                                             R"({"act":"","state":"d\"e"})", R"({"act":"echo "})"};
  for (const std::string& command : commands) {
    client->SendText(command);
  }
  const std::vector<std::string> log = CommandLog(1, commands.size());
  EXPECT_EQ(log, (std::vector<std::string>{Finish("a", "ERROR"), Finish("b", "ERROR"),
                                           Finish("c", "ERROR"), Finish("d\\\"e", "ERROR"),
                                           Finish("", "ERROR")}));
  ExpectNothingBefore(*client, *client);
}

TEST_F(DispatcherTest, TextsThatAreNoCommandAreDroppedSilentlyAndTheConnectionStays) {
  auto client = H.Connect();
  for (const std::string text :
       {"hello", "   ", "{\"act\":\"echo\"", "[1,2]", "[{\"act\":\"echo\",\"state\":\"x\"}]",
        "{'act':'echo'}", "{\"act\":\"echo\",}"}) {
    client->SendText(text);
  }
  ExpectNothingBefore(*client, *client);
  // Only the probe's two lines follow the connect lines.
  const std::vector<std::string> log = CommandLog(1, 2);
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "0");
}

TEST_F(DispatcherTest, ConnectAndDisconnectLinesAndCounts) {
  auto client = H.Connect();
  ASSERT_TRUE(H.WaitForEntries(3));
  EXPECT_EQ(H.Messages(true),
            (std::vector<std::string>{
                "[] Client Connected", "[SERVER] Client Connected!",
                "[SERVER] Port=" + std::to_string(H.Port()) +
                    " (PeerIP=127.0.0.1 - PeerPort=" + std::to_string(client->LocalPort()) + ")"}));
  ASSERT_TRUE(H.DrainUntil([&] { return !H.Controls.Counts.empty(); }));
  EXPECT_EQ(H.Controls.Counts.back(), u"1");
  // The exact line, prefix and doubled separator included.
  EXPECT_EQ(H.Controls.Entries[1],
            std::u16string(u"[SERVER] - ") + TFormHarness::kNow + u": Client Connected!");
  client->Close();
  ASSERT_TRUE(H.WaitForEntries(4));
  EXPECT_EQ(H.Messages(true)[3], "[] Client disconnected");
  ASSERT_TRUE(H.DrainUntil([&] { return H.Controls.Counts.size() >= 2; }));
  EXPECT_EQ(H.Controls.Counts, (std::vector<std::u16string>{u"1", u"0"}));
}

TEST_F(DispatcherTest, EachConnectionShowsItsLinesAndCountsInOrder) {
  // Clients coming and going together: whatever the interleaving of connections, each event's
  // lines and count reach the window in one piece and in their order, and the label ends with
  // the true count.
  for (const std::size_t clients : {std::size_t{1}, std::size_t{8}}) {
    SCOPED_TRACE(clients);
    H.Controls.Shown.clear();
    std::vector<std::unique_ptr<TWsTestClient>> open;
    for (std::size_t i = 0; i < clients; ++i) {
      open.push_back(H.Connect());
    }
    for (auto& client : open) {
      client->Close();
    }
    const auto lines = [&](std::u16string_view message) {
      return std::count_if(H.Controls.Shown.begin(), H.Controls.Shown.end(),
                           [&](const std::u16string& shown) { return shown.ends_with(message); });
    };
    ASSERT_TRUE(H.DrainUntil([&] {
      return lines(u": Client disconnected") == static_cast<std::ptrdiff_t>(clients) &&
             !H.Controls.Shown.empty() && H.Controls.Shown.back() == u"count 0";
    }));
    const std::vector<std::u16string>& shown = H.Controls.Shown;
    std::size_t connects = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
      if (shown[i].ends_with(u": Client Connected")) {
        ++connects;
        ASSERT_LT(i + 3, shown.size());
        EXPECT_TRUE(shown[i + 1].starts_with(u"count ")) << U8(shown[i + 1]);
        EXPECT_TRUE(shown[i + 2].ends_with(u": Client Connected!")) << U8(shown[i + 2]);
        EXPECT_NE(shown[i + 3].find(u": Port="), std::u16string::npos) << U8(shown[i + 3]);
      } else if (shown[i].ends_with(u": Client disconnected")) {
        ASSERT_LT(i + 1, shown.size());
        EXPECT_TRUE(shown[i + 1].starts_with(u"count ")) << U8(shown[i + 1]);
      }
    }
    EXPECT_EQ(connects, clients);
    if (clients == 1) {
      EXPECT_EQ(shown[1], u"count 1");
      EXPECT_EQ(shown.back(), u"count 0");
    }
  }
}

TEST_F(DispatcherTest, TcpConnectionWithoutHandshakeIsLoggedCountedAndGetsNoBroadcast) {
  TWsTestClient raw("127.0.0.1", H.Port());  // never sends its upgrade request
  ASSERT_TRUE(H.WaitForEntries(3));
  auto client = H.Connect();
  client->SendText(R"({"act":"echo","state":"s"})");
  ASSERT_TRUE(client->ReadText(kWaitMs));
  ASSERT_TRUE(H.DrainUntil([&] { return H.Controls.Counts.size() >= 2; }));
  EXPECT_EQ(H.Controls.Counts[1], u"2");
  // Not a byte reached the connection whose upgrade was never answered...
  EXPECT_TRUE(raw.ReadAvailable(100).empty());
  // ...and its handshake still completes cleanly afterwards.
  const std::string head = raw.Handshake();
  EXPECT_EQ(head.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u) << head;
}

TEST_F(DispatcherTest, SyncToTwoTerminalsReportsStartAndFinishPerTerminalInOrder) {
  TTestTerminal first;
  TTestTerminal second;
  auto sender = H.Connect();
  auto silent = H.Connect();
  const std::string users =
      R"([{"enrollNumber":"7","enabled":true,"name":"Ann","cardNumber":"0","password":"",)"
      R"("privilege":0,"fpTemplates":[{"fingerIndex":6,"flag":1,"templateData":"AAEC"}],)"
      R"("fpCount":1}])";
  sender->SendText(R"({"act":"synctodevice","state":"abc","devices":[)" + Device(first.PortText()) +
                   "," + Device(second.PortText()) + "],\"users\":" + users + "}");
  const std::vector<std::string> expected = {
      Start("abc", "sync in progress to:127.0.0.1"), Finish("abc", "*Upload user successful!"),
      Start("abc", "sync in progress to:127.0.0.1"), Finish("abc", "*Upload user successful!")};
  EXPECT_EQ(Read(*sender, 4), expected);
  EXPECT_EQ(Read(*silent, 4), expected);
  EXPECT_EQ(first.UserIds(), std::vector<std::string>{"7"});
  EXPECT_EQ(second.UserIds(), std::vector<std::string>{"7"});
  EXPECT_EQ(second.TemplateCount(), 1u);
  EXPECT_EQ(CommandLog(2, 4), (std::vector<std::string>{
                                  "sync in progress to:127.0.0.1", "*Upload user successful!",
                                  "sync in progress to:127.0.0.1", "*Upload user successful!"}));
}

// AwaitCommands returns only once the device work handed to the command thread is done: the
// terminal answers nothing more after it, and the finish status is the next message.
TEST_F(DispatcherTest, AwaitCommandsReturnsOnceTheCommandThreadsWorkIsDone) {
  TTestTerminal slow({.Delay = std::chrono::milliseconds(40)});
  auto sender = H.Connect();
  sender->SendText(
      R"({"act":"synctodevice","state":"w","devices":[)" + Device(slow.PortText()) +
      R"(],"users":[{"enrollNumber":"7","enabled":true,"name":"Ann",)"
      R"("cardNumber":"0","password":"","privilege":0,"fpTemplates":[],"fpCount":0}]})");
  ASSERT_EQ(Read(*sender, 1),
            std::vector<std::string>{Start("w", "sync in progress to:127.0.0.1")});
  H.Form->AwaitCommands();
  const long answered = slow.RequestCount();
  EXPECT_EQ(Read(*sender, 1), std::vector<std::string>{Finish("w", "*Upload user successful!")});
  EXPECT_EQ(slow.RequestCount(), answered);
  EXPECT_GT(answered, 2);
}

TEST_F(DispatcherTest, GetFromDeviceOnEmptyAndFilledTerminals) {
  TTestTerminal empty;
  TTestTerminal filled({.Demo = true});
  auto client = H.Connect();
  client->SendText(R"({"act":"getfromdevice","state":"g","ip":"127.0.0.1","port":")" +
                   empty.PortText() + R"(","key":"0","devices":"ignored"})");
  EXPECT_EQ(Read(*client, 3),
            (std::vector<std::string>{Start("g", "Fetching data from:127.0.0.1"), "{}",
                                      Finish("g", "Fetch completed: 0 total users found")}));
  const std::vector<std::string> log = CommandLog(1, 2);
  EXPECT_EQ(log, (std::vector<std::string>{"Fetch in progress from:127.0.0.1",
                                           "{\n\t\"users\": []\n}\n"}));

  client->SendText(R"({"act":"getfromdevice","state":"g2","ip":"127.0.0.1","port":)" +
                   filled.PortText() + R"(,"key":0})");
  const std::vector<std::string> replies = Read(*client, 3);
  EXPECT_EQ(replies[0], Start("g2", "Fetching data from:127.0.0.1"));
  const std::unique_ptr<TJsonNode> document = TJsonNode::Parse(U16(replies[1]));
  auto* object = dynamic_cast<TJsonObject*>(document.get());
  ASSERT_NE(object, nullptr) << replies[1];
  TJsonArray* users = object->GetArray(u"users");
  ASSERT_NE(users, nullptr);
  EXPECT_EQ(static_cast<std::size_t>(users->Count()), filled.UserIds().size());
  EXPECT_GT(users->Count(), 0);
  EXPECT_EQ(replies[2], Finish("g2", "Fetch completed: " + std::to_string(users->Count()) +
                                         " total users found"));
  // The logged document is the line form of what was sent.
  const std::vector<std::string> after = CommandLog(1, 4);
  EXPECT_EQ(after[3], U8(object->ToJSON(false)));
}

TEST_F(DispatcherTest, UnreachableTerminalGivesTheJobsFailureText) {
  const std::string port = std::to_string(RefusedPort());
  auto client = H.Connect();
  client->SendText(R"({"act":"getfromdevice","state":"u","ip":"127.0.0.1","port":")" + port +
                   R"(","key":"0"})");
  EXPECT_EQ(Read(*client, 2),
            (std::vector<std::string>{
                Start("u", "Fetching data from:127.0.0.1"),
                Finish("u", "sync from device:127.0.0.1 failed! Can not connect.")}));
  EXPECT_EQ(CommandLog(1, 2),
            (std::vector<std::string>{"Fetch in progress from:127.0.0.1",
                                      "sync from device:127.0.0.1 failed! Can not connect."}));
  struct Case {
    std::string act, startRemark, finishRemark;
  };
  const Case cases[] = {
      {"synctodevice", "sync in progress to:", "sync to device:127.0.0.1 failed! Can not connect."},
      {"deleteenrolleddata", "Delete in progress at:",
       "Delete completed: delete from device:127.0.0.1 failed! Can not connect."},
      {"deletefptemplate", "Delete fingerprint in progress at:",
       "Delete fingerprint completed: delete finger from device:127.0.0.1 failed! Can not "
       "connect."},
  };
  for (const Case& c : cases) {
    client->SendText(R"({"act":")" + c.act + R"(","state":"u","devices":[)" + Device(port) +
                     R"(],"users":[]})");
    EXPECT_EQ(Read(*client, 2), (std::vector<std::string>{Start("u", c.startRemark + "127.0.0.1"),
                                                          Finish("u", c.finishRemark)}));
  }
}

TEST_F(DispatcherTest, DeleteCommandsReportAFailedEntryWhateverFollowsIt) {
  TTestTerminal terminal({.Demo = true});
  const std::vector<std::pair<std::string, int>> templates = terminal.Templates();
  ASSERT_GE(templates.size(), 2u);
  const auto& [firstUser, firstFinger] = templates[0];
  const auto& [lastUser, lastFinger] = templates[1];
  auto client = H.Connect();
  // The first entry names a slot that holds nothing: its failure is reported although the last
  // entry is deleted.
  client->SendText(R"({"act":"deletefptemplate","state":"f","devices":[)" +
                   Device(terminal.PortText()) + R"(],"users":[{"enrollNumber":"no-such",)" +
                   R"("fingerIndex":"1"},{"enrollNumber":")" + lastUser + R"(","fingerIndex":)" +
                   std::to_string(lastFinger) + "}]}");
  EXPECT_EQ(Read(*client, 2),
            (std::vector<std::string>{
                Start("f", "Delete fingerprint in progress at:127.0.0.1"),
                Finish("f", "Delete fingerprint completed: *Operation failed,ErrorCode=-1")}));
  EXPECT_EQ(terminal.Templates().size(), templates.size() - 1);
  client->SendText(R"({"act":"deleteenrolleddata","state":"d","devices":[)" +
                   Device(terminal.PortText()) + R"(],"users":[{"enrollNumber":")" + firstUser +
                   R"(","deleteOption":"0x0C"}]})");
  const std::vector<std::string> replies = Read(*client, 2);
  EXPECT_EQ(replies[0], Start("d", "Delete in progress at:127.0.0.1"));
  EXPECT_EQ(replies[1].rfind(Finish("d", "Delete completed: ").substr(0, 60), 0), 0u) << replies[1];
  const std::vector<std::string> log = CommandLog(1, 4);
  EXPECT_EQ(log[0], "delete fingerprint in progress at:127.0.0.1");
  EXPECT_EQ(log[2], "delete in progress at:127.0.0.1");
  EXPECT_EQ("Delete completed: " + log[3],
            replies[1].substr(replies[1].find("Delete completed: "),
                              replies[1].size() - 2 - replies[1].find("Delete completed: ")));
  (void)firstFinger;
}

TEST_F(DispatcherTest, EmptyDeviceListSendsAndLogsNothing) {
  auto client = H.Connect();
  client->SendText(R"({"act":"synctodevice","state":"e","devices":[],"users":[]})");
  ExpectNothingBefore(*client, *client);
  EXPECT_EQ(CommandLog(1, 2).size(), 2u);
}

TEST_F(DispatcherTest, InvalidCommandEndsOnlyThatConnection) {
  const std::string commands[] = {
      // A port text that does not convert is refused before its start status.
      R"({"act":"synctodevice","state":"p","devices":[)" + Device("abc") + R"(],"users":[]})",
      R"({"act":"synctodevice","state":"p","users":[]})",
      R"({"act":"deleteenrolleddata","state":"p","devices":{"ip":"x"}})",
      R"({"act":"deletefptemplate","state":"p","devices":[null]})",
      R"({"act":"synctodevice","state":"p","devices":["127.0.0.1"]})",
      R"({"act":"echo","state":"p","devices":5})",
      R"({"act":["echo"],"state":"p"})",
      R"({"act":"echo","state":{"a":1}})",
      R"({"act":"echo","state":"p","devices":null})",
      R"({"act":null,"state":"p"})",
      R"({"act":"synctodevice","state":"p","devices":[],"users":{"enrollNumber":"1"}})",
      R"({"act":"getfromdevice","state":"p","ip":["127.0.0.1"]})",
  };
  EachEndsItsConnection(commands);
  // Nothing but the connect and disconnect lines and the probes was logged: a failure that
  // escapes an act leaves no line of its own.
  const std::string probe = Indented(U8(
      TJsonNode::Parse(u"{\"act\":\"echo\",\"state\":\"probe\",\"devices\":[]}")->ToJSON(false)));
  for (const std::string& m : H.Messages()) {
    const bool known = m == "Client Connected" || m == "Client Connected!" ||
                       m.rfind("Port=", 0) == 0 || m == "Client disconnected" || m == "0" ||
                       m == probe;
    EXPECT_TRUE(known) << m;
  }
}

// An invalid entry anywhere in a device command (the third user, the second terminal, the last
// deletion entry) is found before anything happens: no terminal is touched, no status is sent,
// nothing is logged, and the command still ends its connection.
TEST_F(DispatcherTest, InvalidEntryAnywhereInADeviceCommandDoesNothing) {
  TTestTerminal empty;
  TTestTerminal filled({.Demo = true});
  const std::vector<std::string> users = filled.UserIds();
  const std::vector<std::pair<std::string, int>> templates = filled.Templates();
  ASSERT_FALSE(templates.empty());
  const std::string user = templates[0].first;
  const std::string finger = std::to_string(templates[0].second);
  const std::string good = R"({"enrollNumber":"1","name":"A"},{"enrollNumber":"2","name":"B"},)";
  const std::string toEmpty = Device(empty.PortText());
  const std::string toFilled = Device(filled.PortText());
  auto sync = [](const std::string& devices, const std::string& records) {
    return R"({"act":"synctodevice","state":"s","devices":[)" + devices + R"(],"users":[)" +
           records + "]}";
  };
  auto deletion = [&](const std::string& act, const std::string& entries) {
    return R"({"act":")" + act + R"(","state":"d","devices":[)" + toFilled + R"(],"users":[)" +
           entries + "]}";
  };
  auto fetch = [](const std::string& port, const std::string& key) {
    return R"({"act":"getfromdevice","state":"g","ip":"127.0.0.1","port":")" + port +
           R"(","key":")" + key + R"("})";
  };
  const std::string commands[] = {
      sync(toEmpty + "," + toFilled, good + R"({"enrollNumber":"3","privilege":"abc"})"),
      sync(toEmpty, good + R"({"enrollNumber":"3","fpCount":2,"fpTemplates":[{"fingerIndex":1}]})"),
      sync(toEmpty, good + R"({"enrollNumber":"3","fpCount":1,"fpTemplates":["AAEC"]})"),
      sync(toEmpty, good + "null"),
      sync(toEmpty + "," + Device("abc"), good + R"({"enrollNumber":"3"})"),
      sync(toEmpty + R"(,{"ip":"127.0.0.1","port":")" + empty.PortText() + R"(","key":"k"})",
           good + R"({"enrollNumber":"3"})"),
      sync(toEmpty + ",null", good + R"({"enrollNumber":"3"})"),
      deletion("deleteenrolleddata", R"({"enrollNumber":")" + user +
                                         R"(","deleteOption":12},{"enrollNumber":")" + user +
                                         R"(","deleteOption":"abc"})"),
      deletion("deletefptemplate", R"({"enrollNumber":")" + user + R"(","fingerIndex":)" + finger +
                                       R"(},{"enrollNumber":")" + user + R"("})"),
      deletion("deletefptemplate",
               R"({"enrollNumber":")" + user + R"(","fingerIndex":)" + finger + "},[]"),
      fetch("abc", "0"),
      fetch(filled.PortText(), "k"),
  };
  EachEndsItsConnection(commands, [&](const std::string& command) {
    EXPECT_TRUE(empty.UserIds().empty()) << command;
    EXPECT_EQ(filled.UserIds(), users) << command;
    EXPECT_EQ(filled.Templates(), templates) << command;
  });
  for (const std::string& m : H.Messages()) {
    EXPECT_EQ(m.find("progress"), std::string::npos) << m;
  }
}

TEST_F(DispatcherTest, StatusTextsAreEscapedIntoValidJson) {
  const std::string port = std::to_string(RefusedPort());
  auto client = H.Connect();
  // A state crafted to close its string and add a member for every other client.
  client->SendText(R"({"act":"synctodevice","state":"x\", \"status\":\"finish","devices":[)" +
                   Device(port, "a\\\"b") + R"(]})");
  const std::vector<std::string> replies = Read(*client, 2);
  EXPECT_EQ(replies[0], Start("x\\\", \\\"status\\\":\\\"finish", "sync in progress to:a\\\"b"));
  for (const std::string& reply : replies) {
    const std::unique_ptr<TJsonNode> parsed = TJsonNode::Parse(U16(reply));
    auto* object = dynamic_cast<TJsonObject*>(parsed.get());
    ASSERT_NE(object, nullptr) << reply;
    EXPECT_EQ(object->GetString(u"state"), u"x\", \"status\":\"finish");
  }
  EXPECT_EQ(replies[1], Finish("x\\\", \\\"status\\\":\\\"finish",
                               "sync to device:a\\\"b failed! Can not connect."));
}

TEST_F(DispatcherTest, ChangeRestartsOnLoopbackAndLeavesTheListenerStoppedOnBadPorts) {
  auto client = H.Connect();
  struct Case {
    std::u16string port;
    bool accepted;
  };
  const Case cases[] = {{u"abc", false},   {u"65536", false}, {u"-1", false},
                        {u"9000 ", false}, {u" 0", true},     {u"$0", true}};
  for (const Case& c : cases) {
    if (c.accepted) {
      EXPECT_NO_THROW(H.Form->start(c.port));
      EXPECT_TRUE(H.Form->Server()->Active());
      EXPECT_NE(H.Form->Server()->Bindings[0]->BoundPort, 0);
    } else {
      EXPECT_ANY_THROW(H.Form->start(c.port));
      EXPECT_FALSE(H.Form->Server()->Active());
    }
    EXPECT_EQ(H.Form->Server()->Bindings.Count(), 1u);
    EXPECT_EQ(H.Form->Server()->Bindings[0]->IP, u"127.0.0.1");
  }
  // The first "Change" closed the client connected before, and that was logged.
  EXPECT_TRUE(client->WaitForClose(kWaitMs));
  ASSERT_TRUE(H.DrainUntil([&] { return H.Messages().size() >= 4; }));
  EXPECT_EQ(H.Messages()[3], "Client disconnected");
  try {
    H.Form->start(u"abc");
    ADD_FAILURE() << "no error";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
  try {
    H.Form->start(u"65536");
    ADD_FAILURE() << "no error";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Range check error");
  }
}

TEST_F(DispatcherTest, LogLineIsTimedWhenTheWindowThreadAddsIt) {
  std::atomic<int> seconds{9};
  TMainThreadQueue window;
  TRecordingControls controls;
  const auto base = LocalTime(2024, 3, 5, 14, 7, 0);
  TServerForm form(
      window, {}, [&] { return base + std::chrono::seconds(seconds.load()); }, u".");
  form.MessagesLog = &controls;
  std::thread([&] { form.log(u"", u"queued at :09"); }).join();
  EXPECT_TRUE(controls.Entries.empty());
  seconds = 42;
  window.RunPending();
  EXPECT_EQ(controls.Entries,
            std::vector<std::u16string>{u"[] - 2024-03-05 14.07.42: : queued at :09"});
  // The control is read when the line is added, not when it is queued.
  TRecordingControls other;
  std::thread([&] { form.log(u"S", u"x"); }).join();
  form.MessagesLog = &other;
  window.RunPending();
  EXPECT_EQ(other.Entries.size(), 1u);
  EXPECT_EQ(controls.Entries.size(), 1u);
}

// Lines of one second share its timestamp; every other second, including one the clock steps
// back to, gets its own.
TEST_F(DispatcherTest, EachLogLineCarriesTheSecondOfItsOwnClockReading) {
  struct Case {
    int millis;  // after 14:07:09
    const char16_t* stamp;
  };
  const Case cases[] = {
      {0, u"14:07:09"},    {999, u"14:07:09"}, {1000, u"14:07:10"},
      {1500, u"14:07:10"}, {500, u"14:07:09"}, {61000, u"14:08:10"},
  };
  std::atomic<int> millis{0};
  TMainThreadQueue window;
  TRecordingControls controls;
  const auto base = LocalTime(2024, 3, 5, 14, 7, 9);
  TServerForm form(
      window, {}, [&] { return base + std::chrono::milliseconds(millis.load()); }, u":");
  form.MessagesLog = &controls;
  for (const Case& c : cases) {
    millis = c.millis;
    form.log(u"", u"m");
    ASSERT_FALSE(controls.Entries.empty());
    EXPECT_EQ(controls.Entries.back(), u"[] - 2024-03-05 " + std::u16string(c.stamp) + u": : m")
        << c.millis << " ms";
  }
}

}  // namespace
}  // namespace vantorix::test
