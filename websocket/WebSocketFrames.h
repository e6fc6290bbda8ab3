// WebSocket frame codec (RFC 6455, section 5) on byte streams: the server's frame forms and the
// reader of client messages with control-frame handling and protocol checks.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "websocket/Bytes.h"

namespace vantorix {

enum class TOpcode : std::uint8_t {
  Continuation = 0x0,
  Text = 0x1,
  Binary = 0x2,
  Close = 0x8,
  Ping = 0x9,
  Pong = 0xA,
};

inline constexpr std::uint64_t kMaxMessageSize = std::uint64_t{256} << 20;  // 256 MiB
inline constexpr std::uint16_t kCloseGoingAway = 1001;
inline constexpr std::uint16_t kCloseProtocolError = 1002;
inline constexpr std::uint16_t kCloseInvalidData = 1007;
inline constexpr std::uint16_t kCloseMessageTooBig = 1009;

// Where the reader takes bytes from. Both calls wait until the bytes are there and raise when the
// stream ends first (any exception; the reader lets it through).
class TFrameSource {
 public:
  virtual ~TFrameSource() = default;
  virtual std::uint8_t ReadByte() = 0;
  // Appends AByteCount bytes to VBuffer when AAppend, else copies them to its front.
  virtual void ReadBytes(TBytes& VBuffer, int AByteCount, bool AAppend) = 0;
  // Fills out (a few header bytes). The default reads them one by one with ReadByte; a source
  // with buffered bytes takes them at once.
  virtual void ReadExact(std::span<std::uint8_t> out);
};

// Where the reader sends its answers (pong, close). Implementations should not raise; an
// exception is let through.
class TFrameSink {
 public:
  virtual ~TFrameSink() = default;
  // Sends one complete frame; frames are never interleaved by the caller.
  virtual void WriteFrame(const TBytes& frame) = 0;
  // Ends the connection after a close frame has been sent.
  virtual void CloseConnection() = 0;
};

// A final, unmasked text frame: 0x81, then the length in 7, 16 or 64 bits (RFC 6455 section
// 5.2), then the payload.
TBytes EncodeTextFrame(std::span<const std::uint8_t> payload);
// The same frame for text held as UTF-16, encoded to UTF-8 (as Utf8Encode) straight into the
// frame.
TBytes EncodeTextFrame(std::u16string_view text);
// A control frame (close, ping, pong) with at most 125 payload bytes (section 5.5), unmasked.
TBytes EncodeControlFrame(TOpcode opcode, std::span<const std::uint8_t> payload);
// A close frame with the status and the reason (section 5.5.1): the reason as UTF-8, ill-formed
// sequences replaced by U+FFFD, cut at a character boundary to the 123 bytes a control frame
// has room for.
TBytes EncodeCloseFrame(std::uint16_t status, std::string_view reason = {});

enum class TMessageKind {
  Text,           // a complete text message (Payload holds it, unmasked)
  Binary,         // a complete binary message, read and dropped
  Ping,           // answered with a pong
  Pong,           // ignored
  Close,          // answered with a close frame carrying the client's status; connection closed
  ProtocolError,  // close 1002 sent (also for a close with a status section 7.4 does not allow),
                  // connection closed
  TooBig,         // close 1009 sent, connection closed
  InvalidText,    // a text message that is not UTF-8: close 1007 sent, connection closed
};

struct TClientMessage {
  TMessageKind Kind;
  TBytes Payload;
};

// Reads frames until one message or one control frame is complete. A fragmented message is
// reassembled; control frames between its fragments are answered and reading goes on. Frames
// are parsed by their headers, so no payload byte is ever taken as a frame start. Payload
// memory grows with the bytes that arrive, never from an announced length alone.
// Failure: exceptions of the source or sink pass through; the bytes consumed stay consumed.
TClientMessage ReadClientMessage(TFrameSource& source, TFrameSink& sink,
                                 std::uint64_t maxMessageSize = kMaxMessageSize);

}  // namespace vantorix
