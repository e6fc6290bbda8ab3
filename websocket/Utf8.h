// UTF-8 <-> UTF-16 conversion for the wire edge (RFC 3629). Never fails: ill-formed input and
// unpaired surrogates become U+FFFD.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "websocket/Bytes.h"

namespace vantorix {

// Decodes UTF-8. Each maximal ill-formed subpart (Unicode 15, section 3.9, U+FFFD substitution of
// maximal subparts) becomes one U+FFFD; overlong forms, surrogates and values above U+10FFFF are
// ill-formed. No byte order mark is added or stripped.
std::u16string Utf8Decode(std::span<const std::uint8_t> bytes);
std::u16string Utf8Decode(std::string_view bytes);

// Encodes UTF-16 as UTF-8; an unpaired surrogate is written as U+FFFD (EF BF BD).
TBytes Utf8Encode(std::u16string_view text);
std::string Utf8EncodeString(std::u16string_view text);

}  // namespace vantorix
