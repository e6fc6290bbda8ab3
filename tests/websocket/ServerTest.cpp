// The WebSocket server over real loopback sockets: listener, events, handshake, frames.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "net/SocketErrors.h"
#include "tests/websocket/ServerTestSupport.h"
#include "tests/websocket/support/WsTestClient.h"
#include "websocket/Utf8.h"
#include "websocket/WebSocketFrames.h"

namespace vantorix::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const std::string kSampleResponse =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

// Records the events of every connection.
struct TRecorder {
  std::mutex Lock;
  std::vector<std::string> Events;
  std::vector<std::size_t> ContextsAtConnect, ContextsAtDisconnect;
  std::vector<TSocketHandle> Bindings;
  std::atomic<int> Disconnects{0};

  void Attach(TWebSocketServer& server, TCustomTCPServer::TContextEvent execute = EchoExecute) {
    server.OnConnect = [this, &server](TConnectionContext* c) {
      const std::size_t n = server.Contexts.Lock().Count();
      std::lock_guard lock(Lock);
      Events.push_back("connect");
      ContextsAtConnect.push_back(n);
      Bindings.push_back(*c->Connection->Socket->Binding);
    };
    server.OnExecute = [this, execute](TConnectionContext* c) {
      {
        std::lock_guard lock(Lock);
        if (Events.empty() || Events.back() != "execute")
          Events.push_back("execute");
      }
      execute(c);
    };
    server.OnDisconnect = [this, &server](TConnectionContext*) {
      const std::size_t n = server.Contexts.Lock().Count();
      {
        std::lock_guard lock(Lock);
        Events.push_back("disconnect");
        ContextsAtDisconnect.push_back(n);
      }
      ++Disconnects;
    };
  }
  std::vector<std::string> Snapshot() {
    std::lock_guard lock(Lock);
    return Events;
  }
};

TRawBytes Concat(const TRawBytes& head, std::string_view tail) {
  std::string all(head.begin(), head.end());
  all += tail;
  return TRawBytes(all.begin(), all.end());
}

std::int32_t OnlyTag(TCustomTCPServer& server) {
  auto list = server.Contexts.Lock();
  return list.Count() == 1 ? list[0]->Connection->IOHandler->Tag.load() : 99;
}

TEST(WebSocketHandshake, AnswersTheSampleRequestOfRfc6455Section1_3) {
  TWebSocketServer server;
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient client("127.0.0.1", port);
  EXPECT_EQ(client.Handshake(), kSampleResponse);
}

TEST(WebSocketHandshake, WhichRequestsAreAnswered_Rfc6455Section4_2_1) {
  const std::string key = "x3JJHMbDL1EzLkh9GBhXDw==";
  const std::string upgraded =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
      "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
      TWsTestClient::AcceptFor(key) + "\r\n\r\n";
  struct {
    const char* name;
    std::string request;
    bool answered;
  } const cases[] = {
      {"spaces and tab around the key",
       "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key:  \t" + key + " \t\r\n\r\n",
       true},
      {"repeated key: the last counts",
       "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: AAAA\r\nSec-WebSocket-Key: " +
           key + "\r\n\r\n",
       true},
      {"no Connection or Version header",
       "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: " + key + "\r\n\r\n", true},
      {"POST", "POST /x HTTP/1.1\r\nSec-WebSocket-Key: " + key + "\r\nUpgrade: websocket\r\n\r\n",
       true},
      {"plain GET", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", false},
      {"lower-case names (RFC 7230 3.2), as Node's built-in WebSocket sends them",
       "GET / HTTP/1.1\r\nupgrade: websocket\r\nsec-websocket-key: " + key + "\r\n\r\n", true},
      {"other case of the value",
       "GET / HTTP/1.1\r\nUpgrade: WebSocket\r\nSec-WebSocket-Key: " + key + "\r\n\r\n", true},
      {"list of protocols",
       "GET / HTTP/1.1\r\nUpgrade: websocket, h2c\r\nSec-WebSocket-Key: " + key + "\r\n\r\n",
       false},
      {"no space after the colon",
       "GET / HTTP/1.1\r\nUpgrade:websocket\r\nSec-WebSocket-Key: " + key + "\r\n\r\n", false},
      {"no key", "GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n", false},
  };
  TRecorder recorder;  // outlives the server's threads
  TWebSocketServer server;
  recorder.Attach(server);
  const std::uint16_t port = StartOnLoopback(server);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int disconnectsBefore = recorder.Disconnects;
    {
      TWsTestClient client("127.0.0.1", port);
      client.SendRaw(c.request);
      const TRawBytes answer =
          c.answered ? client.ReadRaw(upgraded.size(), 5000) : client.ReadAvailable(300);
      if (c.answered) {
        EXPECT_EQ(std::string(answer.begin(), answer.end()), upgraded);
        EXPECT_TRUE(client.ReadAvailable(100).empty()) << "nothing after the response";
      } else {
        EXPECT_TRUE(answer.empty());
        EXPECT_FALSE(client.IsClosed()) << "the connection stays open";
        EXPECT_EQ(OnlyTag(server), kHandshakePending);
      }
    }
    ASSERT_TRUE(Eventually([&] { return recorder.Disconnects == disconnectsBefore + 1; }));
  }
}

