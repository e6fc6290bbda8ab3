// The frame codec on byte streams: the server's frame forms and the client frame rules of
// RFC 6455 section 5.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "websocket/WebSocketFrames.h"

namespace vantorix {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Serves bytes from memory; the end of the bytes is the end of the connection.
class TMemorySource final : public TFrameSource {
 public:
  explicit TMemorySource(TBytes bytes) : FBytes(std::move(bytes)) {}
  std::uint8_t ReadByte() override {
    if (FAt >= FBytes.size())
      throw std::runtime_error("end");
    return FBytes[FAt++];
  }
  void ReadBytes(TBytes& v, int n, bool append) override {
    LargestRead = std::max(LargestRead, n);
    if (FBytes.size() - FAt < static_cast<std::size_t>(n))
      throw std::runtime_error("end");
    const auto from = FBytes.begin() + static_cast<std::ptrdiff_t>(FAt);
    if (append) {
      // Each move of a non-empty message to a new buffer is a copy of all it holds.
      if (!v.empty() && v.data() != FLastData)
        ++MessageMoves;
      FLastData = v.empty() ? nullptr : v.data();
      LargestCapacity = std::max(LargestCapacity, v.capacity());
      v.insert(v.end(), from, from + n);
    } else {
      if (v.size() < static_cast<std::size_t>(n))
        v.resize(static_cast<std::size_t>(n));
      std::copy(from, from + n, v.begin());
    }
    FAt += static_cast<std::size_t>(n);
    if (append) {
      if (FLastData != nullptr && v.data() != FLastData)
        ++MessageMoves;
      FLastData = v.data();
      LargestCapacity = std::max(LargestCapacity, v.capacity());
    }
  }
  std::size_t Consumed() const { return FAt; }
  int LargestRead = 0;
  int MessageMoves = 0;
  std::size_t LargestCapacity = 0;

 private:
  TBytes FBytes;
  std::size_t FAt = 0;
  const std::uint8_t* FLastData = nullptr;
};

class TRecordingSink final : public TFrameSink {
 public:
  void WriteFrame(const TBytes& frame) override { Frames.push_back(frame); }
  void CloseConnection() override { Closed = true; }
  std::vector<TBytes> Frames;
  bool Closed = false;
};

constexpr std::uint8_t kKey[4] = {0x37, 0xFA, 0x21, 0x3D};

// A client frame: first byte, masked (or not) payload with the shortest length form.
TBytes ClientFrame(std::uint8_t first, const std::string& payload, bool mask = true) {
  TBytes f{first};
  const std::uint8_t m = mask ? 0x80 : 0;
  const std::size_t n = payload.size();
  if (n <= 125) {
    f.push_back(static_cast<std::uint8_t>(m | n));
  } else if (n <= 0xFFFF) {
    f.insert(f.end(), {static_cast<std::uint8_t>(m | 126), static_cast<std::uint8_t>(n >> 8),
                       static_cast<std::uint8_t>(n)});
  } else {
    f.push_back(m | 127);
    for (int i = 7; i >= 0; --i)
      f.push_back(static_cast<std::uint8_t>(std::uint64_t{n} >> (8 * i)));
  }
  if (mask)
    f.insert(f.end(), kKey, kKey + 4);
  for (std::size_t i = 0; i < n; ++i) {
    f.push_back(static_cast<std::uint8_t>(payload[i]) ^ (mask ? kKey[i % 4] : 0));
  }
  return f;
}

TBytes Concat(std::initializer_list<TBytes> parts) {
  TBytes all;
  for (const auto& p : parts)
    all.insert(all.end(), p.begin(), p.end());
  return all;
}

TBytes CloseFrame(std::uint16_t code) {
  return {0x88, 0x02, static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
}

TEST(FrameEncoder, TextFrameLengthFormsOfRfc6455Section5_2) {
  struct {
    std::size_t n;
    TBytes header;
  } const cases[] = {
      {0, {0x81, 0x00}},
      {125, {0x81, 0x7D}},
      {126, {0x81, 0x7E, 0x00, 0x7E}},
      {65535, {0x81, 0x7E, 0xFF, 0xFF}},
      {65536, {0x81, 0x7F, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00}},
      {70000, {0x81, 0x7F, 0, 0, 0, 0, 0x00, 0x01, 0x11, 0x70}},
  };
  for (const auto& c : cases) {
    const TBytes payload(c.n, 'x');
    const TBytes frame = EncodeTextFrame(payload);
    ASSERT_EQ(frame.size(), c.header.size() + c.n) << c.n;
    EXPECT_TRUE(std::equal(c.header.begin(), c.header.end(), frame.begin())) << c.n;
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), frame.begin() + c.header.size()));
  }
}

