// The WebSocket server (TCP server plus the opening handshake) and the message operations on a
// connection's I/O handler.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "websocket/Bytes.h"
#include "websocket/Handshake.h"
#include "websocket/IOHandler.h"
#include "websocket/Sha1.h"
#include "websocket/TCPServer.h"

namespace vantorix {

// Connection states kept in TIOHandler::Tag. Frames go out only in kHandshakeDone.
inline constexpr std::int32_t kHandshakeNotStarted = 0;
inline constexpr std::int32_t kHandshakePending = -1;
inline constexpr std::int32_t kHandshakeDone = 1;
inline constexpr std::int32_t kCloseSent = 2;  // the server's close frame went out; ending

// A TCP server whose connections answer the WebSocket opening handshake. A connection's first
// DoExecute gathers the upgrade request up to the blank line that ends it, waiting on the socket,
// and answers it before OnExecute runs; bytes after the blank line stay buffered as the start of
// the first frame. A complete request that does not qualify is dropped without an answer and
// the next one is awaited. A connection whose request grows past MaxRequestBytes, whose client
// leaves mid-request, or that is not upgraded HandshakeTimeoutMs after it was accepted is closed
// (OnExecute still runs once, and the connection ends as any other).
// A qualifying request from a page that AllowedOrigins does not allow is answered with 403
// Forbidden instead, OnOriginRefused runs, and the connection is closed like one that is never
// upgraded.
// The 101 answer is written and Tag set to 1 while the step holds the Contexts lock, so code
// holding that lock never finds a connection with its 101 sent and Tag not yet 1.
// An error escaping OnExecute after the upgrade (an invalid command) still ends the connection,
// but first the client gets a close frame with status 1007 and the error's message as reason;
// socket errors send nothing. Nothing is logged.
// Threading and failure as TCustomTCPServer.
class TWebSocketServer : public TCustomTCPServer {
 public:
  TWebSocketServer();
  explicit TWebSocketServer(TSocketApi& api);
  ~TWebSocketServer() override;

  // Shared by all connection threads; keeps no state between calls.
  const THashSHA1 HashSHA1{};
  // The longest upgrade request (request line, headers and blank line) that is answered; room
  // for a browser's request with its cookies. Set while the server is inactive.
  std::size_t MaxRequestBytes = 64 * 1024;
  // Time from accept within which the upgrade must be answered. Set while inactive.
  int HandshakeTimeoutMs = 30000;
  // The pages that may connect; empty (the default): every page. Set while inactive.
  TOriginAllowList AllowedOrigins;
  // Runs on the connection's thread after a request was refused for its Origin header, with
  // that header's value as sent (trimmed). Set while inactive; must not wait for the owner's
  // thread.
  std::function<void(TConnectionContext* AContext, const std::u16string& origin)> OnOriginRefused;

 protected:
  void DoConnect(TConnectionContext* AContext) override;
  bool DoExecute(TConnectionContext* AContext) override;

 private:
  // Gathers and answers requests until one qualifies, or closes the connection.
  void AwaitUpgrade(TConnectionContext* AContext);
  // Answers one complete request when it qualifies: writes the 101 and sets Tag to 1, or, for
  // a page that may not connect, writes the 403 and closes. False when the connection is closed.
  bool AnswerUpgrade(TConnectionContext* AContext, const TBytes& request);
  // Writes the 403, closes the connection and runs OnOriginRefused.
  void RefuseOrigin(TConnectionContext* AContext, const std::u16string& origin);
  // Sends close 1007 with the reason to an upgraded connection; Tag becomes kCloseSent.
  void FailCommand(TIOHandler& c, std::string_view reason);
};

// WebSocket messages on one connection's I/O handler. Nothing here raises: failures give an
// empty result or a frame not sent.
//
// Threading: ReadBytes/ReadString on the connection's own thread only; WriteBytes/WriteString
// from any thread. Every frame (pongs and closes of the reader included) goes out in one
// TIOHandler::Write, and those are serialised per connection, so frames never interleave.
class TWebSocketIOHandlerHelper {
 public:
  explicit TWebSocketIOHandlerHelper(TIOHandler& handler) : FHandler(handler) {}

  // Waits for and reads one client message: the payload of a text message (fragments
  // reassembled), empty for anything else. Pings are answered with pongs; a close is answered
  // and the connection closed; protocol violations close with 1002, text that is not UTF-8 with
  // 1007, messages over 256 MiB with 1009. While the handshake is not done (Tag != 1) returns empty
  // at once, consuming nothing. Once the reader has closed the connection, or a read has failed
  // inside a frame (the connection ended or failed, or no memory), the connection is closed and
  // what is buffered dropped: no byte behind a close or of a cut frame is read as a message.
  TBytes ReadBytes();
  // Sends RawData as one final, unmasked text frame. Sends nothing until the handshake has been
  // answered (Tag != 1; a connection is in Contexts with Tag 0 just before its connect step):
  // a frame before the 101 response would break the client's handshake.
  void WriteBytes(const TBytes& RawData);
  std::u16string ReadString();
  void WriteString(const std::u16string& str);

 private:
  TIOHandler& FHandler;
};

}  // namespace vantorix
