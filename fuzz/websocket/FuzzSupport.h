// What the WebSocket fuzz targets share: aborting checks, and the test of what a server may send
// to a client after its handshake (nothing but well-formed control frames, RFC 6455 section 5.5).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "websocket/Bytes.h"
#include "websocket/FakeSockets.h"

namespace vantorix::fuzz {

inline void Require(bool condition) {
  if (!condition)
    std::abort();
}

// Whether bytes are a run of whole, unmasked, final pong or close frames of at most 125 payload
// bytes, a close frame only as the last one.
inline bool ControlFramesOnly(std::span<const std::uint8_t> out) {
  std::size_t at = 0;
  bool closed = false;
  while (at < out.size()) {
    if (closed || out.size() - at < 2)
      return false;
    const std::uint8_t op = out[at] & 0x0F;
    const std::size_t n = out[at + 1];
    if ((out[at] & 0xF0) != 0x80 || (op != 0x8 && op != 0xA) || n > 125 || out.size() - at < 2 + n)
      return false;
    closed = op == 0x8;
    at += 2 + n;
  }
  return true;
}

// Everything the server end has sent to the client end so far.
inline TBytes Drain(TMemoryStreamSocket& client) {
  TBytes out(client.Pending());
  if (!out.empty())
    client.Receive(out.data(), out.size(), false);
  return out;
}

}  // namespace vantorix::fuzz
