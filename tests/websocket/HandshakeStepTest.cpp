// The handshake step of TWebSocketServer on in-memory sockets: Tag states, gathering the request
// over several receives, the bytes after it, the size limit, the time limit, a failing response
// write and the origin allow-list.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "tests/websocket/StepTestSupport.h"
#include "websocket/Utf8.h"

namespace vantorix::test {
namespace {

using namespace std::chrono_literals;

// A masked text frame "xy" (RFC 6455 section 5.3).
const std::string kFrameXy(
    "\x81\x82\x01\x02\x03\x04"
    "y{",
    8);

// Runs the execute step on another thread and gives its result, or nothing when it has not
// returned within the time.
std::optional<bool> ExecuteWithin(TStepFixture& f, std::chrono::milliseconds limit) {
  auto step = std::async(std::launch::async, [&] { return f.Server.DoExecute(f.Context.get()); });
  if (step.wait_for(limit) != std::future_status::ready) {
    f.Io().Close();  // wakes the step so the test can end
    step.wait();
    return std::nullopt;
  }
  return step.get();
}

TEST(HandshakeStep, TagGoesFromZeroToPendingToDone_Rfc6455Section4_2_2) {
  TStepFixture f;
  int tagSeenByOnConnect = 0;
  f.Server.OnConnect = [&](TConnectionContext* c) {
    tagSeenByOnConnect = c->Connection->IOHandler->Tag;
  };
  EXPECT_EQ(f.Io().Tag, kHandshakeNotStarted);
  f.Server.DoConnect(f.Context.get());
  EXPECT_EQ(tagSeenByOnConnect, kHandshakePending);
  f.Send(kRequest);
  EXPECT_TRUE(f.Server.DoExecute(f.Context.get()));
  EXPECT_EQ(f.Io().Tag, kHandshakeDone);
  EXPECT_EQ(f.Received(), kResponse);
  f.Send(kRequest);  // not a handshake any more: left for the frame reader
  f.Server.DoExecute(f.Context.get());
  EXPECT_EQ(f.Received(), "");
  EXPECT_EQ(f.Io().InputBuffer.Size(), kRequest.size());
}

// However the request is cut into receives (the blank line that ends it included), it is
// answered once whole, and a frame sent in the same write stays buffered as the first message.
TEST(HandshakeStep, RequestGatheredOverAnyReceivesAndTheFrameAfterItKept) {
  for (std::size_t chunk : {1u, 2u, 3u, 4u, 7u, 64u, 4096u}) {
    SCOPED_TRACE(chunk);
    TFaultPlan plan;
    plan.MaxReceiveChunk = chunk;
    TStepFixture f(plan);
    int executes = 0;
    f.Server.OnExecute = [&](TConnectionContext*) { ++executes; };
    f.Server.DoConnect(f.Context.get());
    f.Send(kRequest + kFrameXy);
    EXPECT_EQ(ExecuteWithin(f, 10s), std::optional<bool>(true));
    EXPECT_EQ(f.Io().Tag, kHandshakeDone);
    EXPECT_EQ(f.Received(), kResponse);
    EXPECT_EQ(executes, 1) << "OnExecute runs once the request has been answered";
    f.Client->Close();  // a lost frame then reads as nothing instead of a wait for ever
    EXPECT_EQ(TWebSocketIOHandlerHelper(f.Io()).ReadString(), u"xy");
  }
}

TEST(HandshakeStep, ARequestThatDoesNotQualifyIsDroppedAndTheNextOneAnswered) {
  TFaultPlan plan;
  plan.MaxReceiveChunk = 5;
  TStepFixture f(plan);
  f.Server.DoConnect(f.Context.get());
  f.Send("GET / HTTP/1.1\r\nHost: a\r\n\r\n" + kRequest);
  EXPECT_EQ(ExecuteWithin(f, 10s), std::optional<bool>(true));
  EXPECT_EQ(f.Io().Tag, kHandshakeDone);
  EXPECT_EQ(f.Received(), kResponse);
  EXPECT_TRUE(f.Io().InputBufferIsEmpty());
}

// The limit counts the request through its blank line; a longer one closes the connection
// unanswered, whether its blank line has come or not.
TEST(HandshakeStep, RequestSizeLimit) {
  constexpr std::size_t kLimit = 1024;
  const std::string head = "GET / HTTP/1.1\r\nUpgrade: websocket\r\nX-Pad: ";
  const std::string tail = "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
  auto sized = [&](std::size_t total) {
    return head + std::string(total - head.size() - tail.size(), 'p') + tail;
  };
  struct {
    const char* name;
    std::string bytes;
    bool answered;
  } const cases[] = {
      {"exactly the limit", sized(kLimit), true},
      {"exactly the limit, a frame behind it", sized(kLimit) + kFrameXy, true},
      {"one byte over", sized(kLimit + 1), false},
      {"no blank line within the limit", std::string(kLimit + 10, 'h'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TFaultPlan plan;
    plan.MaxReceiveChunk = 100;
    TStepFixture f(plan);
    f.Server.MaxRequestBytes = kLimit;
    f.Server.DoConnect(f.Context.get());
    f.Send(c.bytes);
    EXPECT_EQ(ExecuteWithin(f, 10s), std::optional<bool>(c.answered));
    EXPECT_EQ(f.Io().Tag, c.answered ? kHandshakeDone : kHandshakePending);
    EXPECT_EQ(f.Received(), c.answered ? kResponse : "");
    EXPECT_EQ(f.Io().Opened(), c.answered);
  }
}

// A connection not upgraded in time, or whose client leaves mid-request, is closed; the client
// sees its end of stream.
TEST(HandshakeStep, PendingConnectionsThatCanNeverBeUpgradedAreClosed) {
  struct {
    const char* name;
    std::string bytes;
    bool clientLeaves;
  } const cases[] = {
      {"nothing sent", "", false},
      {"half a request", kRequest.substr(0, 40), false},
      {"a request that does not qualify", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", false},
      {"client leaves mid-request", kRequest.substr(0, 40), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TStepFixture f;
    // The time limit only ends the cases where the client stays.
    f.Server.HandshakeTimeoutMs = c.clientLeaves ? 600000 : 300;
    f.Server.DoConnect(f.Context.get());
    f.Send(c.bytes);
    if (c.clientLeaves)
      f.Client->Close();
    EXPECT_EQ(ExecuteWithin(f, 20s), std::optional<bool>(false));
    if (!c.clientLeaves) {
      EXPECT_GE(std::chrono::steady_clock::now() - f.Context->AcceptedAt, 300ms)
          << "closed before its time";
      std::uint8_t byte = 0;
      EXPECT_EQ(f.Client->Receive(&byte, 1, false), 0) << "the client sees the close";
    }
    EXPECT_FALSE(f.Io().Opened());
    EXPECT_TRUE(f.Io().InputBufferIsEmpty());
  }
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

// With an allow-list, a page it does not list gets 403 and a closed connection, and the server
// says so; listed pages and programs that send no Origin are upgraded as before.
TEST(HandshakeStep, OriginsOutsideTheAllowListAreRefusedWith403) {
  const std::string head =
      "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  struct {
    const char* name;
    std::string originLines;
    bool allowList;
    std::optional<std::u16string> refused;  // the origin reported, when refused
  } const cases[] = {
      {"listed", "Origin: http://localhost:8000\r\n", true, std::nullopt},
      {"listed, other spelling", "Origin: HTTP://LocalHost:8000\r\n", true, std::nullopt},
      {"no Origin", "", true, std::nullopt},
      {"not listed", "Origin: http://evil.example\r\n", true, u"http://evil.example"},
      {"null", "Origin: null\r\n", true, u"null"},
      {"the last line counts", "Origin: http://localhost:8000\r\nOrigin: http://x\r\n", true,
       u"http://x"},
      {"no list", "Origin: http://evil.example\r\n", false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TStepFixture f;
    if (c.allowList) {
      f.Server.AllowedOrigins.Add(u"http://localhost:8000");
    }
    std::vector<std::u16string> reported;
    f.Server.OnOriginRefused = [&](TConnectionContext* context, const std::u16string& origin) {
      EXPECT_EQ(context, f.Context.get());
      reported.push_back(origin);
    };
    int executes = 0;
    f.Server.OnExecute = [&](TConnectionContext*) { ++executes; };
    f.Server.DoConnect(f.Context.get());
    f.Send(head + c.originLines + "\r\n" + kFrameXy);
    const bool refused = c.refused.has_value();
    EXPECT_EQ(ExecuteWithin(f, 10s), std::optional<bool>(!refused));
    EXPECT_EQ(executes, 1);
    if (refused) {
      EXPECT_EQ(f.Received(), Utf8EncodeString(ForbiddenResponse()));
      EXPECT_EQ(reported, std::vector<std::u16string>{*c.refused});
      EXPECT_EQ(f.Io().Tag, kHandshakePending) << "no broadcast may reach it";
      EXPECT_FALSE(f.Io().Opened());
      std::uint8_t byte = 0;
      EXPECT_EQ(f.Client->Receive(&byte, 1, false), 0) << "the client sees the close";
    } else {
      EXPECT_EQ(f.Received(), kResponse);
      EXPECT_TRUE(reported.empty());
      EXPECT_EQ(f.Io().Tag, kHandshakeDone);
      f.Client->Close();
      EXPECT_EQ(TWebSocketIOHandlerHelper(f.Io()).ReadString(), u"xy");
    }
  }
}

}  // namespace
}  // namespace vantorix::test
