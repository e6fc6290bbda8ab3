// The Windows window in this process: its controls, start-up, the connect and disconnect lines
// and the counter, "Change" with its error boxes, closing from another thread, the log under a
// large entry, and the window-thread queue on the thread's message queue.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/win32/MainForm.h"
#include "app/win32/Win32WindowThread.h"
#include "tests/app/FormHarness.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 10s;

// WM_GETTEXT rather than GetWindowTextW, which under wine reads nothing from the controls of a
// message box running on another thread.
std::u16string Text(HWND window) {
  const auto length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
  text.resize(static_cast<std::size_t>(
      SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

void SetText(HWND window, const std::u16string& text) {
  SetWindowTextW(window, reinterpret_cast<const wchar_t*>(text.c_str()));
}

// The log's lines as the edit control holds them (CR LF between lines).
std::vector<std::u16string> LogLines(HWND edit) {
  std::vector<std::u16string> lines;
  const std::u16string text = Text(edit);
  if (text.empty()) {
    return lines;
  }
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find(u"\r\n", at);
    lines.push_back(text.substr(at, end - at));
    if (end == std::u16string::npos) {
      return lines;
    }
    at = end + 2;
  }
}

// The message of a log line, without its "[sender] - time: : " prefix.
std::u16string Message(const std::u16string& line) {
  const std::size_t at = line.find(u": : ");
  return at == std::u16string::npos ? line : line.substr(at + 4);
}

// Runs this thread's messages until pred holds or the time is up; gives pred's last value.
// *quit is set when the loop meets WM_QUIT.
bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = kWait,
               bool* quit = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return pred();
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT && quit != nullptr) {
        *quit = true;
      }
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return true;
}

