// Base64 encoding (RFC 4648, section 4: standard alphabet, "=" padding, no line breaks).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vantorix {

std::string Base64Encode(std::span<const std::uint8_t> data);

}  // namespace vantorix
