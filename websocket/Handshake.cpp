// Opening handshake: header parsing, accept value, response text.
#include "websocket/Handshake.h"

#include <algorithm>
#include <vector>

#include "websocket/Base64.h"
#include "websocket/Bytes.h"

namespace vantorix {
namespace {

constexpr std::u16string_view kGuid = u"258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr std::u16string_view kResponseHead =
    u"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    u"Sec-WebSocket-Accept: ";
constexpr std::u16string_view kResponseTail = u"\r\n\r\n";

// Every piece between separators, empty ones and the last one included.
std::vector<std::u16string_view> SplitAll(std::u16string_view text, std::u16string_view sep) {
  std::vector<std::u16string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(sep, start);
    if (at == std::u16string_view::npos)
      break;
    pieces.push_back(text.substr(start, at - start));
    start = at + sep.size();
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

char16_t AsciiLower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

}  // namespace

bool TAsciiCaseLess::operator()(std::u16string_view a, std::u16string_view b) const {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](char16_t x, char16_t y) { return AsciiLower(x) < AsciiLower(y); });
}

bool SameAsciiCase(std::u16string_view a, std::u16string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char16_t x, char16_t y) { return AsciiLower(x) == AsciiLower(y); });
}

std::u16string TrimControl(std::u16string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && text[b] <= 32)
    ++b;
  while (e > b && text[e - 1] <= 32)
    --e;
  return std::u16string(text.substr(b, e - b));
}

THeaderMap HeadersParse(std::u16string_view msg) {
  THeaderMap map;
  if (msg.empty())
    return map;
  for (std::u16string_view line : SplitAll(msg, u"\r\n")) {
    const auto pieces = SplitAll(line, u": ");
    if (pieces.size() < 2)
      continue;
    map[TrimControl(pieces[0])] = TrimControl(pieces[1]);
  }
  return map;
}

std::u16string WebSocketAcceptValue(std::u16string_view key, const THashSHA1& hasher) {
  TBytes bytes;
  bytes.reserve(key.size() + kGuid.size());
  auto add = [&bytes](std::u16string_view text) {
    for (char16_t unit : text)
      bytes.push_back(unit <= 127 ? static_cast<std::uint8_t>(unit) : '?');
  };
  add(TrimControl(key));
  add(kGuid);
  const TSha1Digest digest = hasher.HashBytes(bytes);
  const std::string base64 = Base64Encode(digest);
  return std::u16string(base64.begin(), base64.end());
}

std::optional<std::u16string> HandshakeResponse(const THeaderMap& headers,
                                                const THashSHA1& hasher) {
  const auto upgrade = headers.find(u"Upgrade");
  const auto key = headers.find(u"Sec-WebSocket-Key");
  if (upgrade == headers.end() || !SameAsciiCase(upgrade->second, u"websocket") ||
      key == headers.end()) {
    return std::nullopt;
  }
  std::u16string response(kResponseHead);
  response += WebSocketAcceptValue(key->second, hasher);
  response += kResponseTail;
  return response;
}

}  // namespace vantorix
