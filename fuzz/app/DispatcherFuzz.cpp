// libFuzzer target: one whole dispatcher pass of the server form fed a command text, the way a
// connection delivers it (one masked text frame on an upgraded in-memory connection), with the
// device jobs reaching two simulated terminals over in-memory links (port 4370 with demo users,
// 4371 empty): no sockets, no waiting. A command that raises has logged nothing and reached no
// terminal; after every pass, and its device work on the command thread, each terminal is enabled
// again and keeps a sound store.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "app/ServerControls.h"
#include "app/ServerForm.h"
#include "app/WindowThread.h"
#include "device/DeviceJobs.h"
#include "device/NetTermControl.h"
#include "terminal/LinkChannel.h"
#include "terminal/TerminalServer.h"
#include "websocket/FakeSockets.h"
#include "websocket/Utf8.h"
#include "websocket/WebSocketServer.h"

namespace {

using namespace vantorix;

void Require(bool condition) {
  if (!condition)
    std::abort();
}

class TCountingLog final : public TLogControl {
 public:
  void AddEntry(const std::u16string&) override { ++Entries; }
  std::size_t Entries = 0;
};

// A final, masked text frame carrying payload (RFC 6455 section 5.2), as a client sends it.
TBytes ClientTextFrame(const TBytes& payload) {
  static constexpr std::uint8_t kKey[4] = {0x37, 0xFA, 0x21, 0x3D};
  TBytes frame{0x81};
  const std::size_t n = payload.size();
  if (n <= 125) {
    frame.push_back(static_cast<std::uint8_t>(0x80 | n));
  } else {
    frame.push_back(0x80 | 126);
    frame.push_back(static_cast<std::uint8_t>(n >> 8));
    frame.push_back(static_cast<std::uint8_t>(n));
  }
  frame.insert(frame.end(), kKey, kKey + 4);
  for (std::size_t i = 0; i < n; ++i)
    frame.push_back(payload[i] ^ kKey[i % 4]);
  return frame;
}

TTerminalOptions Terminal(bool demo) {
  TTerminalOptions options;
  options.port = 0;
  options.demo = demo;
  return options;
}

void RequireSoundStore(const TTerminalStore& store) {
  Require(TTerminalStore::Decode(store.Encode()) == store);
  for (const TStoredUser& user : store.Users())
    Require(store.Find(user.info.enrollNumber) == &user);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Three bytes of text at most for each input byte: the 16-bit length form always fits.
  if (size > 0x3FFF)
    return 0;
  TTerminalServer demo(Terminal(true));
  TTerminalServer empty(Terminal(false));
  TMemoryNetwork network;
  network.Attach(4370, demo);
  network.Attach(4371, empty);

  TMainThreadQueue window;
  TCountingLog log;
  {
    TServerForm form(window, [&network] {
      return std::make_unique<TDeviceJobs>(std::make_unique<TNetTermControl>(
          TNetTermOptions{}, std::make_unique<TMemoryChannel>(network)));
    });
    form.MessagesLog = &log;
    form.CreateServer();

    // Any bytes, made well-formed UTF-8 so that the text reaches the dispatcher (the frame
    // reader's answer to ill-formed text has a target of its own).
    const TBytes text =
        Utf8Encode(Utf8Decode(std::string_view(reinterpret_cast<const char*>(data), size)));
    auto pair = MakeMemorySocketPair();
    const TBytes frame = ClientTextFrame(text);
    pair.Client->Send(frame.data(), frame.size());
    pair.Client->ShutdownSend();
    TConnectionContext context(
        std::make_unique<TTCPConnection>(std::make_unique<TIOHandler>(std::move(pair.Server))));
    context.Connection->IOHandler->Tag = kHandshakeDone;

    const long requestsBefore = demo.RequestCount() + empty.RequestCount();
    bool raised = false;
    try {
      form.OnWebSocketExecute(&context);
    } catch (const std::exception&) {
      // An invalid command: it ends its connection.
      raised = true;
    }
    // Device commands run on the connection's command thread, which ends the connection with a
    // close frame when its command raises.
    form.AwaitCommands();
    raised = raised || context.Connection->IOHandler->Tag == kCloseSent;
    window.RunPending();
    if (raised) {
      Require(log.Entries == 0);
      Require(demo.RequestCount() + empty.RequestCount() == requestsBefore);
    }
    form.FormClose();
    window.RunPending();
  }
  Require(demo.IsEnabled() && empty.IsEnabled());
  RequireSoundStore(demo.Snapshot());
  RequireSoundStore(empty.Snapshot());
  return 0;
}
