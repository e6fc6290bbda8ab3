// The server side of the WebSocket opening handshake (RFC 6455, section 4.2) on request text:
// the header parser, the accept value and the 101 response.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace vantorix
