// The server side of the WebSocket opening handshake (RFC 6455, section 4.2) on request text:
// the header parser, the accept value and the 101 response.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "websocket/Sha1.h"

namespace vantorix {

// Header name -> value, names compared exactly (case-sensitive).
using THeaderMap = std::map<std::u16string, std::u16string>;

// Splits msg at every CR LF into lines, each line at every ": " into pieces; lines with at least
// two pieces set map[trim(piece 0)] = trim(piece 1), a later line replacing an earlier one.
// Trimming removes characters <= U+0020 from both ends.
THeaderMap HeadersParse(std::u16string_view msg);

std::u16string TrimControl(std::u16string_view text);

// base64(SHA-1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")), RFC 6455 section 4.2.2; each
// UTF-16 unit above 127 is hashed as "?". Thread-safe.
std::u16string WebSocketAcceptValue(std::u16string_view key, const THashSHA1& hasher);

// The complete 101 response for a request whose headers hold "Upgrade: websocket" and a
// "Sec-WebSocket-Key" (names and the value "websocket" compared exactly); nullopt otherwise.
std::optional<std::u16string> HandshakeResponse(const THeaderMap& headers, const THashSHA1& hasher);

}  // namespace vantorix
