// Byte array type shared by the socket, handshake and frame code.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vantorix {

using TBytes = std::vector<std::uint8_t>;
// Bytes handed to several owners at once (one encoded frame queued for many connections); never
// changed once shared.
using TSharedBytes = std::shared_ptr<const TBytes>;

}  // namespace vantorix
