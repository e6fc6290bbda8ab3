// The real desktop program on an X server of its own (Xvfb): it starts on port 8989, shows a
// client's commands, is grabbed as a PNG under the build folder for a person to look at, and
// ends with status 0 when asked to stop.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/support/ChildProcess.h"
#include "tests/e2e/support/Programs.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {
namespace {

using namespace std::chrono_literals;

// True when a listener could take port 8989 on every IPv4 address now.
bool PortFree(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  const bool free =
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, 1) == 0;
  close(fd);
  return free;
}

// Width and height from a PNG file's header, or nothing when it is no PNG.
std::optional<std::array<std::uint32_t, 2>> PngSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::array<unsigned char, 24> head{};
  if (!file.read(reinterpret_cast<char*>(head.data()), head.size()) ||
      std::string(head.begin() + 1, head.begin() + 4) != "PNG") {
    return std::nullopt;
  }
  auto word = [&](std::size_t at) {
    return std::uint32_t{head[at]} << 24 | std::uint32_t{head[at + 1]} << 16 |
           std::uint32_t{head[at + 2]} << 8 | std::uint32_t{head[at + 3]};
  };
  return std::array<std::uint32_t, 2>{word(16), word(20)};
}

// Grabs the window named Vantorix from the display into path; true when import succeeded.
bool Grab(const std::string& display, const std::string& path) {
  TChildProcess import({IMPORT_PATH, "-display", display, "-window", "Vantorix", path}, true);
  return import.WaitExit(kProcessWait) == std::optional<int>(0);
}

TEST(ScreenshotTest, TheRealProgramShowsItsWindowAndStopsCleanly) {
  if (!PortFree(8989)) {
    GTEST_SKIP()
        << "port 8989 is in use by another program; the desktop program always starts there";
  }
  TChildProcess xvfb(
      {XVFB_PATH, "-displayfd", "1", "-screen", "0", "1024x600x24", "-nolisten", "tcp"});
  const std::optional<std::string> number = xvfb.ReadLine(kProcessWait);
  ASSERT_TRUE(number) << "Xvfb did not start";
  const std::string display = ":" + *number;

  TTerminalProcess terminal({"--demo"});
  TChildProcess program({VANTORIX_PATH}, true,
                        {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "LC_ALL=C",
                         "LSAN_OPTIONS=suppressions=" LSAN_SUPPRESSIONS ":print_suppressions=0"});
  ASSERT_EQ(WaitForListeningPort(program, kProcessWait), std::optional<int>(8989));

  TWsTestClient client("127.0.0.1", 8989);
  ASSERT_TRUE(client.Open());
  client.SendText(R"({"act":"echo","state":"screenshot"})");
  ASSERT_TRUE(client.ReadText(kProcessWait.count()));
  client.SendText(R"({"act":"getfromdevice","state":"g","ip":"127.0.0.1","port":")" +
                  terminal.PortText() + R"(","key":"0"})");
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client.ReadText(kProcessWait.count()));
  }

  // The window is mapped a moment after the server starts; then give it time to paint the log.
  const std::string path = SCREENSHOT_PATH;
  const auto deadline = std::chrono::steady_clock::now() + kProcessWait;
  bool grabbed = false;
  while (!(grabbed = Grab(display, path)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(200ms);
  }
  ASSERT_TRUE(grabbed) << "no window named Vantorix on " << display;
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(Grab(display, path));
  EXPECT_EQ(PngSize(path), (std::array<std::uint32_t, 2>{764, 409})) << path;
  std::printf("screenshot: %s\n", path.c_str());

  program.Signal(SIGTERM);
  EXPECT_EQ(program.WaitExit(kProcessWait), std::optional<int>(0));
  EXPECT_TRUE(client.WaitForClose(0));
  xvfb.Signal(SIGTERM);
  xvfb.WaitExit(kProcessWait);
}

}  // namespace
}  // namespace vantorix::test
