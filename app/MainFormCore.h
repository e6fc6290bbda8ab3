// What the operator's main window does apart from drawing itself: start-up, "Change", closing and
// the error boxes. A window of any toolkit builds its controls, hands them to TMainFormCore at
// creation and forwards its handlers to it, so that every toolkit behaves alike.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "app/ErrorReporter.h"
#include "app/ServerControls.h"
#include "app/ServerForm.h"
#include "app/WindowThread.h"

namespace vantorix {

// The newest lines a window's log keeps; older lines are dropped as new ones come. About 30
// "getfromdevice" reads of 3,000 users (some 30 to 60 MB of text); unbounded, weeks of reads
// would exhaust the workstation's memory.
inline constexpr int kLogLineLimit = 200000;

struct TMainFormSetup {
  // The start-up port text; empty keeps the server window's own field ("8989"). Tests only: the
  // program always starts on the server window's port.
  std::u16string StartupPort;
  // Receives "listening on ADDR:PORT" for every bound endpoint after each successful start,
  // so that scripts can wait for the server; nullptr: nowhere. Must outlive the core.
  std::ostream* Announce = nullptr;
  // Creates the device jobs object; empty: jobs on the network terminal control.
  TServerForm::TDeviceJobsFactory MakeDeviceJobs;
};

// Threading: window thread only (construction, every method, destruction). Failure: a failure
// that leaves a handler is shown through the error reporter and never reaches the caller; the
// listener then stays stopped.
class TMainFormCore {
 public:
  // window and errors must outlive the core.
  TMainFormCore(TWindowThread& window, TErrorReporter& errors, TMainFormSetup setup = {});
  // Closes like FormClose when that has not run yet, then destroys the server window.
  ~TMainFormCore();
  TMainFormCore(const TMainFormCore&) = delete;
  TMainFormCore& operator=(const TMainFormCore&) = delete;

  // Creation: creates the server window with its log and counter on logLines and
  // clients_connected, and starts it listening on every local address. The two controls must
  // stay valid as long as procedures queued to the window thread may still run.
  void FormCreate(TLogControl& logLines, TCounterLabel& clients_connected);
  // "Change": restarts the listener on 127.0.0.1 and the port text edPort (device jobs in
  // progress are interrupted and their finish statuses sent, then every connection is closed
  // and awaited).
  void btStartClick(const std::u16string& edPort);
  // Closing: interrupts the device jobs in progress at their next user boundary and sends their
  // finish statuses, then destroys the listener (every client gets a close frame 1001; every
  // connection is closed and awaited, a client that does not answer for at most 2 s).
  // Idempotent. The window then tells its application to end.
  void FormClose();

  // The server window; exists after FormCreate.
  TServerForm& wss() { return *FServerForm; }

 private:
  // Runs one window handler; a failure that leaves it goes to the error reporter.
  template <typename THandler>
  void Handle(THandler handler);
  void Announce();

  TWindowThread& FWindow;
  TErrorReporter& FErrors;
  TMainFormSetup FSetup;
  std::unique_ptr<TServerForm> FServerForm;
};

}  // namespace vantorix
