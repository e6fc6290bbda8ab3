// The real vantorix.exe: it starts on port 8989, shows its window with a client's lines, is
// grabbed as a PNG when run by window-screenshot.sh (which checks the picture), and ends with
// status 0 when asked to stop.
#include <windows.h>
#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "tests/e2e/support/ChildProcess.h"
#include "tests/e2e/support/Programs.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {
namespace {

using namespace std::chrono_literals;

// True when a listener could take the port on every IPv4 address now.
bool PortFree(std::uint16_t port) {
  WSADATA data{};
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const int one = 1;
  setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
             sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  const bool free = bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    listen(socket, 1) == 0;
  closesocket(socket);
  WSACleanup();
  return free;
}

std::wstring Text(HWND window) {
  // WM_GETTEXT rather than GetWindowTextW: the controls belong to another process.
  const auto length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

// The first control of the class under the window (at any depth) with the text, or the first of
// the class when text is null.
HWND FindControl(HWND window, const wchar_t* windowClass, const wchar_t* text) {
  for (HWND child = FindWindowExW(window, nullptr, nullptr, nullptr); child != nullptr;
       child = FindWindowExW(window, child, nullptr, nullptr)) {
    wchar_t name[64] = {};
    GetClassNameW(child, name, 64);
    if (CompareStringOrdinal(name, -1, windowClass, -1, TRUE) == CSTR_EQUAL &&
        (text == nullptr || Text(child) == text)) {
      return child;
    }
    if (HWND found = FindControl(child, windowClass, text)) {
      return found;
    }
  }
  return nullptr;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return pred();
    }
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

TEST(Win32ProgramTest, TheRealProgramShowsItsWindowAndStopsCleanly) {
  if (!PortFree(8989)) {
    GTEST_SKIP()
        << "port 8989 is in use by another program; the desktop program always starts there";
  }
  TChildProcess program({VANTORIX_PATH}, true, {"LC_ALL=C"});
  ASSERT_EQ(WaitForListeningPort(program, kProcessWait), std::optional<int>(8989));

  HWND window = nullptr;
  ASSERT_TRUE(WaitFor(
      [&] {
        window = FindWindowW(L"VantorixMainForm", L"Vantorix");
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        return window != nullptr && owner == program.Pid() && IsWindowVisible(window);
      },
      kProcessWait));
  EXPECT_NE(FindControl(window, L"Edit", L"8989"), nullptr);
  EXPECT_NE(FindControl(window, L"Button", L"Change"), nullptr);
  EXPECT_NE(FindControl(window, L"Static", L"Clients connected"), nullptr);
  const HWND log = FindControl(window, L"Edit", nullptr);
  ASSERT_NE(log, nullptr);

  TWsTestClient client("127.0.0.1", 8989);
  ASSERT_TRUE(client.Open());
  client.SendText(R"({"act":"echo","state":"screenshot"})");
  ASSERT_TRUE(client.ReadText(static_cast<int>(kProcessWait.count())));
  EXPECT_TRUE(
      WaitFor([&] { return Text(log).find(L"\"state\": \"screenshot\"") != std::wstring::npos; },
              kProcessWait))
      << "the log shows the echo";
  EXPECT_TRUE(
      WaitFor([&] { return FindControl(window, L"Static", L"1") != nullptr; }, kProcessWait))
      << "the counter shows the client";

  // Run by window-screenshot.sh: it grabs the window once told the window is ready.
  if (const char* folder = std::getenv("VANTORIX_SCREENSHOT_DIR")) {
    const std::filesystem::path dir(folder);
    std::ofstream(dir / "ready").put('\n');
    EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(dir / "taken"); }, 60s))
        << "no screenshot taken";
  }

  ASSERT_TRUE(program.RequestStop());
  EXPECT_EQ(program.WaitExit(kProcessWait), std::optional<int>(0));
  EXPECT_TRUE(client.WaitForClose(0));
}

}  // namespace
}  // namespace vantorix::test