TEST(WebSocketHandshake, LateRequestsAreStillUpgradedAndTheirBytesNeverReadAsFrames) {
  TWebSocketServer server;
  server.OnExecute = EchoExecute;
  const std::uint16_t port = StartOnLoopback(server);
  for (int delayMs : {0, 50, 300}) {
    SCOPED_TRACE(delayMs);
    TWsTestClient client("127.0.0.1", port);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    ASSERT_TRUE(client.Open());
    client.SendText("after a late request");
    EXPECT_EQ(client.ReadText(), "after a late request");
  }
}

// The request comes in two TCP writes, the second with a frame behind the request: the server
// answers once the blank line has come, and the frame is the first message.
TEST(WebSocketHandshake, RequestInTwoWritesIsAnsweredAndAFrameInTheSameWriteKept) {
  TWebSocketServer server;
  server.OnExecute = EchoExecute;
  const std::uint16_t port = StartOnLoopback(server);
  const std::string request = TWsTestClient::UpgradeRequest();
  const std::size_t blank = request.size() - 4;
  struct {
    const char* name;
    std::size_t cut;
  } const cases[] = {
      {"before the upgrade header", request.find("Upgrade")},
      {"inside the key", request.find("dGhl") + 5},
      {"inside the blank line", blank + 2},
      {"before the last byte", request.size() - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TWsTestClient client("127.0.0.1", port);
    client.SendRaw(request.substr(0, c.cut));
    EXPECT_TRUE(client.ReadAvailable(100).empty()) << "no answer to half a request";
    const std::uint8_t frame[] = {0x81, 0x82, 1, 2, 3, 4, 'o' ^ 1, 'k' ^ 2};
    std::string rest = request.substr(c.cut);
    rest.append(reinterpret_cast<const char*>(frame), sizeof frame);
    client.SendRaw(rest);
    const TRawBytes answer = client.ReadRaw(kSampleResponse.size());
    EXPECT_EQ(std::string(answer.begin(), answer.end()), kSampleResponse);
    EXPECT_EQ(client.ReadText(), "ok");
  }
}

TEST(WebSocketHandshake, ABrowserRequestWithCookiesIsAnsweredAndAnOversizedOneClosed) {
  TWebSocketServer server;
  server.OnExecute = EchoExecute;
  const std::uint16_t port = StartOnLoopback(server);
  auto withCookies = [](std::size_t bytes) {
    std::string request = TWsTestClient::UpgradeRequest();
    request.insert(request.size() - 2, "Cookie: c=" + std::string(bytes, 'c') + "\r\n");
    return request;
  };
  {
    TWsTestClient client("127.0.0.1", port);
    client.SendRaw(withCookies(40 * 1024));
    const TRawBytes answer = client.ReadRaw(kSampleResponse.size());
    EXPECT_EQ(std::string(answer.begin(), answer.end()), kSampleResponse);
  }
  {
    TWsTestClient client("127.0.0.1", port);
    try {
      client.SendRaw(withCookies(server.MaxRequestBytes));
    } catch (const std::runtime_error&) {
      // the server may close while the rest is still being sent
    }
    EXPECT_TRUE(client.WaitForClose());
  }
}

// Connections waiting for their request wait on the socket: no execute step runs for them in
// the meantime, and deactivation ends them at once rather than at the end of their time limit.
TEST(WebSocketHandshake, PendingConnectionsWaitWithoutPollingAndDeactivationEndsThem) {
  TRecorder recorder;  // outlives the server's threads
  std::atomic<int> executes{0};
  TWebSocketServer server;
  recorder.Attach(server, [&](TConnectionContext* c) {
    ++executes;
    EchoExecute(c);
  });
  const std::uint16_t port = StartOnLoopback(server);
  std::vector<std::unique_ptr<TWsTestClient>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<TWsTestClient>("127.0.0.1", port));
    if (i % 2 == 1)
      clients.back()->SendRaw(TWsTestClient::UpgradeRequest().substr(0, 30));
  }
  ASSERT_TRUE(Eventually([&] { return server.Contexts.Lock().Count() == 20; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(executes, 0) << "a pending connection ran its execute step";
  const auto start = std::chrono::steady_clock::now();
  server.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(server.HandshakeTimeoutMs / 2))
      << "deactivation waited for the handshake time limit";
  EXPECT_EQ(recorder.Disconnects, 20);
  for (auto& client : clients)
    EXPECT_TRUE(client->WaitForClose());
}

TEST(WebSocketHandshake, AnUpgradeRequestAfterTheHandshakeIsReadAsAFrameAndRejected) {
  TWebSocketServer server;
  server.OnExecute = EchoExecute;
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient client("127.0.0.1", port);
  ASSERT_TRUE(client.Open());
  client.SendRaw(TWsTestClient::UpgradeRequest());
  auto frame = client.ReadFrame();
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->Opcode, 8);  // "G" has a reserved bit set: close 1002, not a second 101
  EXPECT_EQ(frame->CloseCode(), 1002);
  EXPECT_TRUE(client.WaitForClose());
}

