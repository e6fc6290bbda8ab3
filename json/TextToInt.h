// Text-to-integer conversion used for ports, communication keys, delete options, finger indices
// and the JSON model's integer rule; and its error class EConvertError.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantorix {

// Raised when a text does not convert to a number; what() is the UTF-8 message, e.g.
// "'12abc' is not a valid integer value".
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Accepted forms: leading U+0020 blanks, an optional "+" or "-", then decimal digits in the
// signed 32-bit range, or hexadecimal digits after "$", "x", "X", "0x" or "0X" taken as a 32-bit
// two's-complement pattern (at most 32 significant bits; "-" negates). Nothing may follow.
// Gives no value for any other text. Pure function, safe from any thread.
std::optional<std::int32_t> TryTextToInt(std::u16string_view text) noexcept;

// As TryTextToInt, but raises EConvertError "'<text>' is not a valid integer value" (the whole
// text, leading blanks included) when the text is not accepted.
std::int32_t TextToInt(std::u16string_view text);

}  // namespace vantorix
