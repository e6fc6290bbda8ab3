// WebSocket server: handshake step, and the frame operations bound to a connection.
#include "websocket/WebSocketServer.h"

#include <chrono>
#include <exception>
#include <memory>
#include <vector>

#include "net/SocketErrors.h"
#include "websocket/Utf8.h"
#include "websocket/WebSocketFrames.h"

namespace vantorix {
namespace {

// Ends a connection whose byte stream may not be read any further: reading ends first, so that
// no receive can buffer more, then what is buffered is dropped, so that Connected() turns false
// and no byte of it is ever taken for the start of a frame. What is queued to send (the answer
// to a close, a failure's close frame) still goes out before the socket closes.
void StopReading(TIOHandler& handler) {
  handler.CloseWhenSent();
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
  void ReadExact(std::span<std::uint8_t> out) override { FHandler.ReadBytes(out); }

 private:
  TIOHandler& FHandler;
};

class THandlerSink final : public TFrameSink {
 public:
  explicit THandlerSink(TIOHandler& h) : FHandler(h) {}
  void WriteFrame(const TBytes& frame) override {
    // Nothing may follow a close frame (RFC 6455 section 5.5.1). An answer that cannot be sent
    // changes nothing: the peer is gone or going.
    const bool close =
        !frame.empty() && (frame[0] & 0x0F) == static_cast<std::uint8_t>(TOpcode::Close);
    FHandler.Post(std::make_shared<const TBytes>(frame), close);
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
    CloseConnection(AContext, kCloseInvalidData, e.what());
    throw;
  } catch (...) {
    CloseConnection(AContext, kCloseInvalidData, {});
    throw;
  }
}

bool TWebSocketServer::QueueCloseLocked(TIOHandler& c, std::uint16_t status,
                                        std::string_view reason) {
  if (c.Tag != kHandshakeDone)
    return false;
  // After a close frame nothing may follow (RFC 6455 section 5.5.1). Broadcasts queue only where
  // Tag is 1; queueing the frame and moving Tag on under the lock they hold keeps every
  // broadcast frame before it.
  c.Tag = kCloseSent;
  return c.Outgoing()
      ->Push(std::make_shared<const TBytes>(EncodeCloseFrame(status, reason)), true)
      .has_value();
}

void TWebSocketServer::CloseConnection(TConnectionContext* AContext, std::uint16_t status,
                                       std::string_view reason) {
  TIOHandler& c = *AContext->Connection->IOHandler;
  bool queued = false;
  {
    auto list = Contexts.Lock();
    queued = QueueCloseLocked(c, status, reason);
  }
  if (!queued)
    return;
  c.Outgoing()->Flush();
  c.CloseWhenSent();
}

bool TWebSocketServer::DoGoingAway(TConnectionContext* AContext) {
  TIOHandler& c = *AContext->Connection->IOHandler;
  if (!QueueCloseLocked(c, kCloseGoingAway, "server shutting down"))
    return false;
  // The client answers with its own close frame, which ends the connection as usual.
  c.Outgoing()->Flush();
  return true;
}

void TWebSocketServer::SendToAll(TSharedBytes frame) {
  std::vector<std::shared_ptr<TSendQueue>> queues;
  {
    auto list = Contexts.Lock();
    queues.reserve(list.Count());
    for (TConnectionContext* context : list) {
      TIOHandler& io = *context->Connection->IOHandler;
      // A connection whose upgrade has not been answered must not see a frame before its 101.
      if (io.Tag == kHandshakeDone && io.Outgoing()->Push(frame))
        queues.push_back(io.Outgoing());
    }
  }
  // Sent outside the lock: no client's socket delays a connection coming or going.
  for (const std::shared_ptr<TSendQueue>& queue : queues)
    queue->Flush();
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
  const auto answer = std::make_shared<const TBytes>(Utf8Encode(*response));
  // A broadcast walks Contexts under its lock and queues only where Tag is 1. Queueing the 101
  // and setting Tag under that same lock makes them one step for it: it runs wholly before (no
  // 101 yet, skipped) or after (reached, its frame queued behind the 101). Setting Tag first
  // instead would let a frame precede the 101. A client that does not read its 101 holds
  // nobody: the lock is held only to queue it.
  {
    auto list = Contexts.Lock();
    c.Outgoing()->Push(answer);
    c.Tag = kHandshakeDone;
  }
  c.Outgoing()->Flush();
  return true;
}

void TWebSocketServer::RefuseOrigin(TConnectionContext* AContext, const std::u16string& origin) {
  TIOHandler& c = *AContext->Connection->IOHandler;
  // Tag stays pending, so no broadcast reaches the connection; the 403 needs no lock. It is the
  // last thing sent; the socket closes once it is out (or the client is given up). What else
  // the client sent is dropped with the connection, as for a request never answered.
  c.Post(std::make_shared<const TBytes>(Utf8Encode(ForbiddenResponse())), true);
  StopReading(c);
  if (OnOriginRefused)
    OnOriginRefused(AContext, origin);
}

TBytes TWebSocketIOHandlerHelper::ReadBytes() {
  // Once the server's close frame is out, what the client sent is still read, but only to find
  // its answering close (RFC 6455 section 5.5.1) and to use up what was buffered: left unread,
  // buffered bytes would keep the connection looking alive, its thread spinning, for ever.
  if (FHandler.Tag != kHandshakeDone && FHandler.Tag != kCloseSent)
    return {};
  // A connection that has ended with nothing left to read ends here as the failed read below
  // would, without an exception: every connection comes this way once as it leaves, and
  // unwinding serialises the threads doing it.
  if (FHandler.Drained()) {
    StopReading(FHandler);
    return {};
  }
  try {
    THandlerSource source(FHandler);
    THandlerSink sink(FHandler);
    TClientMessage message = ReadClientMessage(source, sink);
    // With more of the client's bytes already here, the replies to this message and the next
    // ones leave together when this thread next waits for input: one send instead of one each.
    if (!FHandler.InputBufferIsEmpty())
      FHandler.HoldReplies();
    // Tag is read again: another thread may have closed the connection during the read, and no
    // message behind a close is carried out.
    if (message.Kind == TMessageKind::Text && FHandler.Tag == kHandshakeDone)
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
    FHandler.Post(std::make_shared<const TBytes>(EncodeTextFrame(RawData)));
  } catch (...) {
    // No memory for the frame: dropped, like a frame to a connection that is gone.
  }
}

std::u16string TWebSocketIOHandlerHelper::ReadString() {
  const TBytes bytes = ReadBytes();
  if (bytes.empty())
    return {};
  return Utf8Decode(bytes);
}

void TWebSocketIOHandlerHelper::WriteString(const std::u16string& str) {
  if (FHandler.Tag != kHandshakeDone)
    return;
  try {
    FHandler.Post(std::make_shared<const TBytes>(EncodeTextFrame(str)));
  } catch (...) {
    // No memory for the frame: dropped, like a frame to a connection that is gone.
  }
}

}  // namespace vantorix
