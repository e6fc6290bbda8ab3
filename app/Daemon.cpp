// vantorixd's options and its run: the server form on a plain window-thread queue drained by the
// main thread, with the log and counter on standard output.
#include "app/Daemon.h"

#include <chrono>
#include <thread>
#include <utility>

#include "app/ConsoleView.h"
#include "app/ConsoleWriter.h"
#include "app/ServerForm.h"
#include "app/WindowThread.h"
#include "device/TermControlSetup.h"
#include "platform/StopRequest.h"
#include "websocket/Utf8.h"

namespace vantorix {

namespace {

// How long the window thread lets log entries gather after it has run some (see the loop below).
constexpr std::chrono::microseconds kLogGatherDelay{1000};

// Writes "listening on ADDR:PORT" for every endpoint the listener is bound to.
void PrintEndpoints(TWebSocketServer& server, TConsoleView& view) {
  for (std::size_t i = 0; i < server.Bindings.Count(); ++i) {
    view.WriteLine("listening on " + Utf8EncodeString(server.Bindings[i]->BoundEndpointText()));
  }
}

}  // namespace

int RunDaemon(const TDaemonOptions& options, TConsoleOutput& out, std::ostream& err) {
  TMainThreadQueue window;
  bool stop = false;
  // Before any other thread exists, so that every thread started later has the signals blocked.
  TStopWatcher stopRequests([&window, &stop] { window.Queue([&stop] { stop = true; }); });
  // The window thread hands text over and goes on: a blocked standard output must not stop it
  // from serving the queue, nor the shutdown that the queue carries.
  TConsoleWriter writer(out);
  TConsoleView view([&writer](std::string text) { writer.Post(std::move(text)); });
  // After the stop watcher: the control a profile names has a thread of its own.
  const TTermControlSetup terminal = SetUpTermControl(TermProfilePath());
  TServerForm form(window, terminal.MakeDeviceJobs);
  form.MessagesLog = &view;
  form.clients_connected = &view;
  for (const std::u16string* text : {&terminal.Report, &terminal.Problem}) {
    if (!text->empty()) {
      form.log(u"", *text);
    }
  }
  try {
    form.CreateServer();
    form.Server()->AllowedOrigins = options.AllowedOrigins;
    if (options.Loopback) {
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
  if (!options.AllowedOrigins.Empty()) {
    std::u16string origins;
    for (const std::u16string& origin : options.AllowedOrigins.Origins()) {
      origins += (origins.empty() ? u"" : u" ") + origin;
    }
    view.WriteLine("pages allowed to connect: " + Utf8EncodeString(origins));
  }
  while (!stop) {
    // After a batch of log entries and counts, the next ones gather for a moment: connection
    // threads queue without waking this thread, which then takes them all in one pass instead
    // of waking for every message. A procedure queued while it was idle runs at once.
    if (window.RunFor(std::chrono::milliseconds(200)) > 0 && !stop) {
      std::this_thread::sleep_for(kLogGatherDelay);
    }
  }
  form.FormClose();
  // What the closing connections queued (their disconnect lines and counts).
  window.RunPending();
  // The output gets a moment to take the last lines, and no more.
  writer.Close();
  return 0;
}

}  // namespace vantorix
