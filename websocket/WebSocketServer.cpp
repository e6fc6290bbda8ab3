// WebSocket server: handshake step, and the frame operations bound to a connection.
#include "websocket/WebSocketServer.h"

#include <chrono>
#include <exception>

#include "websocket/SocketErrors.h"
#include "websocket/Utf8.h"
#include "websocket/WebSocketFrames.h"

namespace vantorix {
namespace {

// Ends a connection whose byte stream may not be read any further: closed first, so that no
// receive can buffer more, then what is buffered is dropped, so that Connected() turns false and
// no byte of it is ever taken for the start of a frame.
void StopReading(TIOHandler& handler) {
  handler.Close();
  TBytes dropped;
  handler.InputBuffer.ExtractToBytes(dropped);
}

class THandlerSource final : public TFrameSource {
 public:
  explicit THandlerSource(TIOHandler& h) : FHandler(h) {}
  std::uint8_t ReadByte() override { return FHandler.ReadByte(); }
  void ReadBytes(TBytes& VBuffer, int AByteCount, bool AAppend) override {
    FHandler.ReadBytes(VBuffer, AByteCount, AAppend);
  }

 private:
  TIOHandler& FHandler;
};

class THandlerSink final : public TFrameSink {
 public:
  explicit THandlerSink(TIOHandler& h) : FHandler(h) {}
  void WriteFrame(const TBytes& frame) override {
    try {
      FHandler.Write(frame, -1, 0);
    } catch (...) {
      // An answer that cannot be sent changes nothing: the peer is gone or going.
    }
  }
  // Nothing that came behind a close may be read as a message (RFC 6455 sections 5.5.1 and
  // 7.1.7).
  void CloseConnection() override { StopReading(FHandler); }

