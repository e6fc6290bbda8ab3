// The buffered I/O handler and the message operations on in-memory and fault-injecting sockets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/SocketErrors.h"
#include "websocket/FakeSockets.h"
#include "websocket/IOHandler.h"
#include "websocket/WebSocketServer.h"

namespace vantorix {
namespace {

using ::testing::ElementsAre;

std::span<const std::uint8_t> AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void Send(TStreamSocket& s, std::string_view bytes) {
  ASSERT_EQ(s.Send(AsBytes(bytes).data(), bytes.size()), static_cast<std::ptrdiff_t>(bytes.size()));
}

std::string Drain(TStreamSocket& s) {
  std::string out;
  std::uint8_t buf[4096];
  for (;;) {
    std::ptrdiff_t n = kWouldBlock;
    try {
      n = s.Receive(buf, sizeof buf, false);
    } catch (const TSocketError&) {
      break;
    }
    if (n <= 0)
      break;
    out.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
  }
  return out;
}

struct THandlerFixture {
  explicit THandlerFixture(std::size_t capacity = std::numeric_limits<std::size_t>::max()) {
    auto pair = MakeMemorySocketPair(capacity);
    Client = std::move(pair.Client);
    Handler = std::make_unique<TIOHandler>(std::move(pair.Server));
  }
  std::unique_ptr<TMemoryStreamSocket> Client;
  std::unique_ptr<TIOHandler> Handler;
};

TEST(IOHandler, ReadByteDeliversBufferedBytesThenRaisesClosedGracefully) {
  THandlerFixture f;
  Send(*f.Client, "ab");
  f.Client->Close();
  EXPECT_EQ(f.Handler->ReadByte(), 'a');
  EXPECT_TRUE(f.Handler->Connected());  // one byte still buffered
  EXPECT_EQ(f.Handler->ReadByte(), 'b');
  EXPECT_FALSE(f.Handler->Connected());
  try {
    f.Handler->ReadByte();
    FAIL() << "no error";
  } catch (const TConnClosedGracefully& e) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
}

TEST(IOHandler, ReadBytesRaisesWhenThePeerClosesBeforeEnoughBytesCame) {
  THandlerFixture f;
  Send(*f.Client, "abc");
  f.Client->Close();
  TBytes v;
  EXPECT_THROW(f.Handler->ReadBytes(v, 4, true), TConnClosedGracefully);
  EXPECT_FALSE(f.Handler->InputBufferIsEmpty());  // the three bytes stay buffered
  f.Handler->ReadBytes(v, 3, true);
  EXPECT_THAT(v, ElementsAre('a', 'b', 'c'));
}

TEST(IOHandler, ReadBytesAppendsOrCopiesToTheFrontWithoutShortening) {
  THandlerFixture f;
  Send(*f.Client, "123456");
  TBytes v{'x', 'y', 'z', 'w'};
  f.Handler->ReadBytes(v, 2, false);
  EXPECT_THAT(v, ElementsAre('1', '2', 'z', 'w'));
  f.Handler->ReadBytes(v, 2, true);
  EXPECT_THAT(v, ElementsAre('1', '2', 'z', 'w', '3', '4'));
  TBytes shortBuffer{'q'};
  f.Handler->ReadBytes(shortBuffer, 2, false);
  EXPECT_THAT(shortBuffer, ElementsAre('5', '6'));
  f.Handler->ReadBytes(shortBuffer, 0, true);  // reads nothing, does not wait
  EXPECT_EQ(shortBuffer.size(), 2u);
}

TEST(IOHandler, CheckForDataReportsNewBytesOnlyAndFalseOnAClosedPeer) {
  THandlerFixture f;
  EXPECT_FALSE(f.Handler->CheckForData(10));  // idle: times out
  Send(*f.Client, "x");
  EXPECT_TRUE(f.Handler->CheckForData(10));
  EXPECT_FALSE(f.Handler->CheckForData(10));  // the byte is old now
  EXPECT_FALSE(f.Handler->InputBufferIsEmpty());
  f.Client->Close();
  EXPECT_TRUE(f.Handler->Connected());  // "x" is still buffered
  TBytes all;
  f.Handler->InputBuffer.ExtractToBytes(all);
  EXPECT_THAT(all, ElementsAre('x'));
  EXPECT_FALSE(f.Handler->CheckForData(10000));  // returns at once, nothing to wait for
  EXPECT_FALSE(f.Handler->Connected());
}

TEST(IOHandler, WriteOnAClosedConnectionRaisesAndSendsNothing) {
  {
    THandlerFixture f;
    f.Handler->Close();
    EXPECT_FALSE(f.Handler->Connected());
    EXPECT_THROW(f.Handler->Write(TBytes{1, 2, 3}), TConnClosedGracefully);
    EXPECT_EQ(f.Client->Pending(), 0u);
  }
  {
    THandlerFixture f;
    f.Client->Close();
    EXPECT_FALSE(f.Handler->CheckForData(10));  // the receive sees the close
    EXPECT_THROW(f.Handler->Write(TBytes{1, 2, 3}), TConnClosedGracefully);
  }
}

TEST(IOHandler, WriteHonoursLengthAndOffsetAndTextIsUtf8) {
  THandlerFixture f;
  const TBytes data{'a', 'b', 'c', 'd', 'e'};
  f.Handler->Write(data, 2, 1);
  f.Handler->Write(data, -1, 3);
  f.Handler->Write(data, 0, 0);
  f.Handler->Write(u"\u00E9!");
  f.Handler->Write(std::u16string());
  EXPECT_EQ(Drain(*f.Client), "bcde\xC3\xA9!");
}

TEST(IOHandler, WriteToAPeerThatStoppedReadingGivesUpAfterTheWriteTimeout) {
  THandlerFixture f(16);  // 16 bytes in flight at most, and the client never reads
  f.Handler->SetSendLimits({.StallTimeoutMs = 50});
  try {
    f.Handler->Write(TBytes(100, 'x'));
    FAIL() << "no error";
  } catch (const TSocketError& e) {
    EXPECT_EQ(e.Code(), 10060);
    EXPECT_STREQ(e.what(), "Socket Error # 10060\r\nConnection timed out.");
  }
  EXPECT_FALSE(f.Handler->Connected());
  EXPECT_THROW(f.Handler->Write(TBytes{1}), TConnClosedGracefully);
}

TEST(IOHandler, WriteToASlowButReadingPeerIsNotCutOff) {
  // 64 KiB through 1 KiB in flight, read a kilobyte every 20 ms: the whole write takes well
  // over its 500 ms limit, but no single wait comes near it.
  THandlerFixture f(1024);
  f.Handler->SetSendLimits({.StallTimeoutMs = 500});
  const std::size_t total = 64 * 1024;
  std::string received;
  std::thread reader([&] {
    std::uint8_t buf[1024];
    for (int idle = 0; received.size() < total && idle < 500;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::ptrdiff_t n = kWouldBlock;
      try {
        n = f.Client->Receive(buf, sizeof buf, false);
      } catch (const TSocketError&) {
        break;
      }
      if (n > 0) {
        received.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
      } else {
        ++idle;
      }
    }
  });
  EXPECT_NO_THROW(f.Handler->Write(TBytes(total, 'x')));
  reader.join();
  EXPECT_EQ(received, std::string(total, 'x'));
  EXPECT_TRUE(f.Handler->Connected());
}

TEST(IOHandler, PeerResetDuringAReadEndsItLikeAClose) {
  THandlerFixture f;
  Send(*f.Client, "a");
  f.Client->Abort();
  TBytes v;
  EXPECT_THROW(f.Handler->ReadBytes(v, 2, true), TConnClosedGracefully);
  EXPECT_FALSE(f.Handler->Opened());
}

// Countdown: the Nth receive fails; lost-connection codes end reads with the closed error and
// close the socket, any other code is raised with its Winsock text.
TEST(IOHandler, FailingTheNthReceive) {
  for (int code : {10053, 10054, 10058, 10022}) {
    for (int n = 1; n <= 4; ++n) {
      SCOPED_TRACE("code " + std::to_string(code) + " receive " + std::to_string(n));
      auto pair = MakeMemorySocketPair();
      TFaultPlan plan;
      plan.FailReceiveAt = n;
      plan.ReceiveErrorCode = code;
      plan.MaxReceiveChunk = 1;
      TIOHandler handler(std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), plan));
      Send(*pair.Client, "abcdef");
      TBytes v;
      if (code == 10022) {
        try {
          handler.ReadBytes(v, 6, true);
          FAIL() << "no error";
        } catch (const TSocketError& e) {
          EXPECT_STREQ(e.what(), "Socket Error # 10022\r\nInvalid argument.");
        }
      } else {
        EXPECT_THROW(handler.ReadBytes(v, 6, true), TConnClosedGracefully);
        EXPECT_FALSE(handler.Opened());
        EXPECT_EQ(handler.Connected(), n > 1) << "true while bytes are still buffered";
        std::uint8_t b = 0;
        EXPECT_EQ(pair.Client->Receive(&b, 1, false), 0) << "the peer sees the close";
      }
      EXPECT_EQ(handler.InputBuffer.Size(), static_cast<std::size_t>(n - 1));
    }
  }
}

