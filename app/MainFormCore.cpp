// The main window's handlers, independent of the window toolkit.
#include "app/MainFormCore.h"

#include <exception>
#include <utility>

#include "websocket/Utf8.h"

namespace vantorix {

TMainFormCore::TMainFormCore(TWindowThread& window, TErrorReporter& errors, TMainFormSetup setup)
    : FWindow(window), FErrors(errors), FSetup(std::move(setup)) {}

TMainFormCore::~TMainFormCore() {
  FormClose();
}

void TMainFormCore::FormCreate(TLogControl& logLines, TCounterLabel& clients_connected) {
  TTermControlSetup terminal;
  if (FSetup.MakeDeviceJobs) {
    terminal.MakeDeviceJobs = FSetup.MakeDeviceJobs;
  } else {
    terminal = SetUpTermControl(FSetup.TermProfile ? *FSetup.TermProfile : TermProfilePath());
  }
  FServerForm = std::make_unique<TServerForm>(FWindow, terminal.MakeDeviceJobs);
  // The log and the counter point at the window before the listener starts, so that no line
  // of an early connection can go anywhere else.
  FServerForm->MessagesLog = &logLines;
  FServerForm->clients_connected = &clients_connected;
  if (!FSetup.StartupPort.empty()) {
    FServerForm->edPort = FSetup.StartupPort;
  }
  for (const std::u16string* text : {&terminal.Report, &terminal.Problem}) {
    if (!text->empty()) {
      FServerForm->log(u"", *text);
    }
  }
  // A failed start-up shows its box and leaves the listener stopped; the window still opens,
  // and the device jobs object exists all the same, so a later "Change" finds it.
  Handle([this] { FServerForm->FormCreate(); });
  // After the start, so that the server is serving while the operator reads the box.
  if (!terminal.Problem.empty()) {
    FErrors.ShowError(ErrorBoxText(terminal.Problem));
  }
}

void TMainFormCore::btStartClick(const std::u16string& edPort) {
  Handle([this, &edPort] { FServerForm->start(edPort); });
}

void TMainFormCore::FormClose() {
  if (FServerForm) {
    FServerForm->FormClose();
  }
}

template <typename THandler>
void TMainFormCore::Handle(THandler handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    FErrors.ShowError(ErrorBoxText(Utf8Decode(std::string_view(e.what()))));
    return;
  }
  Announce();
}

void TMainFormCore::Announce() {
  TWebSocketServer* server = FServerForm->Server();
  if (FSetup.Announce == nullptr || server == nullptr) {
    return;
  }
  for (std::size_t i = 0; i < server->Bindings.Count(); ++i) {
    *FSetup.Announce << "listening on "
                     << Utf8EncodeString(server->Bindings[i]->BoundEndpointText()) << '\n';
  }
  FSetup.Announce->flush();
}

}  // namespace vantorix
