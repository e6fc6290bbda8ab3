// The server side of the WebSocket opening handshake (RFC 6455, section 4.2) on request text:
// the header parser, the accept value and the 101 response.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "websocket/Sha1.h"

namespace vantorix {

// Orders texts with the ASCII letters of either case taken as equal: HTTP header names are
// case-insensitive (RFC 7230 section 3.2), and so is the Upgrade token (RFC 6455 section 4.2.1).
struct TAsciiCaseLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const;
};

// Header name -> value; names compared without regard to ASCII case, a name keeps the spelling
// of its first line.
using THeaderMap = std::map<std::u16string, std::u16string, TAsciiCaseLess>;

// Whether a and b are equal with the ASCII letters of either case taken as equal.
bool SameAsciiCase(std::u16string_view a, std::u16string_view b);

// Splits msg at every CR LF into lines, each line at every ": " into pieces; lines with at least
// two pieces set map[trim(piece 0)] = trim(piece 1), a later line replacing an earlier one (also
// when its name differs only in letter case).
// Trimming removes characters <= U+0020 from both ends.
THeaderMap HeadersParse(std::u16string_view msg);

std::u16string TrimControl(std::u16string_view text);

// base64(SHA-1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")), RFC 6455 section 4.2.2; each
// UTF-16 unit above 127 is hashed as "?". Thread-safe.
std::u16string WebSocketAcceptValue(std::u16string_view key, const THashSHA1& hasher);

// The complete 101 response for a request whose headers hold "Upgrade: websocket" and a
// "Sec-WebSocket-Key" (names and the value "websocket" in any letter case); nullopt otherwise.
std::optional<std::u16string> HandshakeResponse(const THeaderMap& headers, const THashSHA1& hasher);

// The answer to an upgrade request whose page may not connect: 403 Forbidden with a short text
// body, after which the server closes the connection.
std::u16string ForbiddenResponse();

// An origin as browsers serialise it in the Origin header (RFC 6454 section 6.2): scheme "://"
// host [":" port], made comparable: scheme and host in lower case, a port equal to the scheme's
// default (80 for http and ws, 443 for https and wss) left out, the port without leading zeros.
// An IPv6 host stays in its brackets. nullopt for any other text: a path, query, fragment or
// user part, an empty host, an empty or too large port, a unit outside printable ASCII, and
// "null", the origin of pages that have none of their own (files, data: URLs, sandboxed frames),
// which any page can take on and which therefore names no page in particular.
std::optional<std::u16string> CanonicalOrigin(std::u16string_view text);

// An origin the allow-list cannot hold; what() says why.
class EInvalidOrigin : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The web pages allowed to open a WebSocket, by origin. An empty list allows every request.
// With origins listed, a request whose Origin header is one of them is allowed, and so is a
// request without an Origin header: browsers send it with every WebSocket request, so its absence
// marks a program rather than a page, and a program can claim any origin anyway. The list
// therefore keeps foreign web pages out; who may connect at all is a matter of the listening
// address. A request with an Origin header that is not listed is refused, an unreadable one too.
// Threading: filled before use; Allows may then run on any number of threads at once.
class TOriginAllowList {
 public:
  // Adds an origin in any spelling CanonicalOrigin accepts; raises EInvalidOrigin otherwise.
  void Add(std::u16string_view origin);
  bool Empty() const { return FOrigins.empty(); }
  // The canonical forms, in the order added.
  const std::vector<std::u16string>& Origins() const { return FOrigins; }
  bool Allows(const THeaderMap& headers) const;

 private:
  std::vector<std::u16string> FOrigins;
};

}  // namespace vantorix
