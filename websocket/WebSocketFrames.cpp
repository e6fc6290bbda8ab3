// WebSocket frames: encoder of the server's frames and the client message reader.
#include "websocket/WebSocketFrames.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/Memory.h"
#include "websocket/Utf8.h"

namespace vantorix {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

void AppendLength(TBytes& frame, std::uint8_t first, std::uint64_t n) {
  frame.push_back(first);
  if (n <= 125) {
    frame.push_back(static_cast<std::uint8_t>(n));
  } else if (n <= 0xFFFF) {
    frame.push_back(0x7E);
    frame.push_back(static_cast<std::uint8_t>(n >> 8));
    frame.push_back(static_cast<std::uint8_t>(n));
  } else {
    frame.push_back(0x7F);
    for (int i = 7; i >= 0; --i)
      frame.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  }
}

TClientMessage FailConnection(TFrameSink& sink, std::uint16_t status) {
  sink.WriteFrame(EncodeCloseFrame(status));
  sink.CloseConnection();
  switch (status) {
    case kCloseMessageTooBig:
      return {TMessageKind::TooBig, {}};
    case kCloseInvalidData:
      return {TMessageKind::InvalidText, {}};
    default:
      return {TMessageKind::ProtocolError, {}};
  }
}

// Section 7.4: the codes a close frame may carry. 1004 is reserved, 1005, 1006 and 1015 stand
// for "no code" and must never be sent, 1016-2999 are kept for future revisions of the protocol;
// 1012-1014 have been registered with IANA since; 3000-4999 belong to libraries and applications.
bool ValidCloseStatus(std::uint16_t status) {
  return (status >= 1000 && status <= 1003) || (status >= 1007 && status <= 1014) ||
         (status >= 3000 && status <= 4999);
}

bool KnownOpcode(std::uint8_t op) {
  return op <= 0x2 || (op >= 0x8 && op <= 0xA);
}

// XORs n bytes with the key, byte i with key[(offset + i) mod 4] (RFC 6455 section 5.3), eight
// bytes at a time.
void Unmask(std::uint8_t* p, std::size_t n, const std::array<std::uint8_t, 4>& key,
            std::size_t offset) {
  std::uint8_t wide[8];
  for (std::size_t i = 0; i < 8; ++i)
    wide[i] = key[(offset + i) % 4];
  std::uint64_t word;
  std::memcpy(&word, wide, 8);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, p + i, 8);
    v ^= word;
    std::memcpy(p + i, &v, 8);
  }
  for (; i < n; ++i)
    p[i] ^= wide[i % 8];
}

// Room in `message` for the next `chunk` bytes of a payload of which `left` bytes are still to
// come: as far ahead of what has arrived as RoomAheadOf allows, never beyond the declared length,
// and at least doubling, so that many small fragments stay amortised linear.
void MakeRoom(TBytes& message, std::size_t chunk, std::size_t left) {
  const std::size_t size = message.size();
  const std::size_t bounded = size + std::min(left, RoomAheadOf(size));
  message.reserve(std::max(size + chunk, std::max(bounded, 2 * message.capacity())));
}

// Reads len payload bytes in chunks, unmasking them (section 5.3: byte i XOR key[i mod 4]).
// Appends them to into, or drops them when into is null.
void ReadPayload(TFrameSource& source, std::uint64_t len, const std::array<std::uint8_t, 4>& key,
                 TBytes* into) {
  TBytes scratch;
  std::uint64_t done = 0;
  while (done < len) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(len - done, kReadChunk));
    if (into == nullptr) {
      source.ReadBytes(scratch, static_cast<int>(n), false);
    } else {
      const std::size_t old = into->size();
      if (n > into->capacity() - old)
        MakeRoom(*into, n, static_cast<std::size_t>(len - done));
      source.ReadBytes(*into, static_cast<int>(n), true);
      Unmask(into->data() + old, n, key, static_cast<std::size_t>(done % 4));
    }
    done += n;
  }
}

}  // namespace

TBytes EncodeTextFrame(std::span<const std::uint8_t> payload) {
  TBytes frame;
  frame.reserve(payload.size() + 10);
  AppendLength(frame, 0x81, payload.size());
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

TBytes EncodeTextFrame(std::u16string_view text) {
  const std::size_t n = Utf8Length(text);
  TBytes frame;
  frame.reserve(n + 10);
  AppendLength(frame, 0x81, n);
  const std::size_t head = frame.size();
  frame.resize(head + n);
  Utf8EncodeTo(text, frame.data() + head);
  return frame;
}

TBytes EncodeControlFrame(TOpcode opcode, std::span<const std::uint8_t> payload) {
  const std::size_t n = std::min<std::size_t>(payload.size(), 125);
  TBytes frame;
  frame.reserve(n + 2);
  AppendLength(frame, static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(opcode)), n);
  frame.insert(frame.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(n));
  return frame;
}

