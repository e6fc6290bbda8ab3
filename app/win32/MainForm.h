// TMainForm: the operator's window of the desktop program on Windows, in plain Win32 (there is no
// Qt for mingw): the log, the client counter, the port field and "Change", with the controls,
// places, captions and font of the Qt window. What its handlers do lives in TMainFormCore.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "app/ErrorReporter.h"
#include "app/MainFormCore.h"
#include "app/ServerControls.h"
#include "app/win32/Win32WindowThread.h"

namespace vantorix {

// Error boxes as MessageBoxW: stop icon, OK, caption "Vantorix", owned by the given window (may
// be null). Window thread only.
class TWin32ErrorReporter final : public TErrorReporter {
 public:
  void SetOwner(HWND owner) { FOwner = owner; }
  void ShowError(const std::u16string& text) override;

 private:
  HWND FOwner = nullptr;
};

// The log control on a read-only multi-line edit control. It keeps the newest kLogLineLimit lines
// (and at most a tenth more, dropped in batches), and shows a long entry (the tens of thousands
// of lines of a large read) a part at a time: between parts the window handles input and paints.
// Entries appear whole and in the order added.
//
// Threading: window thread only. Ownership: the edit control must outlive the log control;
// lines not yet shown when it is destroyed are dropped. Between parts it asks for the next pass
// through schedulePass, and the window calls ShowPass when it comes.
class TWin32LogControl final : public TLogControl {
 public:
  // Lines shown in one pass (a few milliseconds' work).
  static constexpr int kLinesPerPass = 1000;
  // Lines dropped at once when the log has grown past its limit by this many.
  static constexpr int kDropBatch = kLogLineLimit / 10;

  TWin32LogControl(HWND edit, std::function<void()> schedulePass);
  void AddEntry(const std::u16string& entry) override;
  // True while lines of added entries wait to be shown.
  bool Pending() const { return !FPending.empty(); }
  void ShowPass();

 private:
  struct TPendingEntry {
    std::u16string Text;
    std::size_t At = 0;  // the first line not yet shown
  };
  void DropOldestLines();

  HWND FEdit;
  std::function<void()> FSchedulePass;
  std::deque<TPendingEntry> FPending;
  bool FPassScheduled = false;
};

// The counter on a static control that fits its width to the text. Window thread only; the
// control must outlive it.
class TWin32CounterLabel final : public TCounterLabel {
 public:
  explicit TWin32CounterLabel(HWND label) : FLabel(label) {}
  void SetText(const std::u16string& text) override;

 private:
  HWND FLabel;
};

// The main window (class "VantorixMainForm", caption "Vantorix"). Creating it creates the
// server window and starts listening (FormCreate); a failure shows its error box and the window
// still opens with the listener stopped. Closing it closes the server window (every connection
// closed and awaited), destroys it and ends the thread's message loop (PostQuitMessage(0)).
//
// Threading: window thread only, except RequestClose. Ownership: owns its windows, its font, the
// server window and the window-thread queue its connections use. Failure: the constructor raises
// std::system_error when the system gives it no window.
class TMainForm {
 public:
  // errors: nullptr shows message boxes; tests pass a recording reporter, which must outlive the
  // window.
  explicit TMainForm(TMainFormSetup setup = {}, TErrorReporter* errors = nullptr);
  ~TMainForm();
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  HWND Handle() const { return FWindow; }
  void Show(int showCommand = SW_SHOWNORMAL);
  // Any thread: closes the window as the operator would, once the window thread gets to it.
  void RequestClose();
  // True once the window has closed.
  bool Closed() const { return FWindow == nullptr; }

  TServerForm& wss() { return FCore.wss(); }
  const TWin32LogControl& LogControl() const { return *FLog; }
  TWindowThread& WindowThread() { return FWindowThread; }

  // The controls, for the window's own code and for tests; window thread only. Children of the
  // main window's panels; destroyed with it.
  HWND Panel1 = nullptr;
  HWND Panel2 = nullptr;
  HWND logLines = nullptr;
  HWND lbPort = nullptr;
  HWND edPort = nullptr;
  HWND btStart = nullptr;
  HWND clients_connected = nullptr;
  HWND Label2 = nullptr;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  void Layout();
  void btStartClick();

  // Destroyed after the core: procedures still queued by closing connections are discarded
  // only once no connection thread is left to queue more.
  TWin32WindowThread FWindowThread;
  TWin32ErrorReporter FWin32Errors;
  struct TFontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
  };
  // Outlives the controls that use it: they go in the destructor's body.
  std::unique_ptr<std::remove_pointer_t<HFONT>, TFontDeleter> FFont;
  HWND FWindow = nullptr;  // null once destroyed
  HWND FRequestWindow = nullptr;
  std::optional<TWin32LogControl> FLog;
  std::optional<TWin32CounterLabel> FCounter;
  TMainFormCore FCore;
};

}  // namespace vantorix
