// The window-thread queue on Qt's event loop.
#include "app/desktop/QtWindowThread.h"

#include <QMetaObject>
#include <utility>

namespace vantorix {

TQtWindowThread::TQtWindowThread() : FOwner(std::this_thread::get_id()) {}

bool TQtWindowThread::IsWindowThread() const {
  return std::this_thread::get_id() == FOwner;
}

void TQtWindowThread::Queue(TWindowProcedure proc) {
  if (IsWindowThread()) {
    proc();
    return;
  }
  // A queued invocation is a posted event: posting takes Qt's queue lock briefly and never
  // waits for the GUI thread, and posted events of one priority are delivered in posting order.
  QMetaObject::invokeMethod(&FReceiver, std::move(proc), Qt::QueuedConnection);
}

}  // namespace vantorix
