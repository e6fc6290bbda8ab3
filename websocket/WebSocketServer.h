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
// upgraded (once the 403 is sent).
// The 101 answer is queued and Tag set to 1 while the step holds the Contexts lock, so code
// holding that lock never finds a connection with its 101 queued and Tag not yet 1, and every
// frame queued under that lock afterwards follows the 101.
// An error escaping OnExecute after the upgrade (an invalid command) still ends the connection,
// but first the client gets a close frame with status 1007 and the error's message as reason;
// socket errors send nothing. Nothing is logged.
// Deactivation sends every upgraded connection a close frame with status 1001 (going away) and
// gives its client GoingAwayTimeoutMs to answer it before the connection is closed.
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

  // Hands one frame to every connection whose upgrade has been answered and which has not sent
  // its close frame, in one pass under the Contexts lock that only queues it (the bytes are
  // shared, not copied); each connection then sends it as fast as its own client reads. Never
  // waits for a socket. Frames handed over by successive calls reach every client in the order
  // of the calls. Any thread.
  void SendToAll(TSharedBytes frame);
  // Ends an upgraded connection: a close frame with the status and the reason (cut to fit) goes
  // out after everything queued before it, nothing after it, and the connection is closed once
  // it is sent. Does nothing when the upgrade has not been answered or a close frame was sent
  // already. AContext must stay alive for the call (for instance: it is in Contexts, or its
  // disconnect event has not run yet). Any thread.
  void CloseConnection(TConnectionContext* AContext, std::uint16_t status, std::string_view reason);

 protected:
  void DoConnect(TConnectionContext* AContext) override;
  bool DoExecute(TConnectionContext* AContext) override;
  // Queues the 1001 close frame for an upgraded connection.
  bool DoGoingAway(TConnectionContext* AContext) override;

 private:
  // Gathers and answers requests until one qualifies, or closes the connection.
  void AwaitUpgrade(TConnectionContext* AContext);
  // Answers one complete request when it qualifies: queues the 101 and sets Tag to 1, or, for
  // a page that may not connect, queues the 403 and closes. False when the connection is closed.
  bool AnswerUpgrade(TConnectionContext* AContext, const TBytes& request);
  // Queues the 403 as the last bytes, ends reading (the socket closes once the 403 is sent)
  // and runs OnOriginRefused.
  void RefuseOrigin(TConnectionContext* AContext, const std::u16string& origin);
  // With the Contexts lock held: queues a close frame as the connection's last frame when its
  // upgrade is done and nothing closed it yet; Tag becomes kCloseSent. True when queued.
  static bool QueueCloseLocked(TIOHandler& c, std::uint16_t status, std::string_view reason);
};

// WebSocket messages on one connection's I/O handler. Nothing here raises: failures give an
// empty result or a frame not sent.
//
// Threading: ReadBytes/ReadString on the connection's own thread only; WriteBytes/WriteString
// from any thread. Every frame (pongs and closes of the reader included) goes through the
// connection's send queue whole, so frames never interleave, and none waits for the peer.
class TWebSocketIOHandlerHelper {
 public:
  explicit TWebSocketIOHandlerHelper(TIOHandler& handler) : FHandler(handler) {}

  // Waits for and reads one client message: the payload of a text message (fragments
  // reassembled), empty for anything else. Pings are answered with pongs; a close is answered
  // and the connection closed; protocol violations close with 1002, text that is not UTF-8 with
  // 1007, messages over 256 MiB with 1009. While the handshake is not done returns empty at once,
  // consuming nothing. After the server's close frame (Tag 2) frames are still read, to take the
  // client's answering close, but every message is dropped (empty result). Once the reader has
  // closed the connection, or a read has failed inside a frame (the connection ended or failed, or
  // no memory), the connection is closed and what is buffered dropped: no byte behind a close or of
  // a cut frame is read as a message.
  // When more of the client's bytes are buffered behind the message, the frames this thread
  // queues next are held until it waits for input again (TIOHandler::HoldReplies), so replies
  // to pipelined messages leave together.
  TBytes ReadBytes();
  // Queues RawData as one final, unmasked text frame and returns without waiting for the peer.
  // Sends nothing until the handshake has been answered (Tag != 1; a connection is in Contexts
  // with Tag 0 just before its connect step): a frame before the 101 response would break the
  // client's handshake.
  void WriteBytes(const TBytes& RawData);
  std::u16string ReadString();
  void WriteString(const std::u16string& str);

 private:
  TIOHandler& FHandler;
};

}  // namespace vantorix
