// UTF-8 <-> UTF-16 conversion at the edges of the JSON subsystem: error messages, the
// vantorix-json tool and the benchmark. The WebSocket layer has its own strict decoder.
#pragma once

#include <string>
#include <string_view>

namespace vantorix {

// Encodes UTF-16 units as UTF-8. Surrogate pairs become one 4-byte sequence; an unpaired
// surrogate, which UTF-8 cannot carry, becomes U+FFFD. Never throws except std::bad_alloc.
std::string JsonUtf8Encode(std::u16string_view text);

// Appends the UTF-8 form of `text` to `out` (same rules as JsonUtf8Encode).
void JsonUtf8EncodeAppend(std::u16string_view text, std::string& out);

// Decodes UTF-8 into UTF-16 units. Each ill-formed sequence (overlong forms, surrogates, values
// above U+10FFFF, truncated or stray bytes) becomes one U+FFFD per maximal invalid subpart, as
// Unicode recommends. Never throws except std::bad_alloc.
std::u16string JsonUtf8Decode(std::string_view bytes);

}  // namespace vantorix
