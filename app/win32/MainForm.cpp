// The operator's window in Win32: controls, placement, font and the forwarding of its handlers.
#include "app/win32/MainForm.h"

#include <algorithm>
#include <functional>
#include <system_error>
#include <utility>

#include "app/LogLine.h"

namespace vantorix {
namespace {

constexpr wchar_t kMainClass[] = L"VantorixMainForm";
constexpr wchar_t kPanelClass[] = L"VantorixPanel";

// The window's client area and the height of the strip along its bottom, in pixels.
constexpr int kClientWidth = 764;
constexpr int kClientHeight = 409;
constexpr int kPanel2Height = 123;
// The panels' raised bevel, inside which the log lies.
constexpr int kBevel = 1;

// Not IDOK (1): the dialog navigation of the message loop sends IDOK when Enter is pressed in
// the port field, and Enter there does nothing, as in the Qt window.
constexpr int kStartButtonId = 100;
constexpr int kLogId = 101;
constexpr UINT_PTR kLogPassTimer = 1;

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

[[noreturn]] void ThrowLastError(const char* what) {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

std::u16string WindowText(HWND window) {
  std::u16string text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, u'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(
      window, reinterpret_cast<wchar_t*>(text.data()), static_cast<int>(text.size()))));
  return text;
}

// Sizes a label to its text in its font, keeping its place.
void FitToText(HWND label) {
  const std::u16string text = WindowText(label);
  HDC dc = GetDC(label);
  const HGDIOBJ previous =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, Wide(text), static_cast<int>(text.size()), &size);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, previous);
  ReleaseDC(label, dc);
  SetWindowPos(label, nullptr, 0, 0, size.cx, metrics.tmHeight, SWP_NOMOVE | SWP_NOZORDER);
}

// Panels paint their raised bevel and pass what their controls report on to the main window.
LRESULT CALLBACK PanelProc(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint{};
      HDC dc = BeginPaint(panel, &paint);
      RECT area{};
      GetClientRect(panel, &area);
      DrawEdge(dc, &area, BDR_RAISEDINNER, BF_RECT);
      EndPaint(panel, &paint);
      return 0;
    }
    case WM_COMMAND:
      return SendMessageW(GetParent(panel), message, wParam, lParam);
    case WM_CTLCOLORSTATIC:
      // A read-only edit is drawn as a label, on the face colour; the log keeps a window's white.
      if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == kLogId) {
        const auto dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      return DefWindowProcW(panel, message, wParam, lParam);
    default:
      return DefWindowProcW(panel, message, wParam, lParam);
  }
}

// Registers a class of windows on the face colour once per process; later calls find it.
void RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, HICON icon) {
  WNDCLASSEXW windowClass{};
  if (GetClassInfoExW(instance, name, &windowClass)) {
    return;
  }
  windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = name;
  RegisterClassExW(&windowClass);
}

}  // namespace

void TWin32ErrorReporter::ShowError(const std::u16string& text) {
  MessageBoxW(FOwner, Wide(text), L"Vantorix", MB_OK | MB_ICONSTOP);
}

TWin32LogControl::TWin32LogControl(HWND edit, std::function<void()> schedulePass)
    : FEdit(edit), FSchedulePass(std::move(schedulePass)) {
  // An edit control holds 32,767 characters unless told otherwise.
  SendMessageW(FEdit, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
  // Tab stops every eight average characters of the control's font, so that the TAB-indented
  // users document stays readable; the message counts in dialog units of the system font.
  HDC dc = GetDC(FEdit);
  const HGDIOBJ previous =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(FEdit, WM_GETFONT, 0, 0)));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, previous);
  ReleaseDC(FEdit, dc);
  const int baseUnit = std::max(1, static_cast<int>(LOWORD(GetDialogBaseUnits())));
  int tabStop = MulDiv(8 * static_cast<int>(metrics.tmAveCharWidth), 4, baseUnit);
  SendMessageW(FEdit, EM_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&tabStop));
}

void TWin32LogControl::AddEntry(const std::u16string& entry) {
  FPending.push_back({entry, 0});
  // An entry that finds nothing waiting shows (at least its first part) at once.
  if (!FPassScheduled) {
    ShowPass();
  }
}

