// vantorixd driven by a client we did not write: Node's built-in WebSocket, which sends its
// upgrade request with lower-case header names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/support/Programs.h"

namespace vantorix::test {
namespace {

constexpr std::chrono::milliseconds kWait{20000};

// Connects to argv[1], sends argv[2] once open, and prints one line per event: "open",
// "message <data>", "close <code> <reason as JSON>". It closes normally after the first message
// unless argv[3] is "wait", and ends when the connection has closed.
constexpr const char* kClientScript = R"js(
const [url, command, mode] = process.argv.slice(1);
const say = (line) => process.stdout.write(line + "\n");
const ws = new WebSocket(url);
ws.onopen = () => { say("open"); ws.send(command); };
ws.onmessage = (e) => { say("message " + e.data); if (mode !== "wait") ws.close(1000); };
ws.onerror = () => say("error");
ws.onclose = (e) => { say("close " + e.code + " " + JSON.stringify(e.reason)); process.exit(0); };
setTimeout(() => { say("timeout"); process.exit(1); }, 15000);
)js";

std::optional<std::string> FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos)
      end = dirs.size();
    const std::string candidate =
        (end > start ? dirs.substr(start, end - start) : std::string(".")) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

// All of a child's standard output lines, up to its end.
std::vector<std::string> AllLines(TChildProcess& child) {
  std::vector<std::string> lines;
  while (std::optional<std::string> line = child.ReadLine(kWait))
    lines.push_back(*line);
  return lines;
}

// The node command that has the global WebSocket: plain node where it is built in (Node 22 and
// later), else with --experimental-websocket (Node 20). Empty, with the reason, when neither.
struct TNode {
  std::vector<std::string> Command;
  std::string Missing;
};

TNode FindNodeWithWebSocket() {
  const std::optional<std::string> node = FindOnPath("node");
  if (!node)
    return {{}, "no node on PATH (./scripts/install-deps installs nodejs)"};
  for (std::vector<std::string> command :
       {std::vector<std::string>{*node},
        std::vector<std::string>{*node, "--experimental-websocket"}}) {
    std::vector<std::string> probe = command;
    probe.insert(probe.end(), {"-e", "process.stdout.write(typeof WebSocket + '\\n')"});
    TChildProcess child(probe, /*mergeStderr=*/true);
    if (AllLines(child) == std::vector<std::string>{"function"})
      return {command, {}};
  }
  return {{}, *node + " has no built-in WebSocket, not even with --experimental-websocket"};
}

TEST(E2eNodeClientTest, NodesBuiltInWebSocketEchoesAndLearnsWhyAnInvalidCommandEnds) {
  const TNode node = FindNodeWithWebSocket();
  if (node.Command.empty())
    GTEST_SKIP() << node.Missing;
  TDaemonProcess daemon;
  const std::string url = "ws://127.0.0.1:" + std::to_string(daemon.Port());
  struct {
    const char* name;
    std::string command;
    const char* mode;
    std::vector<std::string> expected;  // the client's lines, with message lines left out
    std::vector<std::string> messages;  // the message lines expected; not checked when empty
  } const cases[] = {
      {"echo, then a normal close",
       R"({"act":"echo","state":"node"})",
       "close",
       {"open", R"(close 1000 "")"},
       {R"(message {"act":"echo","state":"node","devices":[],"state2":"node"})"}},
      {"a port that does not convert ends the connection with 1007 and the reason",
       R"({"act":"synctodevice","state":"bad","devices":[{"ip":"127.0.0.1","port":"forty",)"
       R"("key":"0"}],"users":[]})",
       "wait",
       {"open", R"(close 1007 "'forty' is not a valid integer value")"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = node.Command;
    argv.insert(argv.end(), {"-e", kClientScript, url, c.command, c.mode});
    TChildProcess client(argv, /*mergeStderr=*/true);
    std::vector<std::string> lines, messages;
    for (std::string& line : AllLines(client))
      (line.rfind("message ", 0) == 0 ? messages : lines).push_back(std::move(line));
    EXPECT_EQ(lines, c.expected);
    if (!c.messages.empty()) {
      EXPECT_EQ(messages, c.messages);
    }
    EXPECT_EQ(client.WaitExit(kWait), std::optional<int>(0));
  }
}

}  // namespace
}  // namespace vantorix::test
