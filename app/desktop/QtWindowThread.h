// The window-thread queue of the desktop program, on Qt's event loop.
#pragma once

#include <QObject>
#include <thread>

#include "app/WindowThread.h"

namespace vantorix {

// Procedures queued from other threads are posted to Qt's event queue of the thread that
// constructed this object (the GUI thread) and run, one at a time and in the order queued,
// when that thread's event loop next delivers its posted events.
//
// Ownership and lifetime: construct it on the GUI thread; destroy it there only after every
// thread that queues has ended. Destruction discards procedures not yet run (they are destroyed
// without running). Failure: Queue reports nothing; a procedure's exception propagates only when
// it runs at once (called on the window thread).
class TQtWindowThread final : public TWindowThread {
 public:
  TQtWindowThread();
  void Queue(TWindowProcedure proc) override;
  bool IsWindowThread() const override;

 private:
  const std::thread::id FOwner;
  // Posted procedures are delivered to this object, on its thread.
  QObject FReceiver;
};

}  // namespace vantorix