void TWin32LogControl::ShowPass() {
  FPassScheduled = false;
  std::u16string part;
  for (int lines = 0; lines < kLinesPerPass && !FPending.empty(); ++lines) {
    TPendingEntry& entry = FPending.front();
    const TLineSpan line = LineAt(entry.Text, entry.At);
    if (lines > 0 || GetWindowTextLengthW(FEdit) > 0) {
      part += u"\r\n";
    }
    const TShownLine shown =
        ShownLine(std::u16string_view(entry.Text).substr(entry.At, line.End - entry.At));
    part += shown.Text;
    part += shown.Omitted;
    entry.At = line.Next;
    if (entry.At >= entry.Text.size()) {
      FPending.pop_front();
    }
  }
  const LRESULT end = GetWindowTextLengthW(FEdit);
  SendMessageW(FEdit, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(FEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(Wide(part)));
  DropOldestLines();
  if (!FPending.empty()) {
    FPassScheduled = true;
    FSchedulePass();
  }
}

void TWin32LogControl::DropOldestLines() {
  const LRESULT excess = SendMessageW(FEdit, EM_GETLINECOUNT, 0, 0) - kLogLineLimit;
  if (excess < kDropBatch) {
    return;
  }
  // One selection from the start to the first line kept: each removal moves the whole text, at
  // much the same cost for few lines as for many, hence the batches.
  const LRESULT kept = SendMessageW(FEdit, EM_LINEINDEX, static_cast<WPARAM>(excess), 0);
  SendMessageW(FEdit, EM_SETSEL, 0, kept);
  SendMessageW(FEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  const LRESULT end = GetWindowTextLengthW(FEdit);
  SendMessageW(FEdit, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(FEdit, EM_SCROLLCARET, 0, 0);
}

void TWin32CounterLabel::SetText(const std::u16string& text) {
  SetWindowTextW(FLabel, Wide(text));
  FitToText(FLabel);
}

TMainForm::TMainForm(TMainFormSetup setup, TErrorReporter* errors)
    : FCore(FWindowThread, errors != nullptr ? *errors : FWin32Errors, std::move(setup)) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterWindowClass(instance, kMainClass, WindowProc, LoadIconW(nullptr, IDI_APPLICATION));
  RegisterWindowClass(instance, kPanelClass, PanelProc, nullptr);
  // Segoe UI, 12 pixels high; the font mapper picks the nearest face where it is missing.
  FFont.reset(CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                          DEFAULT_PITCH | FF_SWISS, L"Segoe UI"));
  const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, style, FALSE, WS_EX_APPWINDOW);
  // A top-level window of its own has a task-bar button.
  FWindow = CreateWindowExW(WS_EX_APPWINDOW, kMainClass, L"Vantorix", style, CW_USEDEFAULT,
                            CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                            nullptr, nullptr, instance, this);
  if (FWindow == nullptr) {
    ThrowLastError("CreateWindowExW");
  }
  FRequestWindow = FWindow;
  FWin32Errors.SetOwner(FWindow);
  try {
    CreateControls();
    FLog.emplace(logLines,
                 [this] { SetTimer(FWindow, kLogPassTimer, USER_TIMER_MINIMUM, nullptr); });
    FCounter.emplace(clients_connected);
    FCore.FormCreate(*FLog, *FCounter);
  } catch (...) {
    DestroyWindow(FWindow);
    throw;
  }
}

TMainForm::~TMainForm() {
  FCore.FormClose();
  if (FWindow != nullptr) {
    DestroyWindow(FWindow);
  }
}

void TMainForm::CreateControls() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  auto create = [&](DWORD exStyle, const wchar_t* windowClass, const wchar_t* text, DWORD style,
                    int x, int y, int width, int height, HWND parent, int id = 0) {
    HWND control = CreateWindowExW(
        exStyle, windowClass, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    if (control == nullptr) {
      ThrowLastError("CreateWindowExW");
    }
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), FALSE);
    return control;
  };
  Panel1 = create(WS_EX_CONTROLPARENT, kPanelClass, L"", WS_CLIPCHILDREN, 0, 0, 0, 0, FWindow);
  Panel2 = create(WS_EX_CONTROLPARENT, kPanelClass, L"", WS_CLIPCHILDREN, 0, 0, 0, 0, FWindow);
  logLines = create(WS_EX_CLIENTEDGE, L"EDIT", L"",
                    ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL | WS_HSCROLL |
                        WS_VSCROLL | ES_NOHIDESEL,
                    0, 0, 0, 0, Panel1, kLogId);
  lbPort = create(0, L"STATIC", L"Port", SS_LEFT, 72, 35, 0, 0, Panel2);
  edPort = create(WS_EX_CLIENTEDGE, L"EDIT", L"8989", ES_AUTOHSCROLL | WS_TABSTOP, 72, 56, 41, 23,
                  Panel2);
  btStart = create(0, L"BUTTON", L"Change", BS_PUSHBUTTON | WS_TABSTOP, 136, 55, 75, 25, Panel2,
                   kStartButtonId);
  clients_connected = create(0, L"STATIC", L"", SS_LEFT, 72, 96, 0, 0, Panel2);
  Label2 = create(0, L"STATIC", L"Clients connected", SS_LEFT, 136, 96, 0, 0, Panel2);
  for (HWND label : {lbPort, clients_connected, Label2}) {
    FitToText(label);
  }
  Layout();
}

void TMainForm::Layout() {
  RECT client{};
  GetClientRect(FWindow, &client);
  const int width = client.right;
  const int height = client.bottom;
  // The log takes whatever height the window has above the strip, which keeps its own.
  const int top = std::max(0, height - kPanel2Height);
  MoveWindow(Panel1, 0, 0, width, top, TRUE);
  MoveWindow(Panel2, 0, top, width, kPanel2Height, TRUE);
  MoveWindow(logLines, kBevel, kBevel, std::max(0, width - 2 * kBevel),
             std::max(0, top - 2 * kBevel), TRUE);
}

void TMainForm::Show(int showCommand) {
  ShowWindow(FWindow, showCommand);
  UpdateWindow(FWindow);
}

void TMainForm::RequestClose() {
  // The handle as created: FWindow is the window thread's alone. A window already gone ignores it.
  PostMessageW(FRequestWindow, WM_CLOSE, 0, 0);
}

void TMainForm::btStartClick() {
  FCore.btStartClick(WindowText(edPort));
}

LRESULT TMainForm::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      if (Panel1 != nullptr) {
        Layout();
      }
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kStartButtonId && HIWORD(wParam) == BN_CLICKED) {
        btStartClick();
      }
      return 0;
    case WM_TIMER:
      if (wParam == kLogPassTimer) {
        KillTimer(FWindow, kLogPassTimer);
        if (FLog) {
          FLog->ShowPass();
        }
      }
      return 0;
    case WM_CLOSE:
      FCore.FormClose();
      DestroyWindow(FWindow);
      return 0;
    case WM_DESTROY:
      FWindow = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(FWindow, message, wParam, lParam);
  }
}

LRESULT CALLBACK TMainForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<TMainForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->FWindow = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TMainForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || self->FWindow != window) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return self->Handle(message, wParam, lParam);
}

}  // namespace vantorix
