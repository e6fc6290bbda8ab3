// libFuzzer target: raw bytes as an upgrade request, through the header parser, the accept
// value, the origin allow-list, and the server's handshake step gathering a request over
// receives of any size with the frames behind it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "fuzz/websocket/FuzzSupport.h"
#include "websocket/FakeSockets.h"
#include "websocket/Handshake.h"
#include "websocket/Utf8.h"
#include "websocket/WebSocketServer.h"

namespace {

using namespace vantorix;
using vantorix::fuzz::Require;

constexpr std::u16string_view kAllowed = u"http://localhost:8000";

// Exposes the server's connect and execute steps, to run them on an in-memory connection.
class TStepServer final : public TWebSocketServer {
 public:
  using TWebSocketServer::DoConnect;
  using TWebSocketServer::DoExecute;
};

std::u16string AsciiUpper(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z')
      c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return text;
}

void FuzzHeaders(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = Utf8Decode(std::span<const std::uint8_t>(data, size));
  const THeaderMap headers = HeadersParse(text);
  const THashSHA1 hasher;
  if (auto response = HandshakeResponse(headers, hasher)) {
    // 97 characters of fixed head, 28 of accept value, 4 of tail.
    Require(response->size() == 129);
  }
  // A canonical origin is its own canonical form, whatever the letter case it was written in,
  // and a list holding it allows it.
  if (const auto canonical = CanonicalOrigin(text)) {
    Require(CanonicalOrigin(*canonical) == canonical);
    Require(CanonicalOrigin(AsciiUpper(text)) == canonical);
    TOriginAllowList list;
    list.Add(*canonical);
    Require(list.Allows(THeaderMap{{u"Origin", text}}));
  }
  TOriginAllowList list;
  list.Add(kAllowed);
  const auto origin = headers.find(u"Origin");
  Require(list.Allows(headers) ==
          (origin == headers.end() || CanonicalOrigin(origin->second) == kAllowed));
}

// The first byte picks the receive size and whether an allow-list is set; the rest is what the
// client sends before it closes. The server gathers the request, answers it, and reads messages
// as the dispatcher does. It sends nothing, a 403 and nothing else, or a 101 followed by
// control frames only.
void FuzzHandshakeStep(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return;
  auto pair = MakeMemorySocketPair();
  TFaultPlan plan;
  plan.MaxReceiveChunk = 1 + data[0] % 16;
  auto handler = std::make_unique<TIOHandler>(
      std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), plan));
  TConnectionContext context(std::make_unique<TTCPConnection>(std::move(handler)));
  TStepServer server;
  server.MaxRequestBytes = 256;
  if (data[0] & 0x10)
    server.AllowedOrigins.Add(kAllowed);
  int refusals = 0;
  server.OnOriginRefused = [&](TConnectionContext*, const std::u16string&) { ++refusals; };
  server.OnExecute = [](TConnectionContext* c) {
    TWebSocketIOHandlerHelper(*c->Connection->IOHandler).ReadString();
  };
  if (size > 1)
    pair.Client->Send(data + 1, size - 1);
  pair.Client->ShutdownSend();
  server.DoConnect(&context);
  for (int guard = 0; guard < 100000 && server.DoExecute(&context); ++guard) {
  }
  const TBytes out = fuzz::Drain(*pair.Client);
  Require(refusals <= 1);
  if (refusals == 1) {
    Require(out == Utf8Encode(ForbiddenResponse()));
    Require(context.Connection->IOHandler->Tag == kHandshakePending);
    return;
  }
  if (out.empty())
    return;
  static constexpr std::string_view k101 = "HTTP/1.1 101 Switching Protocols\r\n";
  constexpr std::size_t kResponseSize = 129;
  Require(out.size() >= kResponseSize && std::equal(k101.begin(), k101.end(), out.begin()));
  Require(fuzz::ControlFramesOnly(std::span(out).subspan(kResponseSize)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzHeaders(data, size);
  FuzzHandshakeStep(data, size);
  return 0;
}