TEST(WebSocketServer, ConnectionEventsAndContextsMembership) {
  TRecorder recorder;  // outlives the server's threads
  TWebSocketServer server;
  recorder.Attach(server);
  const std::uint16_t port = StartOnLoopback(server);
  std::uint16_t clientPort = 0;
  {
    TWsTestClient client("127.0.0.1", port);
    clientPort = client.LocalPort();
    ASSERT_TRUE(Eventually([&] { return !recorder.Snapshot().empty(); }));
  }
  ASSERT_TRUE(Eventually([&] { return recorder.Disconnects == 1; }));
  EXPECT_THAT(recorder.Snapshot(), ElementsAre("connect", "execute", "disconnect"));
  EXPECT_THAT(recorder.ContextsAtConnect, ElementsAre(1u));
  EXPECT_THAT(recorder.ContextsAtDisconnect, ElementsAre(1u));
  EXPECT_TRUE(Eventually([&] { return server.Contexts.Lock().Count() == 0; }));
  ASSERT_EQ(recorder.Bindings.size(), 1u);
  const TSocketHandle& b = recorder.Bindings[0];
  EXPECT_EQ(b.Port, port);
  EXPECT_EQ(b.IP, u"127.0.0.1");
  EXPECT_EQ(b.PeerIP, u"127.0.0.1");
  EXPECT_EQ(b.PeerPort, clientPort);
}

TEST(WebSocketServer, Ipv6LoopbackPeerIsWrittenAsEightGroups) {
  if (!PlatformSocketApi().HasIPv6())
    GTEST_SKIP() << "no IPv6 on this machine";
  TRecorder recorder;  // outlives the server's threads
  TWebSocketServer server;
  recorder.Attach(server);
  std::uint16_t port = 0;
  try {
    port = StartOnLoopback(server, u"::1");
  } catch (const TSocketError& e) {
    GTEST_SKIP() << "no IPv6 loopback: " << e.what();
  }
  EXPECT_EQ(server.Bindings[0]->BoundEndpointText(),
            u"[0:0:0:0:0:0:0:1]:" + Utf8Decode(std::to_string(port)));
  TWsTestClient client("::1", port);
  ASSERT_TRUE(client.Open());
  server.SetActive(false);
  ASSERT_EQ(recorder.Bindings.size(), 1u);
  EXPECT_EQ(recorder.Bindings[0].PeerIP, u"0:0:0:0:0:0:0:1");
  EXPECT_EQ(recorder.Bindings[0].IP, u"0:0:0:0:0:0:0:1");
  EXPECT_EQ(recorder.Bindings[0].IPVersion, TIPVersion::IPv6);
}

TEST(WebSocketServer, DefaultBindingsAreIpv4AndIpv6AnyAddressAndStayAfterStopping) {
  TWebSocketServer server;
  server.SetDefaultPort(0);
  server.SetActive(true);
  const bool ipv6 = PlatformSocketApi().HasIPv6();
  ASSERT_EQ(server.Bindings.Count(), ipv6 ? 2u : 1u);
  EXPECT_EQ(server.Bindings[0]->IPVersion, TIPVersion::IPv4);
  EXPECT_EQ(server.Bindings[0]->BoundIP, u"0.0.0.0");
  EXPECT_NE(server.Bindings[0]->BoundPort, 0);
  if (ipv6) {
    EXPECT_EQ(server.Bindings[1]->IPVersion, TIPVersion::IPv6);
    EXPECT_EQ(server.Bindings[1]->BoundIP, u"0:0:0:0:0:0:0:0");
  }
  TWsTestClient client("127.0.0.1", server.Bindings[0]->BoundPort);
  EXPECT_TRUE(client.Open());
  server.SetActive(false);
  EXPECT_EQ(server.Bindings.Count(), ipv6 ? 2u : 1u);
  EXPECT_EQ(server.Bindings[0]->BoundPort, 0);
  EXPECT_TRUE(server.Bindings[0]->BoundEndpointText().empty());
}

