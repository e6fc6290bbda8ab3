// SHA-1, Base64, UTF-8 and the handshake's header parser, accept value and origin allow-list, on
// plain data.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "websocket/Base64.h"
#include "websocket/Handshake.h"
#include "websocket/Sha1.h"
#include "websocket/Utf8.h"
#include "websocket/WebSocketFrames.h"

namespace vantorix {
namespace {

std::span<const std::uint8_t> AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string Hex(const TSha1Digest& d) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : d) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

TEST(Sha1, MatchesTheFips180ExamplesAndBlockBoundaries) {
  const std::string million(1000000, 'a');
  struct {
    std::string input;
    const char* digest;
  } const cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",  // 448 bits: two blocks
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},  // pad fits
      {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},  // pad spills
      {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
      {million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  THashSHA1 hasher;
  for (const auto& c : cases) {
    EXPECT_EQ(Hex(hasher.HashBytes(AsBytes(c.input))), c.digest) << c.input.size() << " bytes";
  }
}

TEST(Sha1, IncrementalUpdatesGiveTheOneShotDigest) {
  const std::string text = "The quick brown fox jumps over the lazy dog, repeatedly and at length.";
  TSha1 sha;
  for (std::size_t i = 0; i < text.size(); i += 7) {
    sha.Update(AsBytes(std::string_view(text).substr(i, 7)));
  }
  EXPECT_EQ(sha.Finish(), THashSHA1().HashBytes(AsBytes(text)));
}

TEST(Base64, EncodesTheRfc4648Section10Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(Base64Encode(AsBytes(in)), out) << in;
  const std::uint8_t high[] = {0xFB, 0xFF, 0xBF};
  EXPECT_EQ(Base64Encode(high), "+/+/");
}

TEST(Utf8, DecodesWellFormedAndReplacesEachMaximalIllFormedSubpart) {
  struct {
    std::string bytes;
    std::u16string text;
  } const cases[] = {
      {"hello", u"hello"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},  // surrogate pair in UTF-16
      {"\xEF\xBB\xBFx", u"\uFEFFx"},        // a byte order mark is kept
      {"\x80", u"\uFFFD"},                  // lone continuation
      {"\xC0\xAF", u"\uFFFD\uFFFD"},        // overlong: C0 is never a lead byte
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82", u"\uFFFD"},                            // truncated at the end
      {"\xE2\x82x", u"\uFFFDx"},                          // truncated before ASCII
      {"\xF0\x9F\x98", u"\uFFFD"},
      {"a\xFF"
       "b",
       u"a\uFFFDb"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Utf8Decode(c.bytes), c.text) << c.bytes;
}

// The boundaries of the well-formed sequences (Unicode, table 3-7), fed whole and byte by byte.
TEST(Utf8, ValidatorAcceptsExactlyTheWellFormedSequences) {
  struct {
    std::string bytes;
    bool wellFormed;
  } const cases[] = {
      {"", true},
      {"plain ASCII \x7F", true},
      {"\xC2\x80\xDF\xBF", true},                  // first and last two-byte forms
      {"\xC1\xBF", false},                         // overlong two-byte form
      {"\xE0\xA0\x80\xEF\xBF\xBF", true},          // first and last three-byte forms
      {"\xE0\x9F\xBF", false},                     // overlong three-byte form
      {"\xED\x9F\xBF", true},                      // U+D7FF
      {"\xED\xA0\x80", false},                     // U+D800, a surrogate
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true},  // U+10000 and U+10FFFF
      {"\xF0\x8F\xBF\xBF", false},                 // overlong four-byte form
      {"\xF4\x90\x80\x80", false},                 // above U+10FFFF
      {"\xF5\x80\x80\x80", false},                 // lead byte never used
      {"\xE2\x82", false},                         // cut short
      {"\xE2\x82\xAC\xAC", false},                 // one continuation too many
      {"\xE2x\xAC", false},                        // interrupted
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    TUtf8Validator whole;
    whole.Feed(AsBytes(c.bytes));
    EXPECT_EQ(whole.Complete(), c.wellFormed);
    TUtf8Validator pieces;
    bool fed = true;
    for (std::size_t i = 0; i < c.bytes.size(); ++i)
      fed = pieces.Feed(AsBytes(std::string_view(c.bytes).substr(i, 1)));
    EXPECT_EQ(pieces.Complete(), c.wellFormed);
    EXPECT_EQ(fed, c.wellFormed || c.bytes == "\xE2\x82") << "Feed tells of a fault at once";
  }
}

TEST(Utf8, EncodesAndWritesUnpairedSurrogatesAsReplacement) {
  struct {
    std::u16string text;
    std::string bytes;
  } const cases[] = {
      {u"", ""},
      {u"abc", "abc"},
      {u"\u00E9", "\xC3\xA9"},
      {u"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string(1, char16_t(0xD83D)), "\xEF\xBF\xBD"},          // high surrogate alone
      {std::u16string(1, char16_t(0xDE00)) + u"x", "\xEF\xBF\xBDx"},  // low surrogate first
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8EncodeString(c.text), c.bytes);
    const TBytes bytes = Utf8Encode(c.text);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.bytes);
  }
}

// Conversions take ASCII eight bytes at a time: every other sequence, at every position around
// such a run, converts as on its own; UTF-8 written straight into a frame is the same frame.
TEST(Utf8, ConvertsTheSameAtEveryPositionOfALongerText) {
  struct {
    std::string bytes;
    std::u16string text;
    bool wellFormed;
  } const pieces[] = {
      {"\xC3\xA9", u"\u00E9", true},
      {"\xE2\x82\xAC", u"\u20AC", true},
      {"\xF0\x9F\x98\x80", u"\U0001F600", true},
      {"\x7F", u"\u007F", true},
      {"\xE2\x82", u"\uFFFD", false},
      {"\x80\x80", u"\uFFFD\uFFFD", false},
  };
  for (const auto& piece : pieces) {
    for (std::size_t before = 0; before <= 17; ++before) {
      SCOPED_TRACE(::testing::PrintToString(piece.bytes) + " after " + std::to_string(before));
      const std::string ascii = "abcdefghijklmnopq";
      const std::string bytes = ascii.substr(0, before) + piece.bytes + ascii;
      const std::u16string text = std::u16string(u"abcdefghijklmnopq").substr(0, before) +
                                  piece.text + u"abcdefghijklmnopq";
      EXPECT_EQ(Utf8Decode(bytes), text);
      TUtf8Validator validator;
      validator.Feed(AsBytes(bytes));
      EXPECT_EQ(validator.Complete(), piece.wellFormed);
      if (piece.wellFormed) {
        EXPECT_EQ(Utf8EncodeString(text), bytes);
        EXPECT_EQ(Utf8Length(text), bytes.size());
      }
    }
  }
  for (const std::size_t units : {0u, 40u, 41u, 42u, 21845u, 21846u, 30000u}) {
    // Three UTF-8 bytes per unit: the frame's length form follows the bytes, not the units.
    const std::u16string text(units, u'\u20AC');
    EXPECT_EQ(EncodeTextFrame(text), EncodeTextFrame(Utf8Encode(text))) << units;
  }
  const std::u16string lone = u"x" + std::u16string(1, char16_t(0xD800)) + u"y";
  EXPECT_EQ(EncodeTextFrame(lone), EncodeTextFrame(Utf8Encode(lone)));
}

TEST(HeadersParse, SplitsAtCrLfAndColonSpaceAndTrims) {
  using M = THeaderMap;
  struct {
    std::u16string msg;
    M map;
  } const cases[] = {
      {u"", M{}},
      {u"GET / HTTP/1.1\r\nHost: a\r\n\r\n", M{{u"Host", u"a"}}},
      {u"K:  \t v \t\r\n", M{{u"K", u"v"}}},                   // both ends trimmed
      {u"K: 1\r\nK: 2", M{{u"K", u"2"}}},                      // later line wins, last piece counts
      {u"K: a: b", M{{u"K", u"a"}}},                           // value cut at the next ": "
      {u"K:v\r\nL: w", M{{u"L", u"w"}}},                       // no space after the colon
      {u"K: v\nL: w", M{{u"K", u"v\nL"}}},                     // a lone LF does not split
      {u"upgrade: websocket", M{{u"upgrade", u"websocket"}}},  // names keep their case
      {u"Key: 1\r\nKEY: 2\r\nkey: 3", M{{u"Key", u"3"}}},      // one name in any case, RFC 7230 3.2
      {u": v", M{{u"", u"v"}}},
      {u"K: ", M{{u"K", u""}}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(HeadersParse(c.msg), c.map) << Utf8EncodeString(c.msg);
}

TEST(Handshake, AcceptValueOfRfc6455Section1_3AndNonAsciiKeys) {
  THashSHA1 hasher;
  EXPECT_EQ(WebSocketAcceptValue(u"dGhlIHNhbXBsZSBub25jZQ==", hasher),
            u"s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  // Units above 127 are hashed as "?".
  EXPECT_EQ(WebSocketAcceptValue(u"k\u00E9y", hasher), WebSocketAcceptValue(u"k?y", hasher));
  EXPECT_EQ(WebSocketAcceptValue(u"", hasher).size(), 28u);
}

TEST(Handshake, ResponseForUpgradeAndKeyHeadersInAnyCase_Rfc6455Section4_2_1) {
  THashSHA1 hasher;
  const std::u16string accept = u"s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
  struct {
    THeaderMap headers;
    bool answered;
  } const cases[] = {
      {{{u"Upgrade", u"websocket"}, {u"Sec-WebSocket-Key", u"dGhlIHNhbXBsZSBub25jZQ=="}}, true},
      {{{u"Upgrade", u"WebSocket"}, {u"Sec-WebSocket-Key", u"x"}}, true},
      {{{u"UPGRADE", u"WEBSOCKET"}, {u"SEC-WEBSOCKET-KEY", u"x"}}, true},
      {{{u"Upgrade", u"websocket, h2c"}, {u"Sec-WebSocket-Key", u"x"}}, false},
      {{{u"upgrade", u"websocket"}, {u"sec-websocket-key", u"x"}}, true},
      {{{u"Upgrade", u"websockets"}, {u"Sec-WebSocket-Key", u"x"}}, false},
      {{{u"Upgrade", u"websocke"}, {u"Sec-WebSocket-Key", u"x"}}, false},
      {{{u"Upgrade", u"websocket"}, {u"Sec-WebSocket-Ke", u"x"}}, false},
      {{{u"Upgrade", u"websocket"}}, false},
      {{{u"Upgrade", u"websocket"}, {u"Sec-WebSocket-Key", u""}}, true},
  };
  for (const auto& c : cases) {
    const auto response = HandshakeResponse(c.headers, hasher);
    EXPECT_EQ(response.has_value(), c.answered) << ::testing::PrintToString(c.headers);
  }
  EXPECT_EQ(*HandshakeResponse(cases[0].headers, hasher),
            u"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
            u"Upgrade\r\nSec-WebSocket-Accept: " +
                accept + u"\r\n\r\n");
}

// RFC 6454 section 6.2 serialisations, made comparable; anything else names no page.
TEST(Origin, CanonicalFormOfSerialisedOrigins) {
  struct {
    std::u16string text;
    std::optional<std::u16string> canonical;
  } const cases[] = {
      {u"http://localhost:8000", u"http://localhost:8000"},
      {u"HTTPS://Intranet.Example", u"https://intranet.example"},
      {u"http://intranet:80", u"http://intranet"},  // default ports left out
      {u"https://intranet:443", u"https://intranet"},
      {u"ws://a:80", u"ws://a"},
      {u"wss://a:0443", u"wss://a"},
      {u"http://a:443", u"http://a:443"},  // another scheme's default stays
      {u"http://a:008000", u"http://a:8000"},
      {u"http://a:0", u"http://a:0"},
      {u"http://a:65535", u"http://a:65535"},
      {u"http://[::1]:8000", u"http://[::1]:8000"},
      {u"http://[FE80::A]", u"http://[fe80::a]"},
      {u"http://127.0.0.1", u"http://127.0.0.1"},
      {u"chrome-extension://abcdef", u"chrome-extension://abcdef"},
      {u"null", std::nullopt},  // pages without an origin of their own
      {u"", std::nullopt},
      {u"localhost:8000", std::nullopt},
      {u"http://", std::nullopt},
      {u"http://a/", std::nullopt},  // a path, even an empty one
      {u"http://a/page.html", std::nullopt},
      {u"http://a?x", std::nullopt},
      {u"http://a#x", std::nullopt},
      {u"http://user@a", std::nullopt},
      {u"http://a:", std::nullopt},
      {u"http://a:65536", std::nullopt},
      {u"http://a:8x", std::nullopt},
      {u"http://a b", std::nullopt},
      {u"http://b\u00FCcher.example", std::nullopt},  // browsers send the punycode form
      {u"http://[::1", std::nullopt},
      {u"http://[x]", std::nullopt},
      {u"http://[]", std::nullopt},
      {u"1http://a", std::nullopt},
      {u"ht tp://a", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CanonicalOrigin(c.text), c.canonical) << Utf8EncodeString(c.text);
  }
}

TEST(Origin, AllowListAllowsListedPagesAndProgramsWithoutOrigin) {
  TOriginAllowList list;
  auto request = [](std::optional<std::u16string> origin) {
    THeaderMap headers{{u"Upgrade", u"websocket"}, {u"Sec-WebSocket-Key", u"x"}};
    if (origin) {
      headers[u"Origin"] = *origin;
    }
    return headers;
  };
  EXPECT_TRUE(list.Allows(request(u"http://evil.example"))) << "an empty list allows every page";
  EXPECT_TRUE(list.Allows(request(u"null")));
  list.Add(u"http://localhost:8000");
  list.Add(u"HTTPS://Intranet.Example:443");
  list.Add(u"http://localhost:8000");  // once is enough
  EXPECT_EQ(list.Origins(),
            (std::vector<std::u16string>{u"http://localhost:8000", u"https://intranet.example"}));
  struct {
    std::optional<std::u16string> origin;
    bool allowed;
  } const cases[] = {
      {u"http://localhost:8000", true},
      {u"http://LOCALHOST:8000", true},
      {u"https://intranet.example", true},
      {std::nullopt, true},  // not sent by a browser
      {u"http://localhost:8001", false},
      {u"https://localhost:8000", false},
      {u"http://127.0.0.1:8000", false},  // another host name for the same machine
      {u"http://intranet.example", false},
      {u"http://evil.example", false},
      {u"null", false},
      {u"", false},
      {u"http://localhost:8000/", false},
      {u"http://localhost:8000.evil.example", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(list.Allows(request(c.origin)), c.allowed)
        << (c.origin ? Utf8EncodeString(*c.origin) : "(no Origin)");
  }
  // The header name is case-insensitive like any other.
  EXPECT_FALSE(list.Allows(THeaderMap{{u"oRiGiN", u"http://evil.example"}}));
}

TEST(Origin, AllowListRefusesWhatNamesNoPage) {
  for (const char16_t* text : {u"null", u"http://a/", u"a.example", u"", u"http://a:99999"}) {
    TOriginAllowList list;
    EXPECT_THROW(list.Add(text), EInvalidOrigin) << Utf8EncodeString(text);
    EXPECT_TRUE(list.Empty());
  }
}

TEST(Handshake, ForbiddenResponseIsACompleteHttpResponse) {
  const std::string response = Utf8EncodeString(ForbiddenResponse());
  const std::size_t head = response.find("\r\n\r\n");
  ASSERT_NE(head, std::string::npos);
  EXPECT_EQ(response.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
  EXPECT_NE(response.find("\r\nConnection: close\r\n"), std::string::npos);
  const std::string body = response.substr(head + 4);
  EXPECT_NE(response.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace vantorix