 private:
  TIOHandler& FHandler;
};

}  // namespace

TWebSocketServer::TWebSocketServer() = default;

TWebSocketServer::TWebSocketServer(TSocketApi& api) : TCustomTCPServer(api) {}

TWebSocketServer::~TWebSocketServer() {
  SetActive(false);
}

void TWebSocketServer::DoConnect(TConnectionContext* AContext) {
  AContext->Connection->IOHandler->Tag = kHandshakePending;
  TCustomTCPServer::DoConnect(AContext);
}

bool TWebSocketServer::DoExecute(TConnectionContext* AContext) {
  TIOHandler& c = *AContext->Connection->IOHandler;
  if (c.Tag == kHandshakePending)
    AwaitUpgrade(AContext);
  try {
    return TCustomTCPServer::DoExecute(AContext);
  } catch (const TSocketError&) {
    throw;  // the transport failed: there is nobody to tell
  } catch (const TConnClosedGracefully&) {
    throw;
  } catch (const TReadTimeout&) {
    throw;
  } catch (const std::exception& e) {
    FailCommand(c, e.what());
    throw;
  } catch (...) {
    FailCommand(c, {});
    throw;
  }
}

void TWebSocketServer::FailCommand(TIOHandler& c, std::string_view reason) {
  if (c.Tag != kHandshakeDone)
    return;
  const TBytes frame = EncodeCloseFrame(kCloseInvalidData, reason);
  // After a close frame nothing may follow (RFC 6455 section 5.5.1). Broadcasts write only where
  // Tag is 1; sending the frame and moving Tag on under the lock they hold keeps every broadcast
  // frame before it. The socket itself is closed by the connection loop as for any error, after
  // the connection has left Contexts.
  auto list = Contexts.Lock();
  try {
    c.Write(frame, -1, 0);
  } catch (...) {
    // The client is gone already.
  }
  c.Tag = kCloseSent;
}

void TWebSocketServer::AwaitUpgrade(TConnectionContext* AContext) {
  static constexpr std::uint8_t kBlankLine[] = {'\r', '\n', '\r', '\n'};
  TIOHandler& c = *AContext->Connection->IOHandler;
  const auto deadline = AContext->AcceptedAt + std::chrono::milliseconds(HandshakeTimeoutMs);
  // Bytes already searched: the search resumes three before their end, where a blank line cut
  // by a receive may start, so gathering stays linear in the request's length.
  std::size_t searched = 0;
  while (c.Tag == kHandshakePending) {
    // Sized before the search, so bytes another thread's Connected() adds meanwhile are
    // searched next time round rather than counted as searched.
    const std::size_t buffered = c.InputBuffer.Size();
    const std::size_t end = c.InputBuffer.IndexOf(kBlankLine, searched > 3 ? searched - 3 : 0);
    const std::size_t length = end == TInputBuffer::npos ? 0 : end + sizeof kBlankLine;
    if (length > 0 && length <= MaxRequestBytes) {
      TBytes request;
      c.InputBuffer.ExtractToBytes(request, length);
      if (!AnswerUpgrade(AContext, request))
        return;
      searched = 0;
      continue;
    }
    // Waiting on the socket, not polling: an idle pending connection costs no CPU, and the
    // close of deactivation wakes it at once.
    if (length > 0 || buffered >= MaxRequestBytes || !c.WaitForInput(buffered + 1, deadline)) {
      // Too long, too late, or the client left mid-request: the request can never be answered.
      // Dropping what is buffered lets the execute loop see the connection closed.
      TBytes dropped;
      c.InputBuffer.ExtractToBytes(dropped);
      c.Close();
      return;
    }
    searched = buffered;
  }
}

bool TWebSocketServer::AnswerUpgrade(TConnectionContext* AContext, const TBytes& request) {
  TIOHandler& c = *AContext->Connection->IOHandler;
  THeaderMap headers;
  try {
    headers = HeadersParse(Utf8Decode(request));
  } catch (...) {
    return true;  // no memory for the text: as a request that does not qualify
  }
  const auto response = HandshakeResponse(headers, HashSHA1);
  if (!response)
    return true;
  if (!AllowedOrigins.Allows(headers)) {
    RefuseOrigin(AContext, headers.at(u"Origin"));
    return false;
  }
  const TBytes answer = Utf8Encode(*response);
  // A broadcast walks Contexts under its lock and writes only where Tag is 1. Writing the 101
  // and setting Tag under that same lock makes them one step for it: it runs wholly before (no
  // 101 yet, skipped) or after (reached, its frame behind the 101). Setting Tag first instead
  // would let a frame precede the 101. Lock order as a broadcast's: Contexts, then the
  // handler's write lock. Deactivation closes the socket before it takes this lock, which ends a
  // write blocked on a client that does not read.
  auto list = Contexts.Lock();
  try {
    c.Write(answer, -1, 0);
  } catch (...) {
    // The client is gone; the execute loop notices.
  }
  c.Tag = kHandshakeDone;
  return true;
}

void TWebSocketServer::RefuseOrigin(TConnectionContext* AContext, const std::u16string& origin) {
  TIOHandler& c = *AContext->Connection->IOHandler;
  // Tag stays pending, so no broadcast reaches the connection; the 403 needs no lock.
  try {
    c.Write(Utf8Encode(ForbiddenResponse()), -1, 0);
  } catch (...) {
    // The client is gone; it is closed all the same.
  }
  // What else the client sent is dropped with the connection, as for a request never answered.
  TBytes dropped;
  c.InputBuffer.ExtractToBytes(dropped);
  c.Close();
  if (OnOriginRefused)
    OnOriginRefused(AContext, origin);
}

TBytes TWebSocketIOHandlerHelper::ReadBytes() {
  if (FHandler.Tag != kHandshakeDone)
    return {};
  try {
    THandlerSource source(FHandler);
    THandlerSink sink(FHandler);
    TClientMessage message = ReadClientMessage(source, sink);
    if (message.Kind == TMessageKind::Text)
      return std::move(message.Payload);
  } catch (...) {
    // Closed or failed connection, or no memory for the message: no message. The frame it
    // stopped in is incomplete, so the stream is out of step for good.
    StopReading(FHandler);
  }
  return {};
}

void TWebSocketIOHandlerHelper::WriteBytes(const TBytes& RawData) {
  if (FHandler.Tag != kHandshakeDone)
    return;
  try {
    FHandler.Write(EncodeTextFrame(RawData), -1, 0);
  } catch (...) {
    // Dropped; a failed write has marked the connection closed where that applies.
  }
}

std::u16string TWebSocketIOHandlerHelper::ReadString() {
  const TBytes bytes = ReadBytes();
  if (bytes.empty())
    return {};
  return Utf8Decode(bytes);
}

void TWebSocketIOHandlerHelper::WriteString(const std::u16string& str) {
  WriteBytes(Utf8Encode(str));
}

}  // namespace vantorix