TEST(WebSocketServer, PortInUseRaises10048LeavesItInactiveAndALaterActivationSucceeds) {
  TWebSocketServer holder;
  const std::uint16_t port = StartOnLoopback(holder);
  TWebSocketServer server;
  server.Bindings.Add()->IP = u"127.0.0.1";
  server.Bindings[0]->Port = port;
  try {
    server.SetActive(true);
    FAIL() << "no error";
  } catch (const TSocketError& e) {
    EXPECT_EQ(e.Code(), 10048);
    EXPECT_STREQ(e.what(), "Socket Error # 10048\r\nAddress already in use.");
  }
  EXPECT_FALSE(server.Active());
  holder.SetActive(false);
  server.SetActive(true);
  EXPECT_TRUE(server.Active());
  EXPECT_EQ(server.Bindings[0]->BoundPort, port);
  TWsTestClient client("127.0.0.1", port);
  EXPECT_TRUE(client.Open());
}

TEST(WebSocketServer, FailedActivationClosesTheSocketsItOpened) {
  std::uint16_t freePort = 0;
  {
    TWebSocketServer probe;
    freePort = StartOnLoopback(probe);
  }
  TWebSocketServer holder;
  const std::uint16_t busyPort = StartOnLoopback(holder);
  TWebSocketServer server;
  server.Bindings.Add()->IP = u"127.0.0.1";
  server.Bindings[0]->Port = freePort;
  server.Bindings.Add()->IP = u"127.0.0.1";
  server.Bindings[1]->Port = busyPort;
  EXPECT_THROW(server.SetActive(true), TSocketError);
  EXPECT_FALSE(server.Active());
  TWebSocketServer other;
  other.Bindings.Add()->IP = u"127.0.0.1";
  other.Bindings[0]->Port = freePort;
  EXPECT_NO_THROW(other.SetActive(true)) << "the first binding's socket was released";
}

TEST(WebSocketServer, SettingActiveToItsValueDoesNothing) {
  TWebSocketServer server;
  server.SetActive(false);
  EXPECT_FALSE(server.Active());
  const std::uint16_t port = StartOnLoopback(server);
  server.SetActive(true);  // a second bind would fail with 10048
  EXPECT_EQ(server.Bindings[0]->BoundPort, port);
  TWsTestClient client("127.0.0.1", port);
  EXPECT_TRUE(client.Open());
}

TEST(WebSocketServer, RebindsThePortRightAfterClientsWereConnected) {
  TWebSocketServer server;
  server.OnExecute = EchoExecute;
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient client("127.0.0.1", port);
  ASSERT_TRUE(client.Open());
  client.SendText("x");
  ASSERT_TRUE(client.ReadText().has_value());
  server.SetActive(false);  // the server closes first: its side waits in TIME_WAIT
  EXPECT_TRUE(client.WaitForClose());
  server.Bindings[0]->Port = port;
  EXPECT_NO_THROW(server.SetActive(true));
  TWsTestClient again("127.0.0.1", port);
  EXPECT_TRUE(again.Open());
}

// An invalid command ends its connection; the client first learns why in a close frame with
// 1007. A socket error is no invalid command: the connection just ends.
TEST(WebSocketServer, AnErrorEscapingOnExecuteSendsClose1007WithItsMessage) {
  using Throw = std::function<void()>;
  struct {
    const char* name;
    Throw raise;
    std::optional<TRawBytes> close;  // nullopt: the connection ends without a close frame
  } const cases[] = {
      {"conversion error", [] { throw std::invalid_argument("'x' is not a valid integer value"); },
       Concat({0x88, 34, 0x03, 0xEF}, "'x' is not a valid integer value")},
      {"long message, cut to fit", [] { throw std::runtime_error(std::string(300, 'm')); },
       Concat({0x88, 125, 0x03, 0xEF}, std::string(123, 'm'))},
      {"no message to give", [] { throw 42; }, TRawBytes{0x88, 2, 0x03, 0xEF}},
      {"socket error", [] { throw TSocketError(10055); }, std::nullopt},
  };
  TRecorder recorder;  // outlives the server's threads
  TWebSocketServer server;
  recorder.Attach(server, [&cases](TConnectionContext* c) {
    TIOHandler& io = *c->Connection->IOHandler;
    io.CheckForData(10);
    TWebSocketIOHandlerHelper ws(io);
    const std::u16string text = ws.ReadString();
    if (text.size() == 1 && text[0] >= u'0' && text[0] <= u'9')
      cases[text[0] - u'0'].raise();  // the case's number
    if (!text.empty())
      ws.WriteString(text);
  });
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient bystander("127.0.0.1", port);
  ASSERT_TRUE(bystander.Open());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.name);
    TWsTestClient client("127.0.0.1", port);
    ASSERT_TRUE(client.Open());
    client.SendText(std::to_string(i));
    const std::optional<TWsFrame> frame = client.ReadFrame();
    if (c.close) {
      ASSERT_TRUE(frame.has_value());
      EXPECT_EQ(frame->Raw, *c.close);
    } else {
      EXPECT_FALSE(frame.has_value());
    }
    EXPECT_TRUE(client.WaitForClose());
    EXPECT_TRUE(Eventually([&] { return recorder.Disconnects == static_cast<int>(i) + 1; }));
    bystander.SendText("still here");
    EXPECT_EQ(bystander.ReadText(), "still here");
  }
}