// The control's place in its parent's client area.
RECT Place(HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// The window on a port the system chooses, with recorded error boxes.
struct TWindow {
  TWindow() {
    TMainFormSetup setup;
    setup.StartupPort = u"0";
    Form = std::make_unique<TMainForm>(std::move(setup), &Errors);
    Form->Show();
  }

  std::uint16_t Port() {
    TWebSocketServer* server = Form->wss().Server();
    if (server == nullptr || !server->Active()) {
      return 0;
    }
    return server->Bindings[0]->BoundPort;
  }

  // Types text into the port field and clicks "Change".
  void Change(const std::u16string& text) {
    SetText(Form->edPort, text);
    SendMessageW(Form->btStart, BM_CLICK, 0, 0);
  }

  bool WaitForLine(const std::u16string& message) {
    return PumpUntil([&] {
      for (const std::u16string& line : LogLines(Form->logLines)) {
        if (Message(line) == message) {
          return true;
        }
      }
      return false;
    });
  }

  TRecordingReporter Errors;
  std::unique_ptr<TMainForm> Form;
};

TEST(Win32MainFormTest, ControlsHaveTheirCaptionsPlacesAndFont) {
  TWindow w;
  TMainForm& form = *w.Form;
  EXPECT_EQ(Text(form.Handle()), u"Vantorix");
  RECT client{};
  GetClientRect(form.Handle(), &client);
  EXPECT_EQ(client.right, 764);
  EXPECT_EQ(client.bottom, 409);
  EXPECT_NE(GetWindowLongPtrW(form.Handle(), GWL_EXSTYLE) & WS_EX_APPWINDOW, 0)
      << "a task-bar button";

  struct Case {
    const char* name;
    HWND control;
    const wchar_t* windowClass;
    std::u16string text;
    RECT place;  // right and bottom 0: sized to the text
  };
  const Case cases[] = {
      {"Panel1", form.Panel1, L"VantorixPanel", u"", {0, 0, 764, 409 - 123}},
      {"Panel2", form.Panel2, L"VantorixPanel", u"", {0, 409 - 123, 764, 409}},
      {"lbPort", form.lbPort, L"Static", u"Port", {72, 35, 0, 0}},
      {"edPort", form.edPort, L"Edit", u"8989", {72, 56, 72 + 41, 56 + 23}},
      {"btStart", form.btStart, L"Button", u"Change", {136, 55, 136 + 75, 55 + 25}},
      {"clients_connected", form.clients_connected, L"Static", u"", {72, 96, 0, 0}},
      {"Label2", form.Label2, L"Static", u"Clients connected", {136, 96, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    wchar_t windowClass[64] = {};
    GetClassNameW(c.control, windowClass, 64);
    EXPECT_EQ(CompareStringOrdinal(windowClass, -1, c.windowClass, -1, TRUE), CSTR_EQUAL);
    EXPECT_EQ(Text(c.control), c.text);
    const RECT place = Place(c.control);
    EXPECT_EQ(place.left, c.place.left);
    EXPECT_EQ(place.top, c.place.top);
    if (c.place.right != 0) {
      EXPECT_EQ(place.right, c.place.right);
      EXPECT_EQ(place.bottom, c.place.bottom);
    }
    if (c.control != form.Panel1 && c.control != form.Panel2) {
      LOGFONTW font{};
      GetObjectW(reinterpret_cast<HFONT>(SendMessageW(c.control, WM_GETFONT, 0, 0)), sizeof font,
                 &font);
      EXPECT_EQ(font.lfHeight, -12);
      EXPECT_EQ(std::wstring(font.lfFaceName), L"Segoe UI");
    }
  }
  // The labels fit their text; the log fills the upper panel inside its bevel.
  EXPECT_GT(Place(form.Label2).right - Place(form.Label2).left, 60);
  const RECT log = Place(form.logLines);
  EXPECT_EQ(log.right - log.left, 764 - 2);
  EXPECT_EQ(log.bottom - log.top, 409 - 123 - 2);
  const LONG_PTR logStyle = GetWindowLongPtrW(form.logLines, GWL_STYLE);
  EXPECT_NE(logStyle & ES_READONLY, 0);
  EXPECT_NE(logStyle & WS_HSCROLL, 0);
  EXPECT_NE(logStyle & WS_VSCROLL, 0);

  // A larger window gives the log the height; the bottom strip keeps its own.
  SetWindowPos(form.Handle(), nullptr, 0, 0, 900, 700, SWP_NOMOVE | SWP_NOZORDER);
  GetClientRect(form.Handle(), &client);
  EXPECT_EQ(Place(form.Panel2).bottom - Place(form.Panel2).top, 123);
  EXPECT_EQ(Place(form.Panel2).bottom, client.bottom);
  EXPECT_EQ(Place(form.logLines).bottom, client.bottom - 123 - 1);
}

TEST(Win32MainFormTest, StartUpListensAndClientsAreLoggedAndCounted) {
  TWindow w;
  ASSERT_TRUE(w.Errors.Boxes.empty());
  ASSERT_NE(w.Port(), 0);
  EXPECT_EQ(w.Form->wss().Server()->Bindings[0]->BoundIP, u"0.0.0.0");
  EXPECT_EQ(Text(w.Form->clients_connected), u"");

  auto client = std::make_unique<TWsTestClient>("127.0.0.1", w.Port());
  ASSERT_TRUE(client->Open());
  ASSERT_TRUE(PumpUntil([&] { return LogLines(w.Form->logLines).size() >= 3; }));
  ASSERT_TRUE(PumpUntil([&] { return Text(w.Form->clients_connected) == u"1"; }));
  const std::vector<std::u16string> lines = LogLines(w.Form->logLines);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].substr(0, 5), u"[] - ");
  EXPECT_EQ(Message(lines[0]), u"Client Connected");
  EXPECT_EQ(lines[1].substr(0, 11), u"[SERVER] - ");
  EXPECT_EQ(Message(lines[1]), u"Client Connected!");
  EXPECT_EQ(Message(lines[2]),
            U16("Port=" + std::to_string(w.Port()) +
                " (PeerIP=127.0.0.1 - PeerPort=" + std::to_string(client->LocalPort()) + ")"));

  // An echo: the indented command is one entry of several lines, each its own line here.
  client->SendText(R"({"act":"echo","state":"e"})");
  ASSERT_TRUE(client->ReadText(kWaitMs));
  ASSERT_TRUE(w.WaitForLine(u"{"));
  ASSERT_TRUE(PumpUntil([&] { return LogLines(w.Form->logLines).back() == u"}"; }));
  const std::vector<std::u16string> echo = LogLines(w.Form->logLines);
  const std::vector<std::u16string> tail = {u"    \"act\": \"echo\",", u"    \"state\": \"e\",",
                                            u"    \"devices\": [", u"    ]", u"}"};
  ASSERT_GE(echo.size(), tail.size() + 1);
  EXPECT_EQ(std::vector<std::u16string>(echo.end() - 5, echo.end()), tail);
  EXPECT_EQ(Message(echo[echo.size() - 6]), u"{");

  client->Close();
  ASSERT_TRUE(w.WaitForLine(u"Client disconnected"));
  EXPECT_TRUE(PumpUntil([&] { return Text(w.Form->clients_connected) == u"0"; }));
}

TEST(Win32MainFormTest, ChangeShowsTheBoxThroughTheReporterOrListensOnTheLoopbackPort) {
  TWindow w;
  struct Case {
    std::u16string text;
    std::u16string box;  // empty: the listener must be active
  };
  const Case cases[] = {
      {u"abc", u"'abc' is not a valid integer value."},
      {u"65536", u"Range check error."},
      {u"0", u""},
      {u"-1", u"Range check error."},
      {u"<b>7</b>", u"'<b>7</b>' is not a valid integer value."},
      {u" 0", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.text));
    w.Errors.Boxes.clear();
    w.Change(c.text);
    TWebSocketServer& server = *w.Form->wss().Server();
    ASSERT_EQ(server.Bindings.Count(), 1u);
    if (!c.box.empty()) {
      EXPECT_EQ(w.Errors.Boxes, std::vector<std::u16string>{c.box});
      EXPECT_FALSE(server.Active());
      continue;
    }
    EXPECT_TRUE(w.Errors.Boxes.empty());
    ASSERT_TRUE(server.Active());
    EXPECT_EQ(server.Bindings[0]->BoundIP, u"127.0.0.1");
    TWsTestClient client("127.0.0.1", w.Port());
    EXPECT_TRUE(client.Open());
  }
}