// Connected() looks at the socket once: a lost connection is false, a receive time-out is no
// news (still connected, nothing raised), any other error is raised.
TEST(IOHandler, ConnectedWhenItsReceiveFails) {
  struct TCase {
    int Code;
    const char* Expected;
  };
  for (const TCase& c : {TCase{10053, "false"}, TCase{10054, "false"}, TCase{10058, "false"},
                         TCase{10060, "true"}, TCase{10022, "raised"}}) {
    SCOPED_TRACE(c.Code);
    auto pair = MakeMemorySocketPair();
    TFaultPlan plan;
    plan.FailReceiveAt = 1;
    plan.ReceiveErrorCode = c.Code;
    TIOHandler handler(std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), plan));
    Send(*pair.Client, "x");
    std::string result;
    try {
      result = handler.Connected() ? "true" : "false";
    } catch (const TSocketError& e) {
      result = "raised";
      EXPECT_EQ(e.Code(), c.Code);
    }
    EXPECT_EQ(result, c.Expected);
  }
}

// A frame cut off by a failed send could never be followed by another one, so any failure closes
// the connection.
TEST(IOHandler, FailingTheNthSendRaisesAndClosesTheConnection) {
  for (int code : {10054, 10055}) {
    for (int n = 1; n <= 3; ++n) {
      SCOPED_TRACE("code " + std::to_string(code) + " send " + std::to_string(n));
      auto pair = MakeMemorySocketPair();
      TFaultPlan plan;
      plan.FailSendAt = n;
      plan.SendErrorCode = code;
      plan.MaxSendChunk = 2;
      TIOHandler handler(std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), plan));
      EXPECT_THROW(handler.Write(TBytes(6, 'x')), TSocketError);
      EXPECT_EQ(pair.Client->Pending(), static_cast<std::size_t>(2 * (n - 1)));
      EXPECT_FALSE(handler.Opened());
    }
  }
}