// A connection closed by the server (a failed command) while the client's next message is
// already buffered still ends: the buffered message is read and dropped, never carried out, and
// the connection thread does not go on finding the connection alive.
TEST(WebSocketServer, CloseWithTheNextMessageBufferedEndsTheConnection_Rfc6455Section5_5_1) {
  TRecorder recorder;  // outlives the server's threads
  TWebSocketServer server;
  std::atomic<int> carriedOut{0};
  recorder.Attach(server, [&](TConnectionContext* c) {
    TIOHandler& io = *c->Connection->IOHandler;
    io.CheckForData(10);
    const std::u16string text = TWebSocketIOHandlerHelper(io).ReadString();
    if (text == u"fail") {
      server.CloseConnection(c, kCloseInvalidData, "failed");
    } else if (!text.empty()) {
      ++carriedOut;
    }
  });
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient client("127.0.0.1", port);
  ASSERT_TRUE(client.Open());
  // Both messages in one write, so that the server buffers the second with the first. The
  // zero mask leaves the payloads as they are.
  const std::string both =
      std::string("\x81\x84\0\0\0\0fail", 10) + std::string("\x81\x85\0\0\0\0later", 11);
  client.SendRaw(both);
  const std::optional<TWsFrame> frame = client.ReadFrame();
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->CloseCode(), kCloseInvalidData);
  EXPECT_TRUE(client.WaitForClose());
  EXPECT_TRUE(Eventually([&] { return recorder.Disconnects == 1; }))
      << "the connection is still listed";
  EXPECT_EQ(carriedOut, 0) << "a message behind the close was carried out";
}

// Messages sent together get their replies, in order, whether or not the client then ends
// what it sends (a FIN right behind them: the replies held for the batch still go out). The
// execute step waits only when nothing is buffered, as the server form's does.
TEST(WebSocketServer, EveryMessageOfABatchIsAnsweredInOrder) {
  for (const bool finBehind : {false, true}) {
    SCOPED_TRACE(finBehind ? "FIN behind the batch" : "connection left open");
    TRecorder recorder;  // outlives the server's threads
    TWebSocketServer server;
    recorder.Attach(server, [](TConnectionContext* c) {
      TIOHandler& io = *c->Connection->IOHandler;
      if (io.InputBufferIsEmpty())
        io.CheckForData(10);
      TWebSocketIOHandlerHelper ws(io);
      const std::u16string text = ws.ReadString();
      if (!text.empty())
        ws.WriteString(text);
    });
    const std::uint16_t port = StartOnLoopback(server);
    TWsTestClient client("127.0.0.1", port);
    ASSERT_TRUE(client.Open());
    std::string batch;
    for (char c = 'a'; c <= 'e'; ++c)
      batch += std::string("\x81\x82\0\0\0\0m", 7) + c;
    client.SendRaw(batch);
    if (finBehind)
      client.ShutdownSending();
    for (char c = 'a'; c <= 'e'; ++c)
      EXPECT_EQ(client.ReadText(), std::string("m") + c);
  }
}

TEST(WebSocketServer, DeactivationWaitsForABusyOnExecuteAndItsDisconnect) {
  TWebSocketServer server;
  std::atomic<bool> busy{false};
  std::atomic<bool> executeDone{false};
  std::atomic<bool> disconnectDone{false};
  server.OnExecute = [&](TConnectionContext* c) {
    TIOHandler& io = *c->Connection->IOHandler;
    io.CheckForData(10);
    if (TWebSocketIOHandlerHelper(io).ReadString() == u"work") {
      busy = true;
      std::this_thread::sleep_for(std::chrono::seconds(2));  // a device job in progress
      executeDone = true;
    }
  };
  server.OnDisconnect = [&](TConnectionContext*) { disconnectDone = executeDone.load(); };
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient client("127.0.0.1", port);
  ASSERT_TRUE(client.Open());
  client.SendText("work");
  ASSERT_TRUE(Eventually([&] { return busy.load(); }));
  server.SetActive(false);
  EXPECT_TRUE(executeDone);
  EXPECT_TRUE(disconnectDone) << "OnDisconnect ran after OnExecute returned";
  EXPECT_EQ(server.Contexts.Lock().Count(), 0u);
  EXPECT_TRUE(client.WaitForClose());
}