TBytes EncodeCloseFrame(std::uint16_t status, std::string_view reason) {
  constexpr std::size_t kMaxReason = 125 - 2;
  TBytes body{static_cast<std::uint8_t>(status >> 8), static_cast<std::uint8_t>(status)};
  // Clients fail the connection on a reason that is not UTF-8, so it is made well-formed first,
  // and cut where no character is split.
  const TBytes text = Utf8Encode(Utf8Decode(reason));
  std::size_t n = std::min(text.size(), kMaxReason);
  while (n > 0 && n < text.size() && (text[n] & 0xC0) == 0x80)
    --n;
  body.insert(body.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
  return EncodeControlFrame(TOpcode::Close, body);
}

void TFrameSource::ReadExact(std::span<std::uint8_t> out) {
  for (std::uint8_t& b : out)
    b = ReadByte();
}

TClientMessage ReadClientMessage(TFrameSource& source, TFrameSink& sink,
                                 std::uint64_t maxMessageSize) {
  TBytes message;
  TUtf8Validator utf8;
  std::uint64_t messageSize = 0;
  bool inMessage = false;
  TOpcode messageOp = TOpcode::Text;
  for (;;) {
    // The header is taken in up to three reads (the first two bytes, the extended length, the
    // mask key), each checked before the next is awaited.
    std::array<std::uint8_t, 8> head{};
    source.ReadExact(std::span(head.data(), 2));
    const std::uint8_t b0 = head[0];
    const std::uint8_t b1 = head[1];
    const bool fin = (b0 & 0x80) != 0;
    const std::uint8_t op = b0 & 0x0F;
    // Section 5.2: RSV1-3 must be 0 when no extension is negotiated (we offer none).
    if ((b0 & 0x70) != 0)
      return FailConnection(sink, kCloseProtocolError);
    // Section 5.1: a server must close the connection on an unmasked client frame.
    if ((b1 & 0x80) == 0)
      return FailConnection(sink, kCloseProtocolError);
    // Section 5.2: reserved opcodes fail the connection.
    if (!KnownOpcode(op))
      return FailConnection(sink, kCloseProtocolError);
    std::uint64_t len = b1 & 0x7F;
    if (len == 126) {
      source.ReadExact(std::span(head.data(), 2));
      len = (std::uint64_t{head[0]} << 8) | head[1];
    } else if (len == 127) {
      source.ReadExact(std::span(head.data(), 8));
      len = 0;
      for (std::uint8_t b : head)
        len = (len << 8) | b;
      // Section 5.2: the most significant bit of the 64-bit length must be 0.
      if ((len >> 63) != 0)
        return FailConnection(sink, kCloseProtocolError);
    }
    const bool control = (op & 0x08) != 0;
    if (control) {
      // Section 5.5: control frames are never fragmented and carry at most 125 bytes.
      if (!fin || len > 125)
        return FailConnection(sink, kCloseProtocolError);
    } else {
      // Section 5.4: a continuation needs a started message; a new message must not start
      // inside one.
      if (op == 0 && !inMessage)
        return FailConnection(sink, kCloseProtocolError);
      if (op != 0 && inMessage)
        return FailConnection(sink, kCloseProtocolError);
      if (op != 0)
        messageOp = static_cast<TOpcode>(op);
      // Section 7.4.1, status 1009: a message too big to process.
      if (len > maxMessageSize - messageSize)
        return FailConnection(sink, kCloseMessageTooBig);
    }
    std::array<std::uint8_t, 4> key{};
    source.ReadExact(key);

    if (control) {
      TBytes payload;
      ReadPayload(source, len, key, &payload);
      switch (static_cast<TOpcode>(op)) {
        case TOpcode::Ping:
          // Section 5.5.2: a pong with the ping's application data.
          sink.WriteFrame(EncodeControlFrame(TOpcode::Pong, payload));
          if (!inMessage)
            return {TMessageKind::Ping, {}};
          break;
        case TOpcode::Pong:
          if (!inMessage)
            return {TMessageKind::Pong, {}};
          break;
        default: {
          // Section 5.5.1: a close body is empty or starts with a 2-byte status code; the
          // answer echoes a valid status, and a code that must not be sent is a protocol error.
          if (payload.size() == 1)
            return FailConnection(sink, kCloseProtocolError);
          if (payload.size() >= 2 &&
              !ValidCloseStatus(static_cast<std::uint16_t>((payload[0] << 8) | payload[1]))) {
            return FailConnection(sink, kCloseProtocolError);
          }
          const std::size_t keep = std::min<std::size_t>(payload.size(), 2);
          sink.WriteFrame(EncodeControlFrame(TOpcode::Close,
                                             std::span<const std::uint8_t>(payload.data(), keep)));
          sink.CloseConnection();
          return {TMessageKind::Close, {}};
        }
      }
      continue;
    }

    inMessage = true;
    messageSize += len;
    if (messageOp != TOpcode::Text) {
      ReadPayload(source, len, key, nullptr);
      if (fin)
        return {TMessageKind::Binary, {}};
      continue;
    }
    const std::size_t before = message.size();
    ReadPayload(source, len, key, &message);
    // Section 8.1: text that is not UTF-8 fails the connection. Checked per fragment, so a bad
    // fragment ends the message early; a character may still span two fragments.
    if (!utf8.Feed(std::span<const std::uint8_t>(message).subspan(before)) ||
        (fin && !utf8.Complete())) {
      return FailConnection(sink, kCloseInvalidData);
    }
    if (fin)
      return {TMessageKind::Text, std::move(message)};
  }
}

}  // namespace vantorix
