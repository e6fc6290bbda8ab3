// Opening handshake: header parsing, accept value, response text.
#include "websocket/Handshake.h"

#include <algorithm>
#include <vector>

#include "websocket/Base64.h"
#include "websocket/Bytes.h"
#include "websocket/Utf8.h"

namespace vantorix {
namespace {

constexpr std::u16string_view kGuid = u"258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr std::u16string_view kResponseHead =
    u"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    u"Sec-WebSocket-Accept: ";
constexpr std::u16string_view kResponseTail = u"\r\n\r\n";
constexpr std::u16string_view kForbiddenBody = u"This page may not connect to this server.\n";

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

bool IsAsciiLetter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

std::u16string AsciiLowerText(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out)
    c = AsciiLower(c);
  return out;
}

// RFC 3986 section 3.1: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool IsScheme(std::u16string_view text) {
  if (text.empty() || !IsAsciiLetter(text[0]))
    return false;
  return std::all_of(text.begin(), text.end(), [](char16_t c) {
    return IsAsciiLetter(c) || IsDigit(c) || c == u'+' || c == u'-' || c == u'.';
  });
}

// A host as it stands in a serialised origin: a bracketed IPv6 literal, or a name or IPv4
// address of printable ASCII without the characters that end or qualify an authority.
bool IsHost(std::u16string_view text) {
  if (text.empty())
    return false;
  if (text.front() == u'[') {
    if (text.size() < 3 || text.back() != u']')
      return false;
    return std::all_of(text.begin() + 1, text.end() - 1, [](char16_t c) {
      return IsDigit(c) || (AsciiLower(c) >= u'a' && AsciiLower(c) <= u'f') || c == u':' ||
             c == u'.';
    });
  }
  constexpr std::u16string_view kExcluded = u"/?#@:[]\\%";
  return std::all_of(text.begin(), text.end(), [&](char16_t c) {
    return c > u' ' && c < 0x7F && kExcluded.find(c) == std::u16string_view::npos;
  });
}

std::u16string_view DefaultPort(std::u16string_view scheme) {
  if (scheme == u"http" || scheme == u"ws")
    return u"80";
  if (scheme == u"https" || scheme == u"wss")
    return u"443";
  return {};
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

std::u16string ForbiddenResponse() {
  const std::string length = std::to_string(kForbiddenBody.size());
  std::u16string response(
      u"HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: ");
  response.append(length.begin(), length.end());
  response += u"\r\nConnection: close\r\n\r\n";
  response += kForbiddenBody;
  return response;
}

std::optional<std::u16string> CanonicalOrigin(std::u16string_view text) {
  const std::size_t schemeEnd = text.find(u"://");
  if (schemeEnd == std::u16string_view::npos || !IsScheme(text.substr(0, schemeEnd)))
    return std::nullopt;
  const std::u16string scheme = AsciiLowerText(text.substr(0, schemeEnd));
  const std::u16string_view authority = text.substr(schemeEnd + 3);
  // The port follows the last colon, unless that colon sits inside an IPv6 literal.
  const std::size_t bracket = authority.rfind(u']');
  std::size_t colon = authority.rfind(u':');
  if (colon != std::u16string_view::npos && bracket != std::u16string_view::npos && colon < bracket)
    colon = std::u16string_view::npos;
  const std::u16string_view host = authority.substr(0, colon);
  if (!IsHost(host))
    return std::nullopt;
  std::u16string origin = scheme + u"://" + AsciiLowerText(host);
  if (colon == std::u16string_view::npos)
    return origin;
  std::u16string_view port = authority.substr(colon + 1);
  if (port.empty() || !std::all_of(port.begin(), port.end(), IsDigit))
    return std::nullopt;
  while (port.size() > 1 && port.front() == u'0')
    port.remove_prefix(1);
  if (port.size() > 5 || (port.size() == 5 && port > u"65535"))
    return std::nullopt;
  if (port != DefaultPort(scheme)) {
    origin += u':';
    origin += port;
  }
  return origin;
}

void TOriginAllowList::Add(std::u16string_view origin) {
  std::optional<std::u16string> canonical = CanonicalOrigin(origin);
  if (!canonical) {
    if (origin == u"null")
      throw EInvalidOrigin(
          "'null' cannot be allowed: every page can send it from a sandboxed frame; open the "
          "page from a web server instead of a file");
    throw EInvalidOrigin("'" + Utf8EncodeString(origin) +
                         "' is not an origin (scheme://host or scheme://host:port, without a "
                         "path or a trailing slash)");
  }
  if (std::find(FOrigins.begin(), FOrigins.end(), *canonical) == FOrigins.end())
    FOrigins.push_back(std::move(*canonical));
}

bool TOriginAllowList::Allows(const THeaderMap& headers) const {
  if (FOrigins.empty())
    return true;
  const auto origin = headers.find(u"Origin");
  if (origin == headers.end())
    return true;
  const std::optional<std::u16string> canonical = CanonicalOrigin(origin->second);
  return canonical && std::find(FOrigins.begin(), FOrigins.end(), *canonical) != FOrigins.end();
}

}  // namespace vantorix