// Deactivation tells every upgraded client it is going away (1001) and lets it answer; a
// client that does not answer holds it no longer than GoingAwayTimeoutMs, and one that never
// upgraded is closed without a frame.
TEST(WebSocketServer, DeactivationSaysGoingAwayAndWaitsBrieflyForTheAnswer) {
  TRecorder recorder;
  TWebSocketServer server;
  recorder.Attach(server);
  server.GoingAwayTimeoutMs = 1000;
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient polite("127.0.0.1", port);
  TWsTestClient silent("127.0.0.1", port);
  TWsTestClient pending("127.0.0.1", port);
  ASSERT_TRUE(polite.Open());
  ASSERT_TRUE(silent.Open());
  // The pending client's connection must have been accepted too, or deactivation may come
  // before it and find only two connections.
  ASSERT_TRUE(Eventually([&] {
    std::size_t upgraded = 0;
    const auto list = server.Contexts.Lock();
    for (TConnectionContext* c : list)
      upgraded += c->Connection->IOHandler->Tag == kHandshakeDone ? 1 : 0;
    return upgraded == 2 && list.Count() == 3;
  }));
  std::optional<TWsFrame> politeClose;
  bool politeEnded = false;
  std::thread answer([&] {
    politeClose = polite.ReadFrame(10000);
    polite.SendClose(1001);
    politeEnded = polite.WaitForClose(10000);
  });
  const auto start = std::chrono::steady_clock::now();
  server.SetActive(false);
  const auto took = std::chrono::steady_clock::now() - start;
  answer.join();
  ASSERT_TRUE(politeClose);
  EXPECT_EQ(politeClose->Opcode, 8);
  EXPECT_EQ(politeClose->CloseCode(), 1001);
  EXPECT_EQ(politeClose->Text().substr(2), "server shutting down");
  EXPECT_TRUE(politeEnded) << "no second close frame, and the connection ends";
  const std::optional<TWsFrame> silentClose = silent.ReadFrame(0);
  ASSERT_TRUE(silentClose);
  EXPECT_EQ(silentClose->CloseCode(), 1001);
  EXPECT_TRUE(silent.WaitForClose(0));
  EXPECT_TRUE(pending.ReadRaw(1, 0).empty());
  EXPECT_TRUE(pending.WaitForClose(0));
  EXPECT_GE(took, std::chrono::milliseconds(1000)) << "the silent client was given its time";
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(recorder.Disconnects, 3);
}

