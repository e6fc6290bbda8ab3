// The WebSocket server over real loopback sockets: listener, events, handshake, frames.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "tests/websocket/ServerTestSupport.h"
#include "tests/websocket/support/WsTestClient.h"
#include "websocket/SocketErrors.h"
#include "websocket/Utf8.h"

namespace vantorix::test {
namespace {

using ::testing::ElementsAre;

const std::string kSampleResponse =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

// Echoes every text message back, as the dispatcher does with its 10 ms wait.
void EchoExecute(TConnectionContext* AContext) {
  TIOHandler& io = *AContext->Connection->IOHandler;
  io.CheckForData(10);
  TWebSocketIOHandlerHelper ws(io);
  const std::u16string text = ws.ReadString();
  if (!text.empty())
    ws.WriteString(text);
}

TEST(WebSocketHandshake, AnswersTheSampleRequestOfRfc6455Section1_3) {
  TWebSocketServer server;
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient client("127.0.0.1", port);
  EXPECT_EQ(client.Handshake(), kSampleResponse);
}

TEST(WebSocketFrames, EchoesATextMessageAfterTheHandshake) {
  TWebSocketServer server;
  server.OnExecute = EchoExecute;
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient client("127.0.0.1", port);
  ASSERT_TRUE(client.Open());
  client.SendText("Hello");
  auto frame = client.ReadFrame();
  ASSERT_TRUE(frame.has_value());
  EXPECT_THAT(frame->Raw, ElementsAre(0x81, 5, 'H', 'e', 'l', 'l', 'o'));
}

}  // namespace
}  // namespace vantorix::test