TEST(IOHandler, AcceptedBytesArriveWhateverTheChunking) {
  auto pair = MakeMemorySocketPair();
  TFaultPlan plan;
  plan.MaxReceiveChunk = 3;
  plan.MaxSendChunk = 5;
  TIOHandler handler(std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), plan));
  handler.RecvBufferSize = 2;
  Send(*pair.Client, "0123456789");
  TBytes v;
  handler.ReadBytes(v, 10, true);
  EXPECT_EQ(std::string(v.begin(), v.end()), "0123456789");
  handler.Write(v);
  EXPECT_EQ(Drain(*pair.Client), "0123456789");
}

// A receive first looks for bytes for a moment before it sleeps; whether the client's next bytes
// come within that look, just after it or much later, in any mix, every byte arrives once and in
// order, and the connection's thread answers every request.
TEST(IOHandler, BytesArriveInOrderWhetherTheyComeWithinTheFirstLookOrLater) {
  using namespace std::chrono_literals;
  const struct {
    const char* name;
    std::vector<std::chrono::microseconds> delays;
  } cases[] = {
      {"at once", {0us}},
      {"within the look", {30us}},
      {"just after the look", {300us}},
      {"much later", {5ms}},
      {"fast and slow mixed", {0us, 5ms, 0us, 0us, 300us, 30us, 2ms, 0us}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    THandlerFixture f;
    constexpr int kExchanges = 150;
    std::thread client([&] {
      for (int i = 0; i < kExchanges; ++i) {
        std::this_thread::sleep_for(c.delays[static_cast<std::size_t>(i) % c.delays.size()]);
        const char request[] = {static_cast<char>('a' + i % 26), static_cast<char>(i)};
        Send(*f.Client, std::string_view(request, sizeof request));
        // The answer, before the next request: a client waiting for its reply.
        std::string answer;
        while (answer.empty() && f.Client->WaitReadable(10000))
          answer = Drain(*f.Client);
        if (answer != std::string(1, request[1]))
          ADD_FAILURE() << "exchange " << i << " answered " << answer.size() << " bytes";
      }
    });
    for (int i = 0; i < kExchanges; ++i) {
      TBytes request;
      f.Handler->ReadBytes(request, 2, true);
      EXPECT_THAT(request, ElementsAre('a' + i % 26, static_cast<std::uint8_t>(i))) << i;
      f.Handler->Write(TBytes{request[1]});
    }
    client.join();
  }
}

// The look does not change how a read ends when nothing comes: a peer that closes during the
// look, just after it or later ends the read like a close, and a read with a time-out times out
// both when its look is due and when it waits at once after a look that found nothing.
TEST(IOHandler, AReadWithNothingComingEndsAsBeforeTheFirstLook) {
  using namespace std::chrono_literals;
  for (const std::chrono::microseconds closeAfter : {0us, 30us, 300us, 5000us}) {
    SCOPED_TRACE(closeAfter.count());
    THandlerFixture f;
    std::thread client([&] {
      std::this_thread::sleep_for(closeAfter);
      f.Client->Close();
    });
    EXPECT_THROW(f.Handler->ReadByte(), TConnClosedGracefully);
    client.join();
  }
  THandlerFixture f;
  for (int i = 0; i < 3; ++i)
    EXPECT_FALSE(f.Handler->CheckForData(2)) << "read " << i;
  Send(*f.Client, "z");
  EXPECT_TRUE(f.Handler->CheckForData(10000));
}

// The input buffer holds memory only while bytes wait in it: a look that finds nothing grows
// nothing, and an idle connection keeps at most a small message's worth after a large one.
TEST(IOHandler, InputBufferKeepsNoMemoryIdle) {
  struct {
    std::size_t sent;
    bool readAll;
  } const cases[] = {{0, true}, {100, true}, {100 * 1024, true}, {100 * 1024, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    THandlerFixture f;
    EXPECT_TRUE(f.Handler->Connected());
    EXPECT_EQ(f.Handler->InputBuffer.Capacity(), 0u);
    if (c.sent > 0)
      Send(*f.Client, std::string(c.sent, 'x'));
    TBytes v;
    // As the frame reader takes a payload: 64 KiB at a time.
    std::size_t left = c.readAll ? c.sent : c.sent - 10;
    while (left > 0) {
      const std::size_t n = std::min<std::size_t>(left, 64 * 1024);
      f.Handler->ReadBytes(v, static_cast<int>(n), false);
      left -= n;
    }
    EXPECT_TRUE(f.Handler->Connected());
    if (c.readAll) {
      EXPECT_LE(f.Handler->InputBuffer.Capacity(), 16u * 1024);
    } else {
      EXPECT_EQ(f.Handler->InputBuffer.Size(), 10u);
    }
  }
}

// --- message operations on a handler ---

TBytes Masked(std::uint8_t first, std::string_view payload) {
  const std::uint8_t key[4] = {1, 2, 3, 4};
  TBytes f{first, static_cast<std::uint8_t>(0x80 | payload.size()), 1, 2, 3, 4};
  for (std::size_t i = 0; i < payload.size(); ++i) {
    f.push_back(static_cast<std::uint8_t>(payload[i]) ^ key[i % 4]);
  }
  return f;
}

// A masked frame with any length form (RFC 6455 section 5.2).
TBytes MaskedFrame(std::uint8_t first, std::string_view payload) {
  const std::uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};
  TBytes f{first};
  if (payload.size() <= 125) {
    f.push_back(static_cast<std::uint8_t>(0x80 | payload.size()));
  } else if (payload.size() <= 0xFFFF) {
    f.insert(f.end(), {0xFE, static_cast<std::uint8_t>(payload.size() >> 8),
                       static_cast<std::uint8_t>(payload.size())});
  } else {
    f.push_back(0xFF);
    for (int i = 7; i >= 0; --i)
      f.push_back(static_cast<std::uint8_t>(std::uint64_t{payload.size()} >> (8 * i)));
  }
  f.insert(f.end(), key, key + 4);
  for (std::size_t i = 0; i < payload.size(); ++i)
    f.push_back(static_cast<std::uint8_t>(payload[i]) ^ key[i % 4]);
  return f;
}

// Frame headers are taken from the buffered bytes in pieces; wherever the receives cut a header,
// the messages come out whole and in order, and a ping between fragments is answered.
TEST(WebSocketIOHandlerHelper, ReadsMessagesWhateverTheReceivesCutOff) {
  const std::string small = "{\"act\":\"echo\"}";
  const std::string medium(300, 'm');
  // The 64-bit length form only with the larger pieces: byte by byte it would take seconds.
  const std::string large(70000, 'L');
  TBytes stream;
  for (const TBytes& f :
       {MaskedFrame(0x81, small), MaskedFrame(0x81, medium), MaskedFrame(0x01, "frag"),
        MaskedFrame(0x89, "p"), MaskedFrame(0x80, "ment")}) {
    stream.insert(stream.end(), f.begin(), f.end());
  }
  const TBytes largeFrame = MaskedFrame(0x81, large);
  for (const std::size_t chunk : {1u, 2u, 5u, 13u, 4096u}) {
    SCOPED_TRACE(chunk);
    const bool withLarge = chunk >= 13;
    auto pair = MakeMemorySocketPair();
    TFaultPlan plan;
    plan.MaxReceiveChunk = chunk;
    TIOHandler handler(std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), plan));
    handler.Tag = kHandshakeDone;
    TBytes bytes = stream;
    if (withLarge) {
      bytes.insert(bytes.end(), largeFrame.begin(), largeFrame.end());
    }
    ASSERT_EQ(pair.Client->Send(bytes.data(), bytes.size()),
              static_cast<std::ptrdiff_t>(bytes.size()));
    TWebSocketIOHandlerHelper ws(handler);
    const auto text = [](const TBytes& b) { return std::string(b.begin(), b.end()); };
    EXPECT_EQ(text(ws.ReadBytes()), small);
    EXPECT_EQ(text(ws.ReadBytes()), medium);
    EXPECT_EQ(text(ws.ReadBytes()), "fragment");
    if (withLarge) {
      EXPECT_EQ(text(ws.ReadBytes()), large);
    }
    EXPECT_EQ(Drain(*pair.Client), std::string("\x8A\x01p", 3));
  }
}