TEST(WebSocketFrames, ServerFrameFormsAtEveryLengthBoundary_Rfc6455Section5_2) {
  TWebSocketServer server;
  server.OnExecute = EchoExecute;
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient client("127.0.0.1", port);
  ASSERT_TRUE(client.Open());
  struct {
    std::size_t n;
    TRawBytes header;
  } const cases[] = {
      {5, {0x81, 0x05}},
      {125, {0x81, 0x7D}},
      {126, {0x81, 0x7E, 0x00, 0x7E}},
      {65535, {0x81, 0x7E, 0xFF, 0xFF}},
      {65536, {0x81, 0x7F, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00}},
      {70000, {0x81, 0x7F, 0, 0, 0, 0, 0x00, 0x01, 0x11, 0x70}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    std::string text(c.n, 'a');
    for (std::size_t i = 0; i < c.n; ++i)
      text[i] = static_cast<char>('a' + i % 26);
    client.SendText(text);
    auto frame = client.ReadFrame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_FALSE(frame->Masked);
    EXPECT_TRUE(std::equal(c.header.begin(), c.header.end(), frame->Raw.begin()));
    EXPECT_EQ(frame->Raw.size(), c.header.size() + c.n);
    EXPECT_EQ(frame->Text(), text);
  }
  // Non-ASCII text: the length counts UTF-8 bytes, not characters.
  client.SendText("\xC3\xA9t\xC3\xA9");
  auto frame = client.ReadFrame();
  ASSERT_TRUE(frame.has_value());
  EXPECT_THAT(frame->Raw, ElementsAre(0x81, 5, 0xC3, 0xA9, 't', 0xC3, 0xA9));
}

// One client per rule; after the frames the server must either go on (and echo "next") or send
// the close frame and end the connection.
TEST(WebSocketFrames, ClientFrameRulesOverTheWire_Rfc6455Sections5And7_4) {
  using Send = std::function<void(TWsTestClient&)>;
  const TRawBytes huge{0x81, 0xFF, 0, 0, 0, 0, 0x80, 0, 0, 0, 1, 2, 3, 4};
  struct {
    const char* name;
    Send send;
    std::optional<TRawBytes> answer;  // the frame the server sends first
    bool closes;
  } const cases[] = {
      {"ping gets a pong with its payload (5.5.2)", [](auto& c) { c.SendPing("hb"); },
       TRawBytes{0x8A, 0x02, 'h', 'b'}, false},
      {"pong is ignored (5.5.3)", [](auto& c) { c.SendPong("x"); }, std::nullopt, false},
      {"binary is dropped",
       [](auto& c) {
         const std::uint8_t b[] = {0x81, 0x85, 0x81, 0x81};
         c.SendBinary(b);
       },
       std::nullopt, false},
      {"fragmented text is reassembled (5.4)", [](auto& c) { c.SendText("frag", 1); },
       TRawBytes{0x81, 4, 'f', 'r', 'a', 'g'}, false},
      {"close is echoed (5.5.1)", [](auto& c) { c.SendClose(1001); },
       TRawBytes{0x88, 2, 0x03, 0xE9}, true},
      {"close 1005 is never sent back (7.4.1)", [](auto& c) { c.SendClose(1005); },
       TRawBytes{0x88, 2, 0x03, 0xEA}, true},
      {"unmasked frame (5.1)",
       [](auto& c) {
         const std::uint8_t p[] = {'h', 'i'};
         c.SendFrame(true, 1, p, false);
       },
       TRawBytes{0x88, 2, 0x03, 0xEA}, true},
      {"reserved bit (5.2)",
       [](auto& c) {
         const std::uint8_t p[] = {'h', 'i'};
         c.SendFrame(true, 1, p, true, 4);
       },
       TRawBytes{0x88, 2, 0x03, 0xEA}, true},
      {"unknown opcode (5.2)", [](auto& c) { c.SendFrame(true, 3, {}); },
       TRawBytes{0x88, 2, 0x03, 0xEA}, true},
      {"control frame over 125 bytes (5.5)", [](auto& c) { c.SendPing(std::string(126, 'p')); },
       TRawBytes{0x88, 2, 0x03, 0xEA}, true},
      {"fragmented control frame (5.5)", [](auto& c) { c.SendFrame(false, 9, {}); },
       TRawBytes{0x88, 2, 0x03, 0xEA}, true},
      {"continuation without a message (5.4)", [](auto& c) { c.SendFrame(true, 0, {}); },
       TRawBytes{0x88, 2, 0x03, 0xEA}, true},
      {"text that is not UTF-8 (8.1)", [](auto& c) { c.SendText("caf\xC3"); },
       TRawBytes{0x88, 2, 0x03, 0xEF}, true},
      {"2 GiB announced (7.4.1)", [&huge](auto& c) { c.SendRaw(huge); },
       TRawBytes{0x88, 2, 0x03, 0xF1}, true},
  };
  TWebSocketServer server;
  server.OnExecute = EchoExecute;
  const std::uint16_t port = StartOnLoopback(server);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TWsTestClient client("127.0.0.1", port);
    ASSERT_TRUE(client.Open());
    c.send(client);
    if (c.answer) {
      auto frame = client.ReadFrame();
      ASSERT_TRUE(frame.has_value());
      EXPECT_THAT(frame->Raw, ElementsAreArray(*c.answer));
    }
    if (c.closes) {
      EXPECT_TRUE(client.WaitForClose());
    } else {
      client.SendText("next");
      auto frame = client.ReadFrame();
      ASSERT_TRUE(frame.has_value());
      EXPECT_EQ(frame->Text(), "next") << "nothing else was sent and the stream is in step";
    }
  }
}

TEST(WebSocketServer, PeerResetOrCloseInsideAFrameEndsTheConnectionQuietly) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    TRecorder recorder;
    TWebSocketServer server;
    recorder.Attach(server);
    const std::uint16_t port = StartOnLoopback(server);
    {
      TWsTestClient client("127.0.0.1", port);
      ASSERT_TRUE(client.Open());
      const std::uint8_t partial[] = {0x81, 0x85, 1, 2, 3, 4, 'H' ^ 1};
      client.SendRaw(partial);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (reset) {
        client.Reset();
      } else {
        client.Close();
      }
    }
    EXPECT_TRUE(Eventually([&] { return recorder.Disconnects == 1; }));
    EXPECT_TRUE(Eventually([&] { return server.Contexts.Lock().Count() == 0; }));
    TWsTestClient next("127.0.0.1", port);
    ASSERT_TRUE(next.Open());
    next.SendText("fine");
    EXPECT_EQ(next.ReadText(), "fine");
  }
}

TEST(WebSocketServer, AWriteToAClientThatStoppedReadingFailsAndClosesIt) {
  TWebSocketServer server;
  std::atomic<bool> writeFailed{false};
  server.OnConnect = [](TConnectionContext* c) {
    c->Connection->IOHandler->SetSendLimits({.StallTimeoutMs = 200});
  };
  server.OnExecute = [&](TConnectionContext* c) {
    TIOHandler& io = *c->Connection->IOHandler;
    io.CheckForData(10);
    TWebSocketIOHandlerHelper ws(io);
    if (ws.ReadString() != u"flood")
      return;
    const TBytes big(4 << 20, 'x');
    for (int i = 0; i < 64 && io.Connected(); ++i)
      ws.WriteBytes(big);
    writeFailed = !io.Connected();
  };
  const std::uint16_t port = StartOnLoopback(server);
  TWsTestClient client("127.0.0.1", port);
  ASSERT_TRUE(client.Open());
  client.SendText("flood");  // and never read again
  EXPECT_TRUE(Eventually([&] { return writeFailed.load(); }, 20000));
  EXPECT_TRUE(Eventually([&] { return server.Contexts.Lock().Count() == 0; }));
}

}  // namespace
}  // namespace vantorix::test

