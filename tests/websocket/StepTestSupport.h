// Helpers for running the server's connect and execute steps on one hand-made connection over
// in-memory sockets, with the upgrade request and its answer.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "websocket/FakeSockets.h"
#include "websocket/WebSocketServer.h"

namespace vantorix::test {

// Exposes the connect and execute steps, so they run on a hand-made connection.
class TStepServer : public TWebSocketServer {
 public:
  using TWebSocketServer::DoConnect;
  using TWebSocketServer::DoExecute;
};

// The sample request of RFC 6455 section 1.3 and the server's answer to it.
inline const std::string kRequest =
    "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
    "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
inline const std::string kResponse =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

// A server and one connection to it; the server end runs plan, the client end is Client.
struct TStepFixture {
  explicit TStepFixture(TFaultPlan plan = {},
                        std::size_t capacity = std::numeric_limits<std::size_t>::max()) {
    auto pair = MakeMemorySocketPair(capacity);
    Client = std::move(pair.Client);
    auto handler = std::make_unique<TIOHandler>(
        std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), std::move(plan)));
    Context =
        std::make_unique<TConnectionContext>(std::make_unique<TTCPConnection>(std::move(handler)));
  }
  void Send(const std::string& bytes) {
    Client->Send(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  // Every byte the server has sent so far.
  std::string Received() {
    std::string out;
    std::uint8_t buf[512];
    for (;;) {
      const auto n = Client->Receive(buf, sizeof buf, false);
      if (n <= 0)
        return out;
      out.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
    }
  }
  TIOHandler& Io() { return *Context->Connection->IOHandler; }

  TStepServer Server;
  std::unique_ptr<TMemoryStreamSocket> Client;
  std::unique_ptr<TConnectionContext> Context;
};

}  // namespace vantorix::test