TEST(WebSocketIOHandlerHelper, ReadsNothingWhileTheHandshakeIsNotAnswered) {
  THandlerFixture f;
  f.Handler->Tag = kHandshakePending;
  const TBytes frame = Masked(0x81, "Hi");
  f.Client->Send(frame.data(), frame.size());
  ASSERT_TRUE(f.Handler->CheckForData(100));
  TWebSocketIOHandlerHelper ws(*f.Handler);
  EXPECT_TRUE(ws.ReadString().empty());
  EXPECT_EQ(f.Handler->InputBuffer.Size(), frame.size());  // nothing consumed
  f.Handler->Tag = kHandshakeDone;
  EXPECT_EQ(ws.ReadString(), u"Hi");
}

TEST(WebSocketIOHandlerHelper, WritesNoFrameBeforeTheHandshakeIsAnswered) {
  THandlerFixture f;
  TWebSocketIOHandlerHelper ws(*f.Handler);
  for (std::int32_t tag : {kHandshakeNotStarted, kHandshakePending}) {
    f.Handler->Tag = tag;
    ws.WriteString(u"early");
    EXPECT_EQ(f.Client->Pending(), 0u) << tag;
  }
  f.Handler->Tag = kHandshakeDone;
  ws.WriteString(u"");
  ws.WriteString(u"\u00E9");  // counts bytes, not characters
  EXPECT_EQ(Drain(*f.Client), std::string("\x81\x00\x81\x02\xC3\xA9", 6));
}

