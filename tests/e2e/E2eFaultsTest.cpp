// vantorixd and vantorix-terminal as processes where things go wrong: a terminal that cannot
// save, a command with an invalid entry deep inside, an echo whose log would be enormous, and a
// standard output that nobody reads.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/StopRequest.h"
#include "tests/e2e/support/Messages.h"
#include "tests/e2e/support/Programs.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {
namespace {

using namespace std::chrono_literals;

constexpr int kWaitMs = 10000;

std::string Devices(const std::string& port) {
  return R"("devices":[)" + Device(port) + "]";
}

std::unique_ptr<TWsTestClient> Connect(TDaemonProcess& daemon) {
  auto client = std::make_unique<TWsTestClient>("127.0.0.1", daemon.Port());
  EXPECT_TRUE(client->Open());
  return client;
}

std::filesystem::path TempDir(const std::string& name) {
  const auto dir = std::filesystem::path(testing::TempDir()) /
                   ("vte2e-" + std::to_string(CurrentProcessId())) / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

TEST(E2eFaultsTest, SyncWhoseThirdUserIsInvalidWritesNothingAndSendsNoStatus) {
  TDaemonProcess daemon;
  TTerminalProcess terminal;
  auto bystander = Connect(daemon);
  auto client = Connect(daemon);
  client->SendText(R"({"act":"synctodevice","state":"s3",)" + Devices(terminal.PortText()) +
                   R"(,"users":[{"enrollNumber":"1","name":"A"},{"enrollNumber":"2","name":"B"},)"
                   R"({"enrollNumber":"3","name":"C","privilege":"abc"}]})");
  EXPECT_TRUE(client->WaitForClose(kWaitMs));
  // The first thing the bystander hears of is its own request, and the terminal is empty.
  bystander->SendText(GetFrom("after", terminal.PortText()));
  EXPECT_EQ(Read(*bystander, 3),
            (std::vector<std::string>{Start("after", "Fetching data from:127.0.0.1"), "{}",
                                      Finish("after", "Fetch completed: 0 total users found")}));
}

TEST(E2eFaultsTest, TerminalThatCannotSaveNeitherStartsNorReportsSuccess) {
  const std::filesystem::path dir = TempDir("store");
  {
    TChildProcess refused({VANTORIX_TERMINAL_PATH, "--listen", "127.0.0.1:0", "--store",
                           (dir / "no-such-dir" / "store.bin").string()},
                          /*mergeStderr=*/true);
    const std::string line = refused.ReadLine(10s).value_or("<none>");
    EXPECT_NE(line.find("cannot be written"), std::string::npos) << line;
    EXPECT_EQ(refused.WaitExit(10s), std::optional<int>(1));
  }
  const std::string store = (dir / "store.bin").string();
  TDaemonProcess daemon;
  // Started, then every save fails, as on a full disk.
  TTerminalProcess terminal({"--store", store, "--fail-saves"});
  auto client = Connect(daemon);
  client->SendText(R"({"act":"synctodevice","state":"s",)" + Devices(terminal.PortText()) +
                   R"(,"users":[{"enrollNumber":"7","name":"G"}]})");
  EXPECT_EQ(Read(*client, 2)[1], Finish("s", "*Upload save error,ErrorCode=!-8"));
  client->SendText(R"({"act":"deleteenrolleddata","state":"d",)" + Devices(terminal.PortText()) +
                   R"(,"users":[{"enrollNumber":"7","deleteOption":"12"}]})");
  EXPECT_EQ(Read(*client, 2)[1], Finish("d", "Delete completed: *Operation failed,ErrorCode=-8"));
}

// An echo of deep nesting would be logged as hundreds of megabytes; the entry stops at the
// limit with a note of what was left out, and the reply is whole.
TEST(E2eFaultsTest, DeepEchoIsLoggedCutShortWithANote) {
  TDaemonProcess daemon;
  const std::string nested = std::string(500, '[') + std::string(500, ']');
  std::string command = R"({"act":"echo","state":"deep","x":[)" + nested;
  while (command.size() < 100000) {
    command += "," + nested;
  }
  command += "]}";
  auto client = Connect(daemon);
  client->SendText(command);
  const std::string reply = client->ReadText(kWaitMs).value_or("<none>");
  EXPECT_EQ(reply.size(), command.size() + std::string(R"(,"devices":[],"state2":"deep")").size());
  const std::vector<std::string> lines = daemon.LinesThrough("more characters not shown]");
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find(" more characters not shown]"), std::string::npos);
  std::size_t logged = 0;
  for (const std::string& line : lines) {
    logged += line.size() + 1;
  }
  EXPECT_LT(logged, std::size_t{11} << 17) << "the log holds about 1 MiB of the entry";
}

// Echoes of 200 KB each: about 12 MB of log, more than vantorixd keeps for an output that is
// not being read.
void FloodWithEchoes(TDaemonProcess& daemon) {
  auto client = Connect(daemon);
  const std::string command =
      R"({"act":"echo","state":"f","pad":")" + std::string(200000, 'p') + R"("})";
  for (int i = 0; i < 60; ++i) {
    client->SendText(command);
    ASSERT_TRUE(client->ReadText(kWaitMs)) << "echo " << i;
  }
}

// Nobody reads standard output: the server still answers, and a stop request ends it within
// about a second instead of waiting for a reader that never comes.
TEST(E2eFaultsTest, AStopRequestEndsTheServerPromptlyWhileNobodyReadsItsOutput) {
  TDaemonProcess daemon;
  FloodWithEchoes(daemon);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(daemon.Process().RequestStop());
  const std::optional<int> status = daemon.Process().WaitExit(10s, /*readOutput=*/false);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(status, std::optional<int>(0));
  EXPECT_LT(took, 2500ms) << "stopping took "
                          << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                          << " ms";
}

// Once the output is read again, it says how many log entries were dropped meanwhile.
TEST(E2eFaultsTest, OutputThatResumesSaysHowManyEntriesWereDropped) {
  TDaemonProcess daemon;
  FloodWithEchoes(daemon);
  const std::vector<std::string> lines = daemon.LinesThrough("log entries dropped");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("[", 0), 0u) << lines.back();
  EXPECT_NE(lines.back().find(" log entries dropped: standard output was not being read]"),
            std::string::npos)
      << lines.back();
}

}  // namespace
}  // namespace vantorix::test
