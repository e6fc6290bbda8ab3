// Tests of the terminal link codec: round trips, truncation, forged lengths, frame assembly.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "terminal/LinkProtocol.h"

namespace vantorix {
namespace {

std::vector<std::uint8_t> Body(const std::vector<std::uint8_t>& frame) {
  return std::vector<std::uint8_t>(frame.begin() + kLinkHeaderSize, frame.end());
}

std::vector<TLinkRequest> SampleRequests() {
  std::vector<TLinkRequest> all;
  auto add = [&](TLinkOp op, std::int32_t value) -> TLinkRequest& {
    all.push_back(TLinkRequest{op, value, {}, false, {}});
    return all.back();
  };
  add(TLinkOp::kHello, -123456);
  add(TLinkOp::kEnableDevice, 1);
  add(TLinkOp::kEnableDevice, 0);
  add(TLinkOp::kReadAllUsers, 0);
  add(TLinkOp::kReadAllTemplates, 0);
  add(TLinkOp::kGetTemplate, 9).user.enrollNumber = u"42";
  add(TLinkOp::kDeleteTemplate, 3).user.enrollNumber = u"7";
  add(TLinkOp::kDeleteEnroll, 11).user.enrollNumber = u"\xD800x";  // lone surrogate passes
  TLinkRequest& withCard = add(TLinkOp::kSetUser, 0);
  withCard.user = TLinkUser{u"1", u"Zoë", u"pw", 14, true, u"0012"};
  withCard.hasCard = true;
  add(TLinkOp::kSetUser, 0).user = TLinkUser{u"2", u"", u"", -1, false, u""};
  add(TLinkOp::kSetTemplate, 0).fp = TLinkTemplate{u"1", 6, 1, u"T3mpl@te"};
  add(TLinkOp::kRefresh, 0);
  return all;
}

TEST(LinkProtocolTest, EveryRequestRoundTrips) {
  for (const TLinkRequest& request : SampleRequests()) {
    auto frame = EncodeRequest(request);
    EXPECT_EQ(DecodeRequest(Body(frame)), request) << static_cast<int>(request.op);
  }
}

TEST(LinkProtocolTest, RepliesRoundTripWithPayloadOnlyWhenOk) {
  TLinkReply users{TLinkOp::kReadAllUsers, true, 0, {}, {}, {}};
  users.users = {TLinkUser{u"1", u"A", u"p", 3, true, u"99"},
                 TLinkUser{u"2", u"B", u"", 0, false, u""}};
  TLinkReply templates{TLinkOp::kReadAllTemplates, true, 0, {}, {}, {}};
  templates.templates = {TLinkTemplate{u"1", 0, 1, u"abc"}, TLinkTemplate{u"1", 9, 0, u""}};
  TLinkReply one{TLinkOp::kGetTemplate, true, 0, {}, {}, TLinkTemplate{u"", 0, 5, u"data"}};
  TLinkReply refused{TLinkOp::kSetUser, false, -77, {}, {}, {}};
  TLinkReply zero{TLinkOp::kDeleteEnroll, false, 0, {}, {}, {}};
  for (const TLinkReply& reply : {users, templates, one, refused, zero}) {
    EXPECT_EQ(DecodeReply(Body(EncodeReply(reply))), reply);
  }
}

// Every proper prefix of a message body is refused, never read past its end.
TEST(LinkProtocolTest, TruncatedBodiesAreRefused) {
  for (const TLinkRequest& request : SampleRequests()) {
    auto body = Body(EncodeRequest(request));
    for (std::size_t n = 0; n < body.size(); ++n) {
      std::vector<std::uint8_t> prefix(body.begin(), body.begin() + static_cast<long>(n));
      EXPECT_THROW(DecodeRequest(prefix), ELinkProtocolError)
          << "op " << int(request.op) << " n " << n;
    }
    body.push_back(0);
    EXPECT_THROW(DecodeRequest(body), ELinkProtocolError) << "trailing byte";
  }
}

TEST(LinkProtocolTest, MalformedInputIsRefused) {
  struct TCase {
    const char* what;
    std::vector<std::uint8_t> body;
  };
  const TCase cases[] = {
      {"unknown op", {0x55}},
      {"reply op as request", {0x83}},
      {"hello bad magic", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0}},
      {"hello bad version", {1, 0x56, 0x54, 0x4C, 0x4B, 9, 0, 0, 0, 0, 0}},
      {"boolean 2", {2, 2}},
      // A text claiming 0x7FFFFFFF units in a short message must not be allocated.
      {"forged text length", {5, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(DecodeRequest(c.body), ELinkProtocolError) << c.what;
  }
  // A user list claiming four billion users in a few bytes.
  std::vector<std::uint8_t> forged = {0x83, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  EXPECT_THROW(DecodeReply(forged), ELinkProtocolError);
  std::vector<std::uint8_t> requestAsReply = {0x03, 1, 0, 0, 0, 0};
  EXPECT_THROW(DecodeReply(requestAsReply), ELinkProtocolError);
}

TEST(LinkProtocolTest, AssemblerCutsFramesFedByteByByte) {
  std::vector<std::uint8_t> stream;
  auto requests = SampleRequests();
  for (const auto& request : requests) {
    auto frame = EncodeRequest(request);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  TFrameAssembler assembler;
  std::vector<TLinkRequest> decoded;
  for (std::uint8_t byte : stream) {
    assembler.Feed(std::span<const std::uint8_t>(&byte, 1));
    while (auto body = assembler.Next()) {
      decoded.push_back(DecodeRequest(*body));
    }
  }
  EXPECT_EQ(decoded, requests);
  EXPECT_TRUE(assembler.Empty());
}

// The bytes on the wire, not only that both ends agree: the length field names the body, and
// texts go as little-endian units (high bytes included) after their unit count.
TEST(LinkProtocolTest, FramesHaveTheDocumentedBytes) {
  struct TCase {
    const char* what;
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> expected;
  };
  TLinkRequest setTemplate;
  setTemplate.op = TLinkOp::kSetTemplate;
  setTemplate.fp = TLinkTemplate{u"7", 3, -2, u"\xE9\xD83D\x4E2D"};
  TLinkReply got{TLinkOp::kGetTemplate, true, 0, {}, {}, TLinkTemplate{u"", 0, 1, u"AB"}};
  TLinkReply refused{TLinkOp::kSetUser, false, -77, {}, {}, {}};
  const TCase cases[] = {
      {"refresh", EncodeRequest(TLinkRequest{}), {1, 0, 0, 0, 10}},
      {"set template",
       EncodeRequest(setTemplate),
       {25,   0,    0,    0,    7, 1, 0, 0, 0,    '7',  0,    3,    0,    0,   0,
        0xFE, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 0xE9, 0x00, 0x3D, 0xD8, 0x2D, 0x4E}},
      {"template reply", EncodeReply(got), {18, 0, 0, 0, 0x85, 1, 0, 0,   0, 0,   1,
                                            0,  0, 0, 2, 0,    0, 0, 'A', 0, 'B', 0}},
      {"refusal", EncodeReply(refused), {6, 0, 0, 0, 0x86, 0, 0xB3, 0xFF, 0xFF, 0xFF}},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(c.frame, c.expected) << c.what;
  }
}

// Bodies handed out without a copy, from bytes received straight into the assembler in pieces
// of every size, including a bulk reply of megabytes; a view is read after later frames were cut.
TEST(LinkProtocolTest, AssemblerViewsFramesReceivedInPieces) {
  TLinkReply bulk{TLinkOp::kReadAllTemplates, true, 0, {}, {}, {}};
  for (int i = 0; i < 1500; ++i) {
    bulk.templates.push_back(
        TLinkTemplate{u"u" + std::u16string(1, static_cast<char16_t>(0xD000 + i)), i % 10, i,
                      std::u16string(1000, static_cast<char16_t>(u'A' + i % 26))});
  }
  const std::vector<TLinkReply> replies = {TLinkReply{TLinkOp::kEnableDevice, true, 0, {}, {}, {}},
                                           bulk,
                                           TLinkReply{TLinkOp::kSetUser, false, -3, {}, {}, {}}};
  std::vector<std::uint8_t> stream;
  for (const auto& reply : replies) {
    auto frame = EncodeReply(reply);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{65536}, stream.size()}) {
    TFrameAssembler assembler;
    std::vector<std::span<const std::uint8_t>> views;
    std::vector<TLinkReply> decoded;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      const std::size_t n = std::min(piece, stream.size() - at);
      const int status = assembler.FeedFrom([&](std::vector<std::uint8_t>& buffer) {
        buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                      stream.begin() + static_cast<std::ptrdiff_t>(at + n));
        return 7;
      });
      EXPECT_EQ(status, 7);
      views.clear();
      while (auto body = assembler.NextView()) {
        views.push_back(*body);
      }
      for (auto view : views) {
        decoded.push_back(DecodeReply(view));
      }
    }
    EXPECT_EQ(decoded, replies) << "pieces of " << piece;
    EXPECT_TRUE(assembler.Empty());
  }
}

TEST(LinkProtocolTest, AssemblerRefusesOversizedLengthBeforeBuffering) {
  TFrameAssembler assembler;
  std::uint32_t tooLong = kLinkMaxFrame + 1;
  std::vector<std::uint8_t> header = {
      static_cast<std::uint8_t>(tooLong), static_cast<std::uint8_t>(tooLong >> 8),
      static_cast<std::uint8_t>(tooLong >> 16), static_cast<std::uint8_t>(tooLong >> 24)};
  assembler.Feed(header);
  EXPECT_THROW(assembler.Next(), ELinkProtocolError);
}

// Random corruption of valid bodies either decodes to something or is refused; it never reads
// out of bounds (the sanitizers watch) or allocates what the body cannot hold.
TEST(LinkProtocolTest, CorruptedBodiesDecodeOrAreRefused) {
  std::mt19937 random(4370);
  std::vector<std::vector<std::uint8_t>> bodies;
  for (const auto& request : SampleRequests()) {
    bodies.push_back(Body(EncodeRequest(request)));
  }
  TLinkReply users{TLinkOp::kReadAllUsers, true, 0, {}, {}, {}};
  users.users = {TLinkUser{u"1", u"A", u"p", 3, true, u"99"}};
  bodies.push_back(Body(EncodeReply(users)));
  int refused = 0;
  for (int round = 0; round < 5000; ++round) {
    std::vector<std::uint8_t> body = bodies[random() % bodies.size()];
    for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips) {
      body[random() % body.size()] = static_cast<std::uint8_t>(random());
    }
    try {
      DecodeRequest(body);
    } catch (const ELinkProtocolError&) {
      ++refused;
    }
    try {
      DecodeReply(body);
    } catch (const ELinkProtocolError&) {
      ++refused;
    }
  }
  EXPECT_GT(refused, 5000);
}

}  // namespace
}  // namespace vantorix
