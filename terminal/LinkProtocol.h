// Terminal link protocol: the byte codec spoken between a terminal control and a terminal.
// Frames, requests and replies are encoded to and decoded from plain bytes; no sockets here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantorix {

// Raised by every decoder on malformed, truncated or oversized input.
class ELinkProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::uint32_t kLinkMagic = 0x4B4C5456;  // "VTLK" as little-endian bytes
inline constexpr std::uint16_t kLinkVersion = 1;
// A frame body larger than this is refused by the assembler before it is buffered.
inline constexpr std::uint32_t kLinkMaxFrame = 256u * 1024u * 1024u;
inline constexpr std::size_t kLinkHeaderSize = 4;
inline constexpr int kFingerSlots = 10;

// Error codes carried by replies and reported by GetLastError (see docs/terminal-link.md).
inline constexpr std::int32_t kLinkOk = 0;
inline constexpr std::int32_t kLinkErrNotFound = -1;
inline constexpr std::int32_t kLinkErrLink = -2;
inline constexpr std::int32_t kLinkErrPassword = -3;
inline constexpr std::int32_t kLinkErrInvalid = -4;
inline constexpr std::int32_t kLinkErrNotConnected = -6;
inline constexpr std::int32_t kLinkErrConnect = -7;
inline constexpr std::int32_t kLinkErrStorage = -8;
inline constexpr std::int32_t kLinkErrProtocol = -9;

enum class TLinkOp : std::uint8_t {
  kHello = 1,
  kEnableDevice = 2,
  kReadAllUsers = 3,
  kReadAllTemplates = 4,
  kGetTemplate = 5,
  kSetUser = 6,
  kSetTemplate = 7,
  kDeleteEnroll = 8,
  kDeleteTemplate = 9,
  kRefresh = 10,
};

struct TLinkUser {
  std::u16string enrollNumber;
  std::u16string name;
  std::u16string password;
  std::int32_t privilege = 0;
  bool enabled = false;
  std::u16string cardNumber;  // empty: no card
  bool operator==(const TLinkUser&) const = default;
};

struct TLinkTemplate {
  std::u16string enrollNumber;
  std::int32_t fingerIndex = 0;
  std::int32_t flag = 0;
  std::u16string data;
  bool operator==(const TLinkTemplate&) const = default;
};

// One request. Which fields travel depends on op (docs/terminal-link.md):
//   kHello: value = communication password; kEnableDevice: value = 0 or 1;
//   kGetTemplate, kDeleteTemplate: user.enrollNumber, value = finger index;
//   kDeleteEnroll: user.enrollNumber, value = backup number;
//   kSetUser: user, hasCard (user.cardNumber travels only when set);
//   kSetTemplate: fp; kReadAllUsers, kReadAllTemplates, kRefresh: nothing.
struct TLinkRequest {
  TLinkOp op = TLinkOp::kRefresh;
  std::int32_t value = 0;
  TLinkUser user;
  bool hasCard = false;
  TLinkTemplate fp;
  bool operator==(const TLinkRequest&) const = default;
};

// One reply, always answering the request before it. Payload only when ok:
//   kReadAllUsers: users; kReadAllTemplates: templates; kGetTemplate: fp (flag, data).
struct TLinkReply {
  TLinkOp op = TLinkOp::kRefresh;
  bool ok = false;
  std::int32_t errorCode = kLinkOk;
  std::vector<TLinkUser> users;
  std::vector<TLinkTemplate> templates;
  TLinkTemplate fp;
  bool operator==(const TLinkReply&) const = default;
};

// Appends little-endian fields to a byte vector.
class TLinkWriter {
 public:
  void U8(std::uint8_t v) { fBytes.push_back(v); }
  void U16(std::uint16_t v);
  void U32(std::uint32_t v);
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void Text(const std::u16string& v);
  void User(const TLinkUser& v);
  void Template(const TLinkTemplate& v);
  // Makes room for that many more bytes.
  void Reserve(std::size_t more) { fBytes.reserve(fBytes.size() + more); }
  std::vector<std::uint8_t>& Bytes() { return fBytes; }

 private:
  std::vector<std::uint8_t> fBytes;
};

// Reads little-endian fields from a byte span; throws ELinkProtocolError when input runs short.
class TLinkReader {
 public:
  explicit TLinkReader(std::span<const std::uint8_t> bytes) : fBytes(bytes) {}
  std::uint8_t U8();
  std::uint16_t U16();
  std::uint32_t U32();
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  bool Bool();
  std::u16string Text();
  TLinkUser User();
  TLinkTemplate Template();
  // Throws unless every byte was consumed.
  void End() const;
  std::size_t Remaining() const { return fBytes.size() - fPos; }

 private:
  void Need(std::size_t n) const;
  std::span<const std::uint8_t> fBytes;
  std::size_t fPos = 0;
};

// Frame = 4-byte little-endian body length + body. Encoders return a whole frame.
std::vector<std::uint8_t> EncodeRequest(const TLinkRequest& request);
std::vector<std::uint8_t> EncodeReply(const TLinkReply& reply);
// Decoders take one frame body (without the length prefix).
TLinkRequest DecodeRequest(std::span<const std::uint8_t> body);
TLinkReply DecodeReply(std::span<const std::uint8_t> body);

// Collects bytes as they arrive and cuts them into frame bodies.
class TFrameAssembler {
 public:
  void Feed(std::span<const std::uint8_t> bytes);
  // Lets receive(std::vector<std::uint8_t>&) append what arrives straight to the assembler's
  // buffer, saving a copy of every byte; returns what receive returns.
  template <typename TReceive>
  decltype(auto) FeedFrom(TReceive&& receive) {
    Compact();
    return receive(fBuffer);
  }
  // The next complete body, or nothing yet. Throws ELinkProtocolError on an oversized length.
  std::optional<std::vector<std::uint8_t>> Next();
  // The same without a copy: the span stays valid until the next Feed or FeedFrom.
  std::optional<std::span<const std::uint8_t>> NextView();
  bool Empty() const { return fBuffer.size() == fStart; }

 private:
  void Compact();
  std::vector<std::uint8_t> fBuffer;
  std::size_t fStart = 0;
};

}  // namespace vantorix