TEST(Win32MainFormTest, EnterInThePortFieldDoesNotChange) {
  TWindow w;
  const std::uint16_t port = w.Port();
  SetText(w.Form->edPort, u"abc");
  // What the program's message loop does with Enter in the field.
  MSG enter{w.Form->edPort, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
  IsDialogMessageW(w.Form->Handle(), &enter);
  EXPECT_TRUE(w.Errors.Boxes.empty());
  EXPECT_EQ(w.Port(), port);
}

TEST(Win32MainFormTest, CloseFromAnotherThreadEndsClientsThenTheMessageLoop) {
  TWindow w;
  TWsTestClient client("127.0.0.1", w.Port());
  ASSERT_TRUE(client.Open());
  ASSERT_TRUE(w.WaitForLine(u"Client Connected!"));
  std::thread([&] { w.Form->RequestClose(); }).join();
  bool quit = false;
  ASSERT_TRUE(PumpUntil([&] { return w.Form->Closed() && quit; }, kWait, &quit));
  EXPECT_EQ(w.Form->wss().Server(), nullptr);
  // Already closed when the window went: no waiting here.
  EXPECT_TRUE(client.WaitForClose(0));
  EXPECT_FALSE(IsWindow(w.Form->logLines));
}

TEST(Win32ErrorReporterTest, TheBoxShowsTheTextWithTheStopIconAndOk) {
  TWin32ErrorReporter reporter;
  const std::u16string text = u"Socket Error # 10048\r\nAddress already in use.";
  std::vector<std::u16string> labels;
  std::vector<std::u16string> buttons;
  HICON icon = nullptr;
  // The box runs its own modal loop on this thread; another thread reads it and presses OK.
  std::thread reader([&] {
    HWND box = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    // Visible once it is filled in.
    while (((box = FindWindowW(L"#32770", L"Vantorix")) == nullptr || !IsWindowVisible(box)) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    if (box == nullptr || !IsWindowVisible(box)) {
      return;
    }
    for (HWND child = FindWindowExW(box, nullptr, nullptr, nullptr); child != nullptr;
         child = FindWindowExW(box, child, nullptr, nullptr)) {
      wchar_t name[32] = {};
      GetClassNameW(child, name, 32);
      const bool isStatic = CompareStringOrdinal(name, -1, L"Static", -1, TRUE) == CSTR_EQUAL;
      if (isStatic && (GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
      } else if (isStatic && !Text(child).empty()) {
        labels.push_back(Text(child));
      } else if (CompareStringOrdinal(name, -1, L"Button", -1, TRUE) == CSTR_EQUAL) {
        buttons.push_back(Text(child));
      }
    }
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  reporter.ShowError(text);
  reader.join();
  EXPECT_EQ(labels, std::vector<std::u16string>{text});
  EXPECT_EQ(buttons, std::vector<std::u16string>{u"OK"});
  EXPECT_EQ(icon, LoadIconW(nullptr, IDI_HAND)) << "the stop icon";
}

// A log control on an edit control of its own (with the window's styles: without
// ES_AUTOVSCROLL an edit control refuses text beyond its height), its passes run by the test.
struct TLog {
  TLog()
      : Edit(
            CreateWindowExW(0, L"EDIT", L"",
                            WS_POPUP | ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL,
                            0, 0, 200, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr)),
        Control(Edit, [this] { ++Scheduled; }) {}
  ~TLog() { DestroyWindow(Edit); }
  TLog(const TLog&) = delete;
  TLog& operator=(const TLog&) = delete;

  int LineCount() const { return static_cast<int>(SendMessageW(Edit, EM_GETLINECOUNT, 0, 0)); }

  HWND Edit;
  int Scheduled = 0;
  TWin32LogControl Control;
};

std::u16string NumberedLines(int from, int to) {
  std::u16string text;
  for (int i = from; i <= to; ++i) {
    text += U16(std::to_string(i));
    if (i < to) {
      // Either line break of the entries.
      text += i % 2 == 0 ? u"\r\n" : u"\n";
    }
  }
  return text;
}

TEST(Win32LogControlTest, ALargeEntryIsShownInPartsWholeAndInOrder) {
  TLog log;
  ASSERT_NE(log.Edit, nullptr);
  const int total = 2 * TWin32LogControl::kLinesPerPass + 500;
  log.Control.AddEntry(NumberedLines(1, total));
  log.Control.AddEntry(u"after");
  // The first part at once, the rest in passes asked for one at a time.
  EXPECT_EQ(log.LineCount(), TWin32LogControl::kLinesPerPass);
  EXPECT_EQ(log.Scheduled, 1);
  EXPECT_TRUE(log.Control.Pending());
  log.Control.ShowPass();
  EXPECT_EQ(log.Scheduled, 2);
  log.Control.ShowPass();
  EXPECT_FALSE(log.Control.Pending());
  EXPECT_EQ(log.Scheduled, 2);
  const std::vector<std::u16string> lines = LogLines(log.Edit);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(total) + 1);
  for (int i = 0; i < total; ++i) {
    ASSERT_EQ(lines[static_cast<std::size_t>(i)], U16(std::to_string(i + 1)));
  }
  EXPECT_EQ(lines.back(), u"after");
}

TEST(Win32LogControlTest, TheLogKeepsTheNewestLines) {
  TLog log;
  const int total = kLogLineLimit + TWin32LogControl::kDropBatch + 5000;
  log.Control.AddEntry(NumberedLines(1, total));
  while (log.Control.Pending()) {
    log.Control.ShowPass();
  }
  const int shown = log.LineCount();
  EXPECT_GE(shown, kLogLineLimit);
  EXPECT_LT(shown, kLogLineLimit + TWin32LogControl::kDropBatch);
  const std::vector<std::u16string> lines = LogLines(log.Edit);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(shown));
  EXPECT_EQ(lines.front(), U16(std::to_string(total - shown + 1)));
  EXPECT_EQ(lines.back(), U16(std::to_string(total)));
}

TEST(Win32WindowThreadTest, ProceduresFromOtherThreadsRunOnTheWindowThreadInOrder) {
  TWin32WindowThread window;
  EXPECT_TRUE(window.IsWindowThread());
  std::vector<int> ran;
  bool onWindowThread = true;
  const int count = 20000;
  std::thread([&] {
    EXPECT_FALSE(window.IsWindowThread());
    for (int i = 0; i < count; ++i) {
      window.Queue([&, i] {
        onWindowThread = onWindowThread && window.IsWindowThread();
        ran.push_back(i);
      });
    }
  }).join();
  EXPECT_TRUE(ran.empty()) << "nothing runs before the thread handles its messages";
  ASSERT_TRUE(PumpUntil([&] { return ran.size() == count; }));
  EXPECT_TRUE(onWindowThread);
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(ran[static_cast<std::size_t>(i)], i);
  }
  // On the window thread itself: at once.
  window.Queue([&] { ran.push_back(-1); });
  EXPECT_EQ(ran.back(), -1);
}

TEST(Win32WindowThreadTest, ProceduresNotRunAreDroppedWithTheQueue) {
  auto token = std::make_shared<int>(0);
  bool ran = false;
  {
    TWin32WindowThread window;
    std::thread([&] { window.Queue([&ran, token] { ran = true; }); }).join();
  }
  EXPECT_FALSE(ran);
  EXPECT_EQ(token.use_count(), 1) << "the procedure was destroyed";
  // Its wake-up message, if still queued, finds no window.
  PumpUntil([] { return false; }, 50ms);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace vantorix::test