TEST(WebSocketIOHandlerHelper, ReadAndWriteNeverRaise) {
  THandlerFixture f;
  f.Handler->Tag = kHandshakeDone;
  TWebSocketIOHandlerHelper ws(*f.Handler);
  const TBytes part = Masked(0x81, "Hello");
  f.Client->Send(part.data(), 4);  // header and half the key, then gone
  f.Client->Close();
  EXPECT_TRUE(ws.ReadBytes().empty());
  EXPECT_TRUE(ws.ReadBytes().empty());
  EXPECT_FALSE(f.Handler->Connected());
  EXPECT_NO_THROW(ws.WriteString(u"lost"));
}

TEST(WebSocketIOHandlerHelper, CloseIsAnsweredAndTheConnectionClosed_Rfc6455Section5_5_1) {
  THandlerFixture f;
  f.Handler->Tag = kHandshakeDone;
  TWebSocketIOHandlerHelper ws(*f.Handler);
  const TBytes close = Masked(0x88, std::string("\x0F\xA0", 2));  // 4000
  f.Client->Send(close.data(), close.size());
  EXPECT_TRUE(ws.ReadBytes().empty());
  EXPECT_EQ(Drain(*f.Client), std::string("\x88\x02\x0F\xA0", 4));
  EXPECT_FALSE(f.Handler->Connected());
}

