// vantorixd's options and its run: the server form on a plain window-thread queue drained by the
// main thread, with the log and counter on standard output.
#include "app/Daemon.h"

#include <chrono>
#include <utility>

#include "app/ConsoleView.h"
#include "app/ServerForm.h"
#include "app/SignalWatcher.h"
#include "app/WindowThread.h"
#include "websocket/Utf8.h"

namespace vantorix {

namespace {

// Writes "listening on ADDR:PORT" for every endpoint the listener is bound to.
void PrintEndpoints(TWebSocketServer& server, TConsoleView& view) {
  for (std::size_t i = 0; i < server.Bindings.Count(); ++i) {
    view.WriteLine("listening on " + Utf8EncodeString(server.Bindings[i]->BoundEndpointText()));
  }
}

}  // namespace

int RunDaemon(const TDaemonOptions& options, std::ostream& out, std::ostream& err) {
  TMainThreadQueue window;
  bool stop = false;
  // Before any other thread exists, so that every thread started later has the signals blocked.
  TSignalWatcher signals([&window, &stop](int) { window.Queue([&stop] { stop = true; }); });
  TConsoleView view(out);
  TServerForm form(window);
  form.MessagesLog = &view;
  form.clients_connected = &view;
  try {
    if (options.Loopback) {
      form.CreateServer();
      form.start(options.Port);
    } else {
      form.edPort = options.Port;
      form.FormCreate();
    }
  } catch (const std::exception& e) {
    // The listener's texts break their lines with CR LF; a console wants LF.
    std::string text = e.what();
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) {
      text.erase(at, 1);
    }
    err << text << '\n';
    form.FormClose();
    window.RunPending();
    return 1;
  }
  PrintEndpoints(*form.Server(), view);
  while (!stop) {
    window.RunFor(std::chrono::milliseconds(200));
  }
  form.FormClose();
  // What the closing connections queued (their disconnect lines and counts).
  window.RunPending();
  return 0;
}

}  // namespace vantorix
