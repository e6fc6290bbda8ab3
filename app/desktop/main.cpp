// vantorix: the desktop program, the server with the operator's window.
#include <QApplication>
#include <QGuiApplication>
#include <clocale>
#include <iostream>
#include <utility>

#include "app/desktop/MainForm.h"
#include "app/desktop/StopRelay.h"
#include "platform/StopRequest.h"

int main(int argc, char** argv) {
  std::setlocale(LC_TIME, "");
  std::setlocale(LC_CTYPE, "");
  // SIGINT and SIGTERM close the window as the operator would. The watcher comes before any
  // other thread (Qt starts some of its own), so that every thread has the signals blocked.
  vantorix::TStopRelay stopRelay;
  vantorix::TStopWatcher stopRequests([&stopRelay] { stopRelay.Request(); });
  QApplication application(argc, argv);
  // Qt takes every locale category from the environment; numbers keep their fixed form.
  std::setlocale(LC_NUMERIC, "C");
  QGuiApplication::setDesktopFileName(QStringLiteral("vantorix"));
  vantorix::TMainFormSetup setup;
  setup.Announce = &std::cout;
  vantorix::TMainForm form(std::move(setup));
  const vantorix::TStopRelay::TConnection stop =
      stopRelay.Connect([&form] { form.RequestClose(); });
  form.show();
  return QApplication::exec();
}