// Once the reader has closed the connection (a close answered, or the connection failed for a
// protocol violation or ill-formed text), frames that arrived behind it in the same receive are
// never delivered (RFC 6455 sections 5.5.1 and 7.1.7).
TEST(WebSocketIOHandlerHelper, NothingIsReadAfterTheReaderClosedTheConnection) {
  struct {
    const char* name;
    TBytes first;
    std::string answer;
  } const cases[] = {
      {"client close", Masked(0x88, std::string("\x03\xE8", 2)),
       std::string("\x88\x02\x03\xE8", 4)},
      {"reserved bits set", Masked(0xC1, "x"), std::string("\x88\x02\x03\xEA", 4)},
      {"ill-formed text", Masked(0x81, "\xC0\xAF"), std::string("\x88\x02\x03\xEF", 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    THandlerFixture f;
    f.Handler->Tag = kHandshakeDone;
    TBytes bytes = c.first;
    const TBytes late = Masked(0x81, R"({"act":"echo"})");
    bytes.insert(bytes.end(), late.begin(), late.end());
    f.Client->Send(bytes.data(), bytes.size());
    ASSERT_TRUE(f.Handler->CheckForData(100));
    ASSERT_EQ(f.Handler->InputBuffer.Size(), bytes.size()) << "all of it buffered at once";
    TWebSocketIOHandlerHelper ws(*f.Handler);
    EXPECT_TRUE(ws.ReadBytes().empty());
    EXPECT_TRUE(ws.ReadBytes().empty()) << "the frame behind the close is not delivered";
    EXPECT_FALSE(f.Handler->Connected());
    EXPECT_EQ(Drain(*f.Client), c.answer);
  }
}

// A frame cut short by the end of the stream leaves the reader out of step: the bytes that did
// come (here a whole frame carried as payload, sent with a zero masking key) are never read as
// frames of their own.
TEST(WebSocketIOHandlerHelper, AFrameCutByTheEndOfTheStreamLeavesNothingToRead) {
  const TBytes inner = Masked(0x81, R"({"act":"echo"})");
  TBytes outer{0x81, static_cast<std::uint8_t>(0x80 | (inner.size() + 1)), 0, 0, 0, 0};
  outer.insert(outer.end(), inner.begin(), inner.end());
  for (const std::size_t cut : {outer.size(), std::size_t{4}, std::size_t{1}}) {
    SCOPED_TRACE(cut);
    THandlerFixture f;
    f.Handler->Tag = kHandshakeDone;
    f.Client->Send(outer.data(), cut);
    f.Client->Close();
    TWebSocketIOHandlerHelper ws(*f.Handler);
    EXPECT_TRUE(ws.ReadBytes().empty());
    EXPECT_FALSE(f.Handler->Connected());
    EXPECT_TRUE(ws.ReadBytes().empty());
  }
}

// Replies to messages that arrived together leave in one send, and they leave before the reader
// waits for more: a peer that waits for them before sending the rest of its next message is
// never kept waiting.
TEST(WebSocketIOHandlerHelper, RepliesToMessagesReadTogetherLeaveInOneSendBeforeTheNextWait) {
  auto pair = MakeMemorySocketPair();
  std::vector<std::size_t> sizes;  // this thread sends everything here
  TFaultPlan plan;
  plan.AfterSend = [&](const std::uint8_t*, std::size_t size) { sizes.push_back(size); };
  TIOHandler handler(std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), plan));
  handler.Tag = kHandshakeDone;
  TBytes stream;
  for (const char* text : {"A", "B", "C"}) {
    const TBytes f = Masked(0x81, text);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  const TBytes last = Masked(0x81, "D");
  stream.insert(stream.end(), last.begin(), last.begin() + 3);
  ASSERT_EQ(pair.Client->Send(stream.data(), stream.size()),
            static_cast<std::ptrdiff_t>(stream.size()));
  TWebSocketIOHandlerHelper ws(handler);
  std::string expected;
  for (const std::u16string text : {u"A", u"B", u"C"}) {
    ASSERT_EQ(ws.ReadString(), text);
    ws.WriteString(u"re " + text);
    expected += std::string("\x81\x04re ", 5) + static_cast<char>(text[0]);
  }
  EXPECT_TRUE(sizes.empty()) << "a reply left before the last buffered message was read";
  EXPECT_FALSE(handler.CheckForData(20));  // waits: what was held goes first
  EXPECT_EQ(sizes, std::vector<std::size_t>{expected.size()});
  EXPECT_EQ(Drain(*pair.Client), expected);
  ASSERT_EQ(pair.Client->Send(last.data() + 3, last.size() - 3),
            static_cast<std::ptrdiff_t>(last.size() - 3));
  EXPECT_EQ(ws.ReadString(), u"D");
  ws.WriteString(u"re D");  // nothing buffered behind it: sent at once
  EXPECT_EQ(sizes.size(), 2u);
  EXPECT_EQ(Drain(*pair.Client), std::string("\x81\x04re D", 6));
}

}  // namespace
}  // namespace vantorix
