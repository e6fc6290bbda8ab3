// Tests of the vantorix-terminal program: started on port 0, it announces its port, enforces
// its password, applies fault arguments and keeps its store across a restart.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/StopRequest.h"
#include "terminal/TerminalServer.h"
#include "tests/e2e/support/ChildProcess.h"
#include "tests/terminal/LinkClient.h"

namespace vantorix {
namespace {

using TClock = std::chrono::steady_clock;
constexpr std::chrono::seconds kWait{10};

std::vector<std::string> Command(std::vector<std::string> args) {
  args.insert(args.begin(), VANTORIX_TERMINAL_PROGRAM);
  return args;
}

// A running vantorix-terminal; asked to stop and awaited on Stop or destruction.
class TProgram {
 public:
  // With mergeStderr, standard error goes to the same pipe as standard output.
  explicit TProgram(const std::vector<std::string>& args, bool mergeStderr = false)
      : fProcess(Command(args), mergeStderr) {}
  ~TProgram() { Stop(); }

  // The first line the program prints; empty when it prints none.
  std::string FirstLine() { return fProcess.ReadLine(kWait).value_or(""); }
  // Exit status after a stop request (which a program that ended by itself never needs), or -1.
  int Stop() {
    fProcess.RequestStop();
    return fProcess.WaitExit(kWait).value_or(-1);
  }

 private:
  test::TChildProcess fProcess;
};

// A path's text in UTF-8, as the programs take it on every system.
std::string Utf8Path(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::uint16_t PortOf(const std::string& line) {
  const std::string prefix = "listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) != 0) {
    ADD_FAILURE() << "unexpected first line: " << line;
    return 0;
  }
  return static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));
}

// Sessions that break the protocol are closed without an answer.
TEST(TerminalServerTest, ProtocolViolationsCloseTheSession) {
  TTerminalOptions options;
  options.port = 0;
  TTerminalServer server(options);
  server.Start();
  TLinkRequest hello;
  hello.op = TLinkOp::kHello;
  TLinkRequest refresh;
  refresh.op = TLinkOp::kRefresh;
  std::vector<std::uint8_t> garbage = {3, 0, 0, 0, 0x42, 1, 2};
  {
    TLinkClient client(server.Port());
    EXPECT_TRUE(client.ClosedAfter(EncodeRequest(refresh))) << "request before hello";
  }
  {
    TLinkClient client(server.Port());
    ASSERT_TRUE(client.Call(hello).value().ok);
    EXPECT_TRUE(client.ClosedAfter(EncodeRequest(hello))) << "second hello";
  }
  {
    TLinkClient client(server.Port());
    ASSERT_TRUE(client.Call(hello).value().ok);
    EXPECT_TRUE(client.ClosedAfter(garbage)) << "malformed request";
  }
  {
    TLinkClient client(server.Port());
    ASSERT_TRUE(client.Call(hello).value().ok);
    ASSERT_TRUE(client.Call(TLinkOp::kEnableDevice, 0).value().ok);
  }
  EXPECT_FALSE(server.IsEnabled()) << "the disabled state outlives the session";
  EXPECT_EQ(server.RequestCount(), 4) << "only answered requests count";
}

