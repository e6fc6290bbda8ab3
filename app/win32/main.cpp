// vantorix (Windows): the desktop program, the server with the operator's window.
#include <windows.h>

#include <clocale>
#include <iostream>
#include <utility>

#include "app/win32/MainForm.h"
#include "platform/Console.h"
#include "platform/StopRequest.h"

int main() {
  // "listening on" lines go to standard output when the program is given one.
  vantorix::UseUtf8StandardStreams();
  std::setlocale(LC_CTYPE, "");
  vantorix::TMainFormSetup setup;
  setup.Announce = &std::cout;
  vantorix::TMainForm form(std::move(setup));
  // Its stop event closes the window as the operator would (a service manager or a test).
  vantorix::TStopWatcher stopRequests([&form] { form.RequestClose(); });
  form.Show();
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (form.Closed() || !IsDialogMessageW(form.Handle(), &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return static_cast<int>(message.wParam);
}
