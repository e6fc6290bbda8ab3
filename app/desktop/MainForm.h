// TMainForm: the operator's window of the desktop program in Qt 6 Widgets: the log, the client
// counter, the port field and "Change". What its handlers do lives in TMainFormCore.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <deque>

#include "app/ErrorReporter.h"
#include "app/MainFormCore.h"
#include "app/ServerControls.h"
#include "app/desktop/QtWindowThread.h"

namespace vantorix {

// Error boxes as Qt message boxes: stop icon, OK, caption "Vantorix", the text shown as plain
// text (a port text such as "<b>" appears as typed). Window thread only.
class TQtErrorReporter final : public TErrorReporter {
 public:
  // parent (may be nullptr) centres the box and must outlive the reporter.
  explicit TQtErrorReporter(QWidget* parent) : FParent(parent) {}
  void ShowError(const std::u16string& text) override;

 private:
  QWidget* FParent;
};

// The log control on a read-only plain-text edit. It keeps the newest kLogLineLimit lines (and
// at most a tenth more, dropped in batches), and shows a long entry (the tens of thousands of
// lines of a large read) a part at a time: between parts the window handles input and paints.
// Entries appear whole and in the order added.
//
// Threading: window thread only. Ownership: the edit must outlive the control; lines not yet
// shown when the control is destroyed are dropped.
class TQtLogControl final : public TLogControl {
 public:
  // Lines shown in one pass of the event loop (a few milliseconds' work).
  static constexpr int kLinesPerPass = 1000;
  // Lines dropped at once when the log has grown past its limit by this many.
  static constexpr int kDropBatch = kLogLineLimit / 10;

  explicit TQtLogControl(QPlainTextEdit& edit);
  void AddEntry(const std::u16string& entry) override;
  // True while lines of added entries wait to be shown.
  bool Pending() const { return !FPending.empty(); }

 private:
  struct TPendingEntry {
    std::u16string Text;
    std::size_t At = 0;  // the first line not yet shown
  };
  void ShowPass();
  void DropOldestLines();

  QPlainTextEdit& FEdit;
  std::deque<TPendingEntry> FPending;
  // Fires once the event loop has handled what waits (input, painting): the next pass.
  QTimer FNextPass;
};

// The counter on a label that fits its width to the text. Window thread only; the label must
// outlive it.
class TQtCounterLabel final : public TCounterLabel {
 public:
  explicit TQtCounterLabel(QLabel& label) : FLabel(label) {}
  void SetText(const std::u16string& text) override;

 private:
  QLabel& FLabel;
};

// The main window (object name "MainForm"). Creating it creates the server window and starts
// listening (FormCreate); a failure shows its error box and the window still opens with the
// listener stopped. Closing it closes the server window (every connection closed and awaited)
// and tells the application to quit.
//
// Threading: GUI thread only, except RequestClose. Ownership: owns the server window and the
// window-thread queue its connections use; the application object must outlive it.
class TMainForm final : public QWidget {
 public:
  // errors: nullptr shows Qt message boxes; tests pass a recording reporter, which must outlive
  // the window.
  explicit TMainForm(TMainFormSetup setup = {}, TErrorReporter* errors = nullptr);
  ~TMainForm() override;

  // Any thread: closes the window as the operator would, once the GUI thread gets to it.
  void RequestClose();

  TServerForm& wss() { return FCore.wss(); }
  const TQtLogControl& LogControl() const { return FLog; }
  TWindowThread& WindowThread() { return FWindowThread; }

  // The controls, for the window's own code and for tests; GUI thread only. Declared parents
  // first: members are destroyed in reverse order, children before their parents.
  QFrame Panel1;
  QFrame Panel2;
  QPlainTextEdit logLines;
  QLabel lbPort;
  QLineEdit edPort;
  QPushButton btStart;
  QLabel clients_connected;
  QLabel Label2;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void btStartClick();

  QVBoxLayout FLayout;
  QVBoxLayout FPanel1Layout;
  // Destroyed after the core: procedures still queued by closing connections are discarded
  // only once no connection thread is left to queue more.
  TQtWindowThread FWindowThread;
  TQtErrorReporter FQtErrors;
  TQtLogControl FLog;
  TQtCounterLabel FCounter;
  TMainFormCore FCore;
};

}  // namespace vantorix