namespace vantorix::test {
namespace {

TEST(TcpServer, ReadsOnAConnectionWhosePeerClosedOverRealSockets) {
  std::atomic<bool> clientGone{false};
  std::atomic<bool> checked{false};
  std::vector<std::string> results;
  TCustomTCPServer server;
  server.OnExecute = [&](TConnectionContext* c) {
    if (checked)
      return;
    TIOHandler& io = *c->Connection->IOHandler;
    while (!clientGone)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    results.push_back(io.CheckForData(10) ? "data" : "none");    // takes "ab" and sees the close
    results.push_back(io.Connected() ? "connected" : "closed");  // "ab" still buffered
    results.push_back(std::string(1, static_cast<char>(io.ReadByte())));
    results.push_back(std::string(1, static_cast<char>(io.ReadByte())));
    results.push_back(io.Connected() ? "connected" : "closed");
    results.push_back(io.CheckForData(10000) ? "data" : "none");  // returns at once
    try {
      io.ReadByte();
    } catch (const TConnClosedGracefully& e) {
      results.push_back(e.what());
    }
    try {
      io.Write(TBytes{1});
    } catch (const TConnClosedGracefully& e) {
      results.push_back(e.what());
    }
    checked = true;
  };
  const std::uint16_t port = StartOnLoopback(server);
  {
    TWsTestClient client("127.0.0.1", port);
    client.SendRaw("ab");
  }
  clientGone = true;
  ASSERT_TRUE(Eventually([&] { return checked.load(); }));
  server.SetActive(false);
  EXPECT_THAT(results,
              ElementsAre("data", "connected", "a", "b", "closed", "none",
                          "Connection Closed Gracefully.", "Connection Closed Gracefully."));
}

}  // namespace
}  // namespace vantorix::test

#ifndef _WIN32
namespace vantorix::test {
namespace {

// A client that resets before the listener gets to it still has its address: the peer is taken
// from what accept returns, since getpeername fails on a connection that is already reset.
// (Winsock drops such a connection before accept.)
TEST(TcpServer, PeerAddressOfAConnectionResetBeforeItWasAccepted) {
  TSocketApi& api = PlatformSocketApi();
  std::unique_ptr<TListenSocket> listener = api.OpenListener(TIPVersion::IPv4);
  listener->Bind(u"127.0.0.1", 0);
  listener->Listen(15);
  const std::uint16_t port = listener->LocalAddress().Port;
  std::uint16_t clientPort = 0;
  {
    TWsTestClient client("127.0.0.1", port);
    clientPort = client.LocalPort();
    client.Reset();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::unique_ptr<TStreamSocket> accepted = listener->Accept(2000);
  ASSERT_NE(accepted, nullptr);
  EXPECT_EQ(Utf8EncodeString(accepted->PeerAddress().IP), "127.0.0.1");
  EXPECT_EQ(accepted->PeerAddress().Port, clientPort);
  EXPECT_EQ(Utf8EncodeString(accepted->LocalAddress().IP), "127.0.0.1");
  EXPECT_EQ(accepted->LocalAddress().Port, port);
}

}  // namespace
}  // namespace vantorix::test

namespace vantorix::test {
namespace {

// Out of descriptors, a pending connection keeps the listening socket readable while every
// accept fails; the listener must still wait between attempts instead of spinning on a core.
// Run in a child process, since it exhausts the descriptor table.
void AcceptWithoutDescriptorsWaitsAndExit() {
  TSocketApi& api = PlatformSocketApi();
  std::unique_ptr<TListenSocket> listener = api.OpenListener(TIPVersion::IPv4);
  listener->Bind(u"127.0.0.1", 0);
  listener->Listen(15);
  TWsTestClient client("127.0.0.1", listener->LocalAddress().Port);
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min<rlim_t>(256, limit.rlim_max);
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
    std::_Exit(3);
  while (::dup(0) >= 0) {
  }
  int quickReturns = 0;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (listener->Accept(200) != nullptr)
      std::_Exit(2);
    if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(20))
      ++quickReturns;
  }
  std::_Exit(quickReturns == 0 ? 0 : 1);
}

TEST(TcpServerDeathTest, AFailingAcceptWaitsBeforeTheNextAttempt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(AcceptWithoutDescriptorsWaitsAndExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vantorix::test
#endif
