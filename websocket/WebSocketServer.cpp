// WebSocket server: handshake step, and the frame operations bound to a connection.
#include "websocket/WebSocketServer.h"

#include "websocket/Utf8.h"
#include "websocket/WebSocketFrames.h"

namespace vantorix {
namespace {

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
  void CloseConnection() override { FHandler.Close(); }

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
  if (c.Tag == kHandshakePending) {
    c.CheckForData(10);
    if (!c.InputBufferIsEmpty()) {
      std::u16string request;
      try {
        TBytes bytes;
        c.InputBuffer.ExtractToBytes(bytes);
        request = Utf8Decode(bytes);
      } catch (...) {
        request.clear();
      }
      // Each step parses only what is buffered now; a request that does not qualify is
      // dropped and the next step tries again with later bytes.
      if (auto response = HandshakeResponse(HeadersParse(request), HashSHA1)) {
        const TBytes answer = Utf8Encode(*response);
        // A broadcast walks Contexts under its lock and writes only where Tag is 1. Writing the
        // 101 and setting Tag under that same lock makes them one step for it: it runs wholly
        // before (no 101 yet, skipped) or after (reached, its frame behind the 101). Setting Tag
        // first instead would let a frame precede the 101. Lock order as a broadcast's: Contexts,
        // then the handler's write lock. Deactivation closes the socket before it takes this
        // lock, which ends a write blocked on a client that does not read.
        auto list = Contexts.Lock();
        try {
          c.Write(answer, -1, 0);
        } catch (...) {
          // The client is gone; the execute loop notices.
        }
        c.Tag = kHandshakeDone;
      }
    }
  }
  return TCustomTCPServer::DoExecute(AContext);
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
    // Closed or failed connection, or no memory for the message: no message.
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