TEST(FrameEncoder, ControlFramesAreUnmaskedAndAtMost125Bytes_Rfc6455Section5_5) {
  const std::uint8_t body[] = {0x03, 0xE8};
  EXPECT_THAT(EncodeControlFrame(TOpcode::Close, body), ElementsAre(0x88, 0x02, 0x03, 0xE8));
  EXPECT_THAT(EncodeControlFrame(TOpcode::Pong, {}), ElementsAre(0x8A, 0x00));
  const TBytes big(300, 1);
  EXPECT_EQ(EncodeControlFrame(TOpcode::Ping, big).size(), 127u);
}

// The reason is cut to the 123 bytes a control frame leaves it, never inside a character, and
// is always well-formed UTF-8.
TEST(FrameEncoder, CloseFrameReasonIsUtf8CutAtACharacterBoundary_Rfc6455Section5_5_1) {
  const std::string a121(121, 'a');
  struct {
    const char* name;
    std::string reason;
    std::string sent;
  } const cases[] = {
      {"none", "", ""},
      {"short", "'x' is not a valid integer value", "'x' is not a valid integer value"},
      {"123 bytes fit", a121 + "bc", a121 + "bc"},
      {"124 bytes are cut", a121 + "bcd", a121 + "bc"},
      {"2-byte character fits at the end", a121 + "\xC3\xA9", a121 + "\xC3\xA9"},
      {"2-byte character across the cut", a121 + "b\xC3\xA9", a121 + "b"},
      {"3-byte character across the cut", a121 + "\xE2\x82\xAC", a121},
      {"4-byte character across the cut", a121.substr(1) + "\xF0\x9F\x98\x80", a121.substr(1)},
      {"ill-formed bytes become U+FFFD", "x\xFFy\xC3", "x\xEF\xBF\xBDy\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string frame =
        std::string{'\x88', static_cast<char>(2 + c.sent.size()), '\x03', '\xEF'} + c.sent;
    EXPECT_EQ(EncodeCloseFrame(1007, c.reason), TBytes(frame.begin(), frame.end()));
  }
}

TEST(FrameReader, ReadsMaskedTextFramesOfEveryLengthForm_Rfc6455Section5_2) {
  for (std::size_t n : {1u, 5u, 125u, 126u, 300u, 65535u, 65536u, 70000u}) {
    std::string payload(n, 'a');
    for (std::size_t i = 0; i < n; ++i)
      payload[i] = static_cast<char>('a' + i % 26);
    TMemorySource source(ClientFrame(0x81, payload));
    TRecordingSink sink;
    const TClientMessage m = ReadClientMessage(source, sink);
    EXPECT_EQ(m.Kind, TMessageKind::Text);
    EXPECT_EQ(std::string(m.Payload.begin(), m.Payload.end()), payload) << n;
    EXPECT_TRUE(sink.Frames.empty());
    EXPECT_LE(source.LargestRead, 65536) << "payload read in chunks";
  }
}

// One row per rule: the bytes a client sends, what the reader makes of them, and what it sends.
TEST(FrameReader, FrameRulesOfRfc6455Sections5_1To5_5And8_1) {
  struct {
    const char* name;
    TBytes input;
    TMessageKind kind;
    std::string text;
    std::vector<TBytes> answers;
    bool closed;
  } const cases[] = {
      {"empty text", ClientFrame(0x81, ""), TMessageKind::Text, "", {}, false},
      {"fragmented text reassembled (5.4)",
       Concat({ClientFrame(0x01, "Hel"), ClientFrame(0x00, "l"), ClientFrame(0x80, "o")}),
       TMessageKind::Text,
       "Hello",
       {},
       false},
      {"ping inside a fragmented message (5.4, 5.5.2)",
       Concat({ClientFrame(0x01, "Hel"), ClientFrame(0x89, "p"), ClientFrame(0x80, "lo")}),
       TMessageKind::Text,
       "Hello",
       {{0x8A, 0x01, 'p'}},
       false},
      {"binary dropped", ClientFrame(0x82, "\x81\x85 bytes"), TMessageKind::Binary, "", {}, false},
      {"fragmented binary dropped",
       Concat({ClientFrame(0x02, "ab"), ClientFrame(0x80, "cd")}),
       TMessageKind::Binary,
       "",
       {},
       false},
      {"ping answered with its payload (5.5.2)",
       ClientFrame(0x89, "hb"),
       TMessageKind::Ping,
       "",
       {{0x8A, 0x02, 'h', 'b'}},
       false},
      {"pong ignored (5.5.3)", ClientFrame(0x8A, "x"), TMessageKind::Pong, "", {}, false},
      {"close echoes the status (5.5.1)",
       ClientFrame(0x88, std::string("\x03\xE8"
                                     "bye",
                                     5)),
       TMessageKind::Close,
       "",
       {CloseFrame(1000)},
       true},
      {"close without body", ClientFrame(0x88, ""), TMessageKind::Close, "", {{0x88, 0x00}}, true},
      {"close with one body byte (5.5.1)",
       ClientFrame(0x88, "x"),
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"unmasked client frame (5.1)",
       ClientFrame(0x81, "Hello", false),
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"RSV1 set (5.2)",
       ClientFrame(0xC1, "Hello"),
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"RSV3 set (5.2)",
       ClientFrame(0x91, "Hello"),
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"reserved data opcode 3 (5.2)",
       ClientFrame(0x83, "x"),
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"reserved control opcode 0xB (5.2)",
       ClientFrame(0x8B, "x"),
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"control frame of 126 bytes (5.5)",
       ClientFrame(0x89, std::string(126, 'p')),
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"fragmented ping (5.5)",
       ClientFrame(0x09, "p"),
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"continuation without a message (5.4)",
       ClientFrame(0x80, "x"),
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"new message inside a fragmented one (5.4)",
       Concat({ClientFrame(0x01, "a"), ClientFrame(0x81, "b")}),
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"64-bit length with the top bit set (5.2)",
       {0x81, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4},
       TMessageKind::ProtocolError,
       "",
       {CloseFrame(1002)},
       true},
      {"2 GiB announced: 1009 before any payload (7.4.1)",
       {0x81, 0xFF, 0, 0, 0, 0, 0x80, 0, 0, 0, 1, 2, 3, 4},
       TMessageKind::TooBig,
       "",
       {CloseFrame(1009)},
       true},
      {"UTF-8 text (8.1)",
       ClientFrame(0x81, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
       TMessageKind::Text,
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       {},
       false},
      {"a character across three fragments (8.1)",
       Concat({ClientFrame(0x01, "a\xE2"), ClientFrame(0x00, "\x82"), ClientFrame(0x80, "\xAC!")}),
       TMessageKind::Text,
       "a\xE2\x82\xAC!",
       {},
       false},
      {"stray byte in text (8.1)",
       ClientFrame(0x81, "a\xFFz"),
       TMessageKind::InvalidText,
       "",
       {CloseFrame(1007)},
       true},
      {"lone continuation byte (8.1)",
       ClientFrame(0x81, "\x80"),
       TMessageKind::InvalidText,
       "",
       {CloseFrame(1007)},
       true},
      {"overlong form (8.1)",
       ClientFrame(0x81, "\xC0\xAF"),
       TMessageKind::InvalidText,
       "",
       {CloseFrame(1007)},
       true},
      {"encoded surrogate (8.1)",
       ClientFrame(0x81, "\xED\xA0\x80"),
       TMessageKind::InvalidText,
       "",
       {CloseFrame(1007)},
       true},
      {"above U+10FFFF (8.1)",
       ClientFrame(0x81, "\xF4\x90\x80\x80"),
       TMessageKind::InvalidText,
       "",
       {CloseFrame(1007)},
       true},
      {"text ends inside a character (8.1)",
       ClientFrame(0x81, "\xE2\x82"),
       TMessageKind::InvalidText,
       "",
       {CloseFrame(1007)},
       true},
      {"bad byte in a later fragment (8.1)",
       Concat({ClientFrame(0x01, "ok \xE2"), ClientFrame(0x80, "(")}),
       TMessageKind::InvalidText,
       "",
       {CloseFrame(1007)},
       true},
      {"binary payload is not UTF-8-checked",
       ClientFrame(0x82, "\xFF\xC0"),
       TMessageKind::Binary,
       "",
       {},
       false},
      {"just over 256 MiB announced (7.4.1)",
       {0x81, 0xFF, 0, 0, 0, 0, 0x10, 0, 0, 1, 1, 2, 3, 4},
       TMessageKind::TooBig,
       "",
       {CloseFrame(1009)},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TMemorySource source(c.input);
    TRecordingSink sink;
    const TClientMessage m = ReadClientMessage(source, sink);
    EXPECT_EQ(m.Kind, c.kind);
    EXPECT_EQ(std::string(m.Payload.begin(), m.Payload.end()), c.text);
    EXPECT_EQ(sink.Frames, c.answers);
    EXPECT_EQ(sink.Closed, c.closed);
  }
}

// A valid status is echoed; one that may not be sent, or is not defined, gets 1002 instead.
TEST(FrameReader, CloseStatusCodes_Rfc6455Section7_4) {
  struct {
    std::uint16_t status;
    bool valid;
  } const cases[] = {
      {0, false},   {999, false},  {1000, true},  {1001, true},   {1002, true},
      {1003, true}, {1004, false}, {1005, false}, {1006, false},  {1007, true},
      {1011, true}, {1014, true},  {1015, false}, {1016, false},  {2999, false},
      {3000, true}, {4999, true},  {5000, false}, {65535, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    std::string body{static_cast<char>(c.status >> 8), static_cast<char>(c.status & 0xFF)};
    TMemorySource source(ClientFrame(0x88, body + "why"));
    TRecordingSink sink;
    const TClientMessage m = ReadClientMessage(source, sink);
    EXPECT_EQ(m.Kind, c.valid ? TMessageKind::Close : TMessageKind::ProtocolError);
    EXPECT_EQ(sink.Frames, std::vector<TBytes>{CloseFrame(c.valid ? c.status : 1002)});
    EXPECT_TRUE(sink.Closed);
  }
}

TEST(FrameReader, BytesLikeAFrameStartInsideAPayloadAreNotTakenForOne_Rfc6455Section5_2) {
  // A binary frame whose key and payload hold 0x81 bytes, then the client's real command.
  TBytes binary{0x82, 0x84, 0x81, 0x81, 0x81, 0x81, 0x00, 0x04, 0x81, 0x85};
  TMemorySource source(Concat({binary, ClientFrame(0x81, "next")}));
  TRecordingSink sink;
  EXPECT_EQ(ReadClientMessage(source, sink).Kind, TMessageKind::Binary);
  const TClientMessage m = ReadClientMessage(source, sink);
  EXPECT_EQ(m.Kind, TMessageKind::Text);
  EXPECT_EQ(std::string(m.Payload.begin(), m.Payload.end()), "next");
}

TEST(FrameReader, MessageLimitCountsAllFragments) {
  TMemorySource source(Concat({ClientFrame(0x01, "12345"), ClientFrame(0x80, "678")}));
  TRecordingSink sink;
  EXPECT_EQ(ReadClientMessage(source, sink, 7).Kind, TMessageKind::TooBig);
  EXPECT_EQ(sink.Frames, std::vector<TBytes>{CloseFrame(1009)});
  TMemorySource exact(Concat({ClientFrame(0x01, "1234"), ClientFrame(0x80, "567")}));
  EXPECT_EQ(ReadClientMessage(exact, sink, 7).Kind, TMessageKind::Text);
}

TEST(FrameReader, AnnouncedLengthAllocatesOnlyWhatArrives) {
  // 200 MiB announced (below the limit), 10 bytes sent, then the connection ends.
  TBytes input{0x81, 0xFF, 0, 0, 0, 0, 0x0C, 0x80, 0, 0, 1, 2, 3, 4};
  input.insert(input.end(), 10, 'z');
  TMemorySource source(input);
  TRecordingSink sink;
  EXPECT_THROW(ReadClientMessage(source, sink), std::runtime_error);
  EXPECT_LE(source.LargestRead, 65536);
  EXPECT_LE(source.LargestCapacity, std::size_t{1} << 21) << "room follows what arrived";
}

// A large message is received without being copied from buffer to buffer as it grows, in one
// frame or in many, and its room never runs far ahead of its length.
TEST(FrameReader, LargeMessageGrowsInFewSteps) {
  const std::size_t size = (std::size_t{3} << 20) + 7;
  std::string payload(size, ' ');
  for (std::size_t i = 0; i < size; ++i)
    payload[i] = static_cast<char>('a' + (i * 7) % 26);
  struct {
    std::size_t Fragment;
    int MaxMoves;
  } cases[] = {{size, 1}, {size / 2 + 1, 2}, {1000, 16}};
  for (const auto& c : cases) {
    TBytes input;
    for (std::size_t at = 0; at < size; at += c.Fragment) {
      const std::size_t n = std::min(c.Fragment, size - at);
      const std::uint8_t op = at == 0 ? 0x01 : 0x00;
      const std::uint8_t fin = at + n == size ? 0x80 : 0x00;
      const TBytes frame = ClientFrame(static_cast<std::uint8_t>(fin | op), payload.substr(at, n));
      input.insert(input.end(), frame.begin(), frame.end());
    }
    TMemorySource source(std::move(input));
    TRecordingSink sink;
    const TClientMessage m = ReadClientMessage(source, sink);
    ASSERT_EQ(m.Kind, TMessageKind::Text) << c.Fragment;
    EXPECT_TRUE(std::equal(m.Payload.begin(), m.Payload.end(), payload.begin(), payload.end()))
        << c.Fragment;
    EXPECT_LE(source.MessageMoves, c.MaxMoves) << c.Fragment;
    EXPECT_LE(source.LargestCapacity, 2 * size) << c.Fragment;
  }
}

TEST(FrameReader, EndOfStreamInsideAFrameRaisesAfterConsumingWhatCame) {
  const TBytes full = ClientFrame(0x81, "Hello");
  for (std::size_t cut = 0; cut < full.size(); ++cut) {
    TMemorySource source(TBytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
    TRecordingSink sink;
    EXPECT_THROW(ReadClientMessage(source, sink), std::runtime_error) << cut;
    EXPECT_TRUE(sink.Frames.empty());
  }
}

}  // namespace
}  // namespace vantorix
