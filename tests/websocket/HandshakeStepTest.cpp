// The handshake step of TWebSocketServer on in-memory sockets: Tag states, dropped bytes and a
// failing response write.
#include <gtest/gtest.h>

#include <string>

#include "websocket/FakeSockets.h"
#include "websocket/WebSocketServer.h"

namespace vantorix {
namespace {

// Exposes the connect and execute steps, so they run on a hand-made connection.
class TStepServer : public TWebSocketServer {
 public:
  using TWebSocketServer::DoConnect;
  using TWebSocketServer::DoExecute;
};

const std::string kRequest =
    "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
    "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
const std::string kResponse =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

struct TStepFixture {
  explicit TStepFixture(TFaultPlan plan = {}) {
    auto pair = MakeMemorySocketPair();
    Client = std::move(pair.Client);
    auto handler = std::make_unique<TIOHandler>(
        std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), plan));
    Context =
        std::make_unique<TConnectionContext>(std::make_unique<TTCPConnection>(std::move(handler)));
  }
  void Send(const std::string& bytes) {
    Client->Send(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
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

TEST(HandshakeStep, TagGoesFromZeroToPendingToDone_Rfc6455Section4_2_2) {
  TStepFixture f;
  int tagSeenByOnConnect = 0;
  f.Server.OnConnect = [&](TConnectionContext* c) {
    tagSeenByOnConnect = c->Connection->IOHandler->Tag;
  };
  EXPECT_EQ(f.Io().Tag, kHandshakeNotStarted);
  f.Server.DoConnect(f.Context.get());
  EXPECT_EQ(tagSeenByOnConnect, kHandshakePending);
  EXPECT_TRUE(f.Server.DoExecute(f.Context.get()));  // nothing arrived yet
  EXPECT_EQ(f.Io().Tag, kHandshakePending);
  f.Send(kRequest);
  EXPECT_TRUE(f.Server.DoExecute(f.Context.get()));
  EXPECT_EQ(f.Io().Tag, kHandshakeDone);
  EXPECT_EQ(f.Received(), kResponse);
  f.Send(kRequest);  // not a handshake any more: left for the frame reader
  f.Server.DoExecute(f.Context.get());
  EXPECT_EQ(f.Received(), "");
  EXPECT_FALSE(f.Io().InputBufferIsEmpty());
}

TEST(HandshakeStep, BytesAfterTheRequestInTheSameReceiveAreDroppedWithIt) {
  TStepFixture f;
  f.Server.DoConnect(f.Context.get());
  f.Send(kRequest + std::string("\x81\x82\x01\x02\x03\x04xy", 8));
  f.Server.DoExecute(f.Context.get());
  EXPECT_EQ(f.Received(), kResponse);
  EXPECT_TRUE(f.Io().InputBufferIsEmpty());
}

TEST(HandshakeStep, ARequestThatDoesNotQualifyIsDroppedAndTheNextStepTriesAgain) {
  TStepFixture f;
  f.Server.DoConnect(f.Context.get());
  f.Send("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  f.Server.DoExecute(f.Context.get());
  EXPECT_TRUE(f.Io().InputBufferIsEmpty());
  EXPECT_EQ(f.Io().Tag, kHandshakePending);
  f.Send(kRequest);
  f.Server.DoExecute(f.Context.get());
  EXPECT_EQ(f.Io().Tag, kHandshakeDone);
  EXPECT_EQ(f.Received(), kResponse);
}

TEST(HandshakeStep, AFailedResponseWriteStillMarksTheHandshakeDone) {
  TFaultPlan plan;
  plan.FailSendAt = 1;
  TStepFixture f(plan);
  f.Server.DoConnect(f.Context.get());
  f.Send(kRequest);
  bool connected = true;
  EXPECT_NO_THROW(connected = f.Server.DoExecute(f.Context.get()));
  EXPECT_EQ(f.Io().Tag, kHandshakeDone);
  EXPECT_FALSE(connected) << "the failed write closed the connection";
}

}  // namespace
}  // namespace vantorix
