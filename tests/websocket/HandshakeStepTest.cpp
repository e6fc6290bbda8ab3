// The handshake step of TWebSocketServer on in-memory sockets: Tag states, dropped bytes and a
// failing response write.
#include <gtest/gtest.h>

#include "tests/websocket/StepTestSupport.h"

namespace vantorix::test {
namespace {

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
}  // namespace vantorix::test
