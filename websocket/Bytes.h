// Byte array type shared by the socket, handshake and frame code.
#pragma once

#include <cstdint>
#include <vector>

namespace vantorix {

using TBytes = std::vector<std::uint8_t>;

}  // namespace vantorix