TEST(TerminalProgramTest, AnnouncesPortChecksPasswordAndKeepsStoreAcrossRestart) {
  auto dir =
      std::filesystem::path(testing::TempDir()) / ("vtprog-" + std::to_string(CurrentProcessId()));
  std::filesystem::create_directories(dir);
  // A name outside ASCII reaches the program and its file whole, on Windows too (arguments and
  // file names in UTF-16 there).
  const std::string store = Utf8Path(dir) + "/st\xC3\xB6re \xE2\x82\xAC.bin";
  const std::filesystem::path storePath(std::u8string(store.begin(), store.end()));
  std::filesystem::remove(storePath);
  std::size_t demoUsers = 0;
  {
    TProgram program({"--listen", "127.0.0.1:0", "--key", "$7", "--store", store, "--demo",
                      "--refuse", "99:-33"});
    std::uint16_t port = PortOf(program.FirstLine());
    ASSERT_NE(port, 0);
    TLinkClient wrong(port);
    auto refused = wrong.Call(TLinkOp::kHello, 8);
    ASSERT_TRUE(refused.has_value());
    EXPECT_FALSE(refused->ok);
    EXPECT_EQ(refused->errorCode, kLinkErrPassword);

    TLinkClient client(port);
    ASSERT_TRUE(client.Call(TLinkOp::kHello, 7).value().ok);
    auto users = client.Call(TLinkOp::kReadAllUsers);
    ASSERT_TRUE(users.has_value());
    demoUsers = users->users.size();
    EXPECT_GT(demoUsers, 0u);
    TLinkRequest set;
    set.op = TLinkOp::kSetUser;
    set.user.enrollNumber = u"99";
    auto answer = client.Call(set);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->errorCode, -33);
    set.user.enrollNumber = u"100";
    ASSERT_TRUE(client.Call(set).value().ok);
    EXPECT_EQ(program.Stop(), 0);
  }
  EXPECT_TRUE(std::filesystem::exists(storePath));
  TProgram again({"--listen", "127.0.0.1:0", "--key", "7", "--store", store});
  TLinkClient client(PortOf(again.FirstLine()));
  ASSERT_TRUE(client.Call(TLinkOp::kHello, 7).value().ok);
  auto users = client.Call(TLinkOp::kReadAllUsers);
  ASSERT_TRUE(users.has_value());
  EXPECT_EQ(users->users.size(), demoUsers + 1) << "demo users and user 100 survive the restart";
  EXPECT_EQ(users->users.back().enrollNumber, u"100");
}

TEST(TerminalProgramTest, BadArgumentsAndCorruptStoreRefuseToStart) {
  auto dir =
      std::filesystem::path(testing::TempDir()) / ("vtprog-" + std::to_string(CurrentProcessId()));
  std::filesystem::create_directories(dir);
  std::string corrupt = (dir / "corrupt.bin").string();
  FILE* file = fopen(corrupt.c_str(), "w");
  ASSERT_NE(file, nullptr);
  fputs("VTSTORE1 broken", file);
  fclose(file);
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--listen", "127.0.0.1"},
                                             {"--key", "12abc"},
                                             {"--bogus"},
                                             {"--listen", "127.0.0.1:0", "--store", corrupt}}) {
    TProgram program(args);
    EXPECT_EQ(program.FirstLine(), "") << args[0];
    EXPECT_NE(program.Stop(), 0);
  }
}

// A store that cannot be written would make the terminal acknowledge changes it then loses, so
// the program does not start on one; an existing store stays as it was.
TEST(TerminalProgramTest, StoreThatCannotBeWrittenRefusesToStart) {
  auto dir =
      std::filesystem::path(testing::TempDir()) / ("vtprog-" + std::to_string(CurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::string kept = (dir / "kept.bin").string();
  TTerminalStore original;
  original.Put(TLinkUser{u"1", u"one", u"", 0, true, u""});
  original.Save(kept);
  // Directories in the temporary file's place make every save fail, whoever runs the test.
  std::filesystem::create_directories(kept + ".tmp");
  const std::string fresh = (dir / "fresh.bin").string();
  std::filesystem::remove(fresh);
  std::filesystem::create_directories(fresh + ".tmp");
  const std::string nowhere = (dir / "no-such-dir" / "store.bin").string();
  for (const std::string& store : {kept, fresh, nowhere}) {
    SCOPED_TRACE(store);
    TProgram program({"--listen", "127.0.0.1:0", "--store", store, "--demo"}, true);
    const std::string line = program.FirstLine();
    EXPECT_EQ(line.rfind("vantorix-terminal: the store " + store + " cannot be written (", 0), 0u)
        << line;
    EXPECT_EQ(program.Stop(), 1);
  }
  EXPECT_EQ(TTerminalStore::Load(kept), original);
  EXPECT_FALSE(std::filesystem::exists(fresh));
  std::filesystem::remove(kept + ".tmp");
  std::filesystem::remove(fresh + ".tmp");
}

}  // namespace
}  // namespace vantorix
